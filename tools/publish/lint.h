#ifndef PUBLISH_LINT_H
#define PUBLISH_LINT_H

#include <QJsonObject>
#include <QList>
#include <QString>

struct ManifestProblem {
    // Fatal: the manifest does not do what its publisher meant (nothing is
    // ever offered, or the download is thrown away). Otherwise a warning.
    bool fatal;
    QString text;
};

// The classic mistakes found in a parsed manifest, key by key.
QList<ManifestProblem> lintManifest(const QJsonObject &manifest);

#endif // PUBLISH_LINT_H

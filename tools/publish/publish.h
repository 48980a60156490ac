#ifndef PUBLISH_PUBLISH_H
#define PUBLISH_PUBLISH_H

#include <QByteArray>
#include <QString>

struct PublishRequest {
    QString packagePath;
    QString version;
    QString constraint; // empty: no constraint, written as "any"
    QString kind;
    QString root;
    QString name; // empty: the package's own file name
    QString currentVersion;
    QString signaturePath; // empty: PACKAGE.minisig, when it exists
};

struct PublishResult {
    enum class Status { Published, Refused, Failed };
    Status status = Status::Refused;
    QString message; // why, when not published
    QString packageName;
    QString packageTarget; // <root>/<kind>/<package name>
    QString manifestPath; // <root>/<kind>/updates.json
    QString signatureTarget; // <root>/<kind>/<package name>.minisig, if one was published
    QString md5;
    qint64 size = 0;
};

// The manifest text publish writes: keys sorted, indented, lower-case md5,
// os "windows" and every value a JSON string.
QByteArray manifestText(const QString &md5, const QString &version, const QString &constraint,
    const QString &packageName);

// Why the request cannot be published; empty when it can.
QString publishRefusal(const PublishRequest &request);

// Copies the package and its signature, if any, into <root>/<kind>/ and then
// writes the manifest there, each through a temporary file renamed into
// place, so that an updater polling the repository never reads a manifest
// whose package or signature is missing.
PublishResult publish(const PublishRequest &request);

#endif // PUBLISH_PUBLISH_H

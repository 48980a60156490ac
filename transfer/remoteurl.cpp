#include "app/updaterapp.h"

#include "app/commandline.h"

#include <QRegularExpression>

void UpdaterApp::setRemotePath(const QString &text)
{
    if (text == remotePath_)
        return;
    remotePath_ = remoteRoot(text).toString();
}

QUrl UpdaterApp::remoteUrl(const QString &name) const
{
    static const QRegularExpression slashes(QStringLiteral("/+"));
    static const QString slash = QStringLiteral("/");
    QUrl url(remotePath_, QUrl::TolerantMode);
    url.setPath(url.path(QUrl::FullyDecoded) + slash + name, QUrl::DecodedMode);
    QString path = url.path(QUrl::FullyDecoded).replace(slashes, slash);
    // The expression matches nothing in text with an unpaired surrogate, which
    // a manifest can spell with a \u escape: collapse what it left.
    while (path.contains(QLatin1String("//")))
        path.replace(QLatin1String("//"), slash);
    url.setPath(path, QUrl::DecodedMode);
    return url;
}

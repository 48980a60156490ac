#include "app/updaterapp.h"

#include <QRegularExpression>

void UpdaterApp::setRemotePath(const QString &text)
{
    if (text == remotePath_)
        return;
    remotePath_ = QUrl(text, QUrl::TolerantMode).toString();
}

QUrl UpdaterApp::remoteUrl(const QString &name) const
{
    static const QRegularExpression slashes(QStringLiteral("/+"));
    static const QString slash = QStringLiteral("/");
    QUrl url(remotePath_, QUrl::TolerantMode);
    url.setPath(url.path(QUrl::FullyDecoded) + slash + name, QUrl::DecodedMode);
    url.setPath(url.path(QUrl::FullyDecoded).replace(slashes, slash), QUrl::DecodedMode);
    return url;
}

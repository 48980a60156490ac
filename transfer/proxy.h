#ifndef PROXY_H
#define PROXY_H

#include <QList>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QString>
#include <QUrl>

#include <functional>

// The site's proxy, as the platform configures it. Windows: Qt's reading of
// the system settings (PAC scripts and auto-detection included). Elsewhere
// the environment as curl reads it, the same on every Qt: http_proxy only in
// lower case (a web server's CGI sets HTTP_PROXY from a request header),
// https_proxy and no_proxy in either case, all_proxy for the rest.

// The variable of that name, or empty.
using EnvironmentLookup = std::function<QString(const char *name)>;

// The proxy for a request to `url`: NoProxy when none applies.
QNetworkProxy proxyFromEnvironment(const QUrl &url, const EnvironmentLookup &lookup);

// Whether a no_proxy list ("example.com,.corp,*") names the host.
bool noProxyMatches(const QString &list, const QString &host);

class EnvironmentProxyFactory : public QNetworkProxyFactory {
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override;
};

#endif // PROXY_H

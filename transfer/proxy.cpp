#include "transfer/proxy.h"

#include <QHostAddress>
#include <QStringList>

namespace {

QString either(const EnvironmentLookup &lookup, const char *lower, const char *upper)
{
    const QString value = lookup(lower);
    return value.isEmpty() ? lookup(upper) : value;
}

} // namespace

bool noProxyMatches(const QString &list, const QString &host)
{
    const QString name = host.toLower();
    for (QString entry : list.toLower().split(QLatin1Char(','))) {
        entry = entry.trimmed();
        if (entry == QLatin1String("*"))
            return true;
        if (entry.startsWith(QLatin1Char('.')))
            entry.remove(0, 1);
        if (!entry.isEmpty() && (name == entry || name.endsWith(QLatin1Char('.') + entry)))
            return true;
    }
    return false;
}

QNetworkProxy proxyFromEnvironment(const QUrl &url, const EnvironmentLookup &lookup)
{
    const QString scheme = url.scheme();
    // Like Qt's own system proxy: never for this machine itself.
    const QString host = url.host();
    const bool local = host == QLatin1String("localhost") || QHostAddress(host).isLoopback();
    if ((scheme != QLatin1String("http") && scheme != QLatin1String("https")) || local)
        return QNetworkProxy::NoProxy;
    if (noProxyMatches(either(lookup, "no_proxy", "NO_PROXY"), host))
        return QNetworkProxy::NoProxy;
    QString text = scheme == QLatin1String("http") ? lookup("http_proxy")
                                                   : either(lookup, "https_proxy", "HTTPS_PROXY");
    if (text.isEmpty())
        text = either(lookup, "all_proxy", "ALL_PROXY");
    if (text.isEmpty())
        return QNetworkProxy::NoProxy;
    if (!text.contains(QLatin1String("://")))
        text.prepend(QLatin1String("http://"));
    const QUrl proxy(text, QUrl::TolerantMode);
    // curl's default port; a SOCKS proxy by its scheme, any other is spoken HTTP to.
    return QNetworkProxy(proxy.scheme().startsWith(QLatin1String("socks"))
            ? QNetworkProxy::Socks5Proxy
            : QNetworkProxy::HttpProxy,
        proxy.host(), quint16(proxy.port(1080)), proxy.userName(QUrl::FullyDecoded),
        proxy.password(QUrl::FullyDecoded));
}

QList<QNetworkProxy> EnvironmentProxyFactory::queryProxy(const QNetworkProxyQuery &query)
{
    return {proxyFromEnvironment(
        query.url(), [](const char *name) { return qEnvironmentVariable(name); })};
}

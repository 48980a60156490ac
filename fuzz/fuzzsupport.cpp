#include "fuzzsupport.h"

#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void dropMessage(QtMsgType, const QMessageLogContext &, const QString &) { }

} // namespace

void Fuzz::silenceMessages()
{
    qInstallMessageHandler(dropMessage);
}

QString Fuzz::textFrom(const uint8_t *data, size_t size)
{
    if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
        const size_t units = (size - 2) / 2;
        QString text(static_cast<int>(units), Qt::Uninitialized);
        std::memcpy(text.data(), data + 2, units * 2);
        return text;
    }
    return QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<int>(size));
}

QString Fuzz::firstLine(const QString &text, QString *rest)
{
    const int feed = text.indexOf(QLatin1Char('\n'));
    if (feed < 0) {
        *rest = QString();
        return text;
    }
    *rest = text.mid(feed + 1);
    return text.left(feed);
}

QString Fuzz::quoted(const QString &text)
{
    QString out(QLatin1Char('"'));
    for (const QChar c : text) {
        if (c.unicode() >= 0x20 && c.unicode() < 0x7F && c != QLatin1Char('\\'))
            out += c;
        else
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    return out + QLatin1Char('"');
}

void Fuzz::fail(const char *property, const QString &detail)
{
    std::fprintf(stderr, "PROPERTY FAILED: %s\n  %s\n", property, detail.toUtf8().constData());
    std::fflush(stderr);
    std::abort();
}

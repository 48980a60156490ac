#include "support/downloadlog.h"

#include "support/testsupport.h"

#include <QRegularExpression>
#include <QtTest>

namespace TestSupport {
namespace DownloadLog {

namespace {

const QRegularExpression &knownLine()
{
    static const QRegularExpression pattern(
        QStringLiteral("^    \\[(-?\\d+) %\\] Downloaded (-?\\d+) / (-?\\d+) bytes$"));
    return pattern;
}

const QRegularExpression &unknownLine()
{
    static const QRegularExpression pattern(QStringLiteral("^    Downloaded (\\d+) bytes$"));
    return pattern;
}

// Whether a line of a known size may follow; fails the test if not.
bool checkKnown(const QRegularExpressionMatch &line, qint64 total, bool last, int &lastPercent,
    qint64 &lastReceived)
{
    const int percent = line.captured(1).toInt();
    const qint64 received = line.captured(2).toLongLong();
    const qint64 size = line.captured(3).toLongLong();
    // Without an announced size only the closing report has one.
    if (total == unknownSize ? size != received || !last : size != total)
        return false;
    if (percent != static_cast<int>(double(received) / double(size) * 100.0))
        return false;
    if (percent <= lastPercent || received < lastReceived)
        return false;
    lastPercent = percent;
    lastReceived = received;
    return true;
}

} // namespace

QString downloading(const QString &url, const QString &dest)
{
    return QStringLiteral("Downloading %1 to %2").arg(url, dest);
}

QString verifying()
{
    return QStringLiteral("    Verifying downloaded file ...");
}

QString verified(const QByteArray &content)
{
    return QStringLiteral("    SUCCESS: MD5 hash of downloaded file is %1, as expected.")
        .arg(QString::fromLatin1(md5Hex(content)));
}

QString mismatch(const QByteArray &content, const QString &expected)
{
    return QStringLiteral("    FAILURE: MD5 hash of downloaded file was %1, which is distinct "
                          "from the expected %2.")
        .arg(QString::fromLatin1(md5Hex(content)), expected);
}

QString finished(int size)
{
    return QStringLiteral("    Finished downloading %1 bytes.").arg(size);
}

QString notStored()
{
    return QStringLiteral("    ERROR: Cloud not store downloaded file.");
}

bool isProgress(const QString &line)
{
    return knownLine().match(line).hasMatch() || unknownLine().match(line).hasMatch();
}

QStringList withoutProgress(const QStringList &log)
{
    QStringList lines;
    for (const QString &line : log) {
        if (!isProgress(line))
            lines << line;
    }
    return lines;
}

void compareLines(const QStringList &actual, const QStringList &expected)
{
    QVERIFY2(actual.size() == expected.size(), qPrintable(actual.join(QLatin1Char('|'))));
    for (int i = 0; i < expected.size(); ++i) {
        QString want = expected.at(i);
        if (!want.endsWith(QLatin1Char('*'))) {
            QCOMPARE(actual.at(i), want);
            continue;
        }
        want.chop(1);
        QVERIFY2(actual.at(i).startsWith(want) && actual.at(i).size() > want.size(),
            qPrintable(actual.at(i)));
    }
}

void checkProgress(const QStringList &log, qint64 total, const QStringList &required, int minimum)
{
    QStringList lines;
    for (const QString &line : log) {
        if (isProgress(line))
            lines << line;
    }
    const QByteArray all = lines.join(QLatin1Char('|')).toLocal8Bit();
    if (total == noProgress) {
        QVERIFY2(lines.isEmpty(), all.constData());
        return;
    }
    QVERIFY2(lines.size() >= minimum, all.constData());
    for (const QString &line : required)
        QVERIFY2(lines.contains(line), all.constData());
    qint64 lastReceived = -1;
    int lastPercent = -1;
    for (int i = 0; i < lines.size(); ++i) {
        const QRegularExpressionMatch known = knownLine().match(lines.at(i));
        if (known.hasMatch()) {
            const bool last = i == lines.size() - 1;
            QVERIFY2(checkKnown(known, total, last, lastPercent, lastReceived), all.constData());
            continue;
        }
        const qint64 received = unknownLine().match(lines.at(i)).captured(1).toLongLong();
        // The first report, then one per MiB.
        QVERIFY2(total == unknownSize, all.constData());
        QVERIFY2(lastReceived < 0 || received - lastReceived >= 1024 * 1024, all.constData());
        lastReceived = received;
    }
}

} // namespace DownloadLog
} // namespace TestSupport

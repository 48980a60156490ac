#include "support/malformedlines.h"

#include <QString>

#include <algorithm>
#include <iterator>

namespace Faults {

QByteArray harmless(QByteArray text)
{
    for (char &c : text) {
        if (c == ':' || c == '@' || c == '%' || c == '\0')
            c = '_';
    }
    while (text.contains(".."))
        text.replace("..", "._");
    if (text.startsWith('/'))
        text[0] = '_';
    return text;
}

LineGenerator::LineGenerator(quint32 seed)
    : rng_(seed)
{
}

QList<QByteArray> LineGenerator::next()
{
    QList<QByteArray> line;
    if (chance(45)) {
        // A line that would work, then changed in a place or two, so that
        // runs also get past the parser into the checks of the locations.
        line = usableLine();
        for (int i = pick(3); i > 0; --i)
            mutate(line);
        return line;
    }
    for (int i = pick(9); i > 0; --i)
        line << token();
    return line;
}

QList<QByteArray> LineGenerator::usableLine()
{
    static const QByteArray locals[] = {"a", "@SLOT@/a", "b", "\xc3\xbc-dir", "."};
    static const QByteArray remotes[] = {"file://@SLOT@/repo", "file:repo",
        "http://127.0.0.1:@PORT@/", "https://127.0.0.1:@PORT@/x"};
    QList<QList<QByteArray>> pairs {{"localPath", locals[pick(int(std::size(locals)))]},
        {"remotePath", remotes[pick(int(std::size(remotes)))]}};
    if (chance(40))
        pairs.append({"appKind", chance(50) ? QByteArray("pc") : value()});
    std::shuffle(pairs.begin(), pairs.end(), rng_);
    QList<QByteArray> line;
    for (const QList<QByteArray> &pair : pairs) {
        if (chance(30))
            line << "--" + pair.first() + '=' + pair.last();
        else
            line << "--" + pair.first() << pair.last();
    }
    return line;
}

void LineGenerator::mutate(QList<QByteArray> &line)
{
    const int at = pick(line.size() + 1);
    switch (pick(3)) {
    case 0:
        line.insert(at, token());
        break;
    case 1:
        if (at < line.size())
            line[at] = token();
        break;
    default:
        if (at < line.size())
            line.removeAt(at);
        break;
    }
}

QByteArray LineGenerator::token()
{
    const int kind = pick(100);
    if (kind < 55)
        return option();
    if (kind < 92)
        return value();
    static const QByteArray bare[] = {"--", "-", "", "=", "---"};
    return bare[pick(5)];
}

QByteArray LineGenerator::option()
{
    static const QByteArray dashes[]
        = {"--", "--", "--", "--", "-", "-", "", "---", "\xe2\x80\x94" /* em dash */};
    static const QByteArray names[]
        = {"localPath", "remotePath", "appKind", "shutdown", "help", "version", "help-all", "h",
            "v", "?", "localpath", "LocalPath", "local", "remote", "appkind", "SHUTDOWN"};
    QByteArray name = chance(12) ? harmless(randomText(1 + pick(12), false))
                                 : names[pick(int(std::size(names)))];
    QByteArray text = dashes[pick(int(std::size(dashes)))] + name;
    if (chance(25))
        text += '=' + value();
    return text;
}

QByteArray LineGenerator::value()
{
    static const QByteArray pool[] = {"a", "b", "file", "missing", "", ".", "./a", "@SLOT@/a",
        "@SLOT@/b", "@SLOT@/\xc3\xbc-dir", "@SLOT@/missing", "file://@SLOT@/repo",
        "file://@SLOT@/repo/", "file://@SLOT@/nowhere", "file:repo", "http://127.0.0.1:@PORT@/",
        "https://127.0.0.1:@PORT@/x", "ftp://127.0.0.1:@PORT@/", "http://", "://", "http:", "kiosk",
        "pc", "mac", "\xc3\xbc-dir"};
    const int kind = pick(100);
    if (kind < 60)
        return pool[pick(int(std::size(pool)))];
    if (kind < 70)
        return harmless(randomText(1024 + pick(63 * 1024), false));
    if (kind < 85)
        return harmless(nonAscii());
    return harmless(randomText(1 + pick(64), true));
}

// Printable ASCII, or any byte but NUL.
QByteArray LineGenerator::randomText(int size, bool anyByte)
{
    QByteArray text(size, Qt::Uninitialized);
    for (char &c : text)
        c = char(anyByte ? 1 + pick(255) : 32 + pick(95));
    return text;
}

QByteArray LineGenerator::nonAscii()
{
    static const char32_t points[] = {0xe9, 0xfc, 0x3b1, 0x416, 0x5d0, 0x627, 0x300, 0x4e2d, 0x65e5,
        0xfeff, 0xfffd, 0x1f600, 0x10ffff, 0x200b, 0x202e};
    QString text;
    for (int i = 1 + pick(12); i > 0; --i)
        text += QString::fromUcs4(&points[pick(int(std::size(points)))], 1);
    return text.toUtf8();
}

} // namespace Faults

#include "update/version.h"

#include <QStringList>
#include <QtTest>

namespace {

struct Captured {
    QtMsgType type;
    QString text;
};

QList<Captured> captured;

void capture(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    captured.append({type, text});
}

const char app[] = "2.1.1702011951";

void row(const char *name, const char *candidate, const char *current, int expected)
{
    QTest::newRow(name) << QString::fromUtf8(candidate) << QString::fromUtf8(current) << expected;
}

} // namespace

class TestVersion : public QObject {
    Q_OBJECT

private slots:
    void compare_data();
    void compare();
};

void TestVersion::compare_data()
{
    QTest::addColumn<QString>("candidate");
    QTest::addColumn<QString>("current");
    QTest::addColumn<int>("expected");

    // Worked examples.
    row("equal texts", app, app, 0);
    row("third element larger", app, "2.1.5", 1);
    row("third element smaller", "2.1.5", app, -1);
    row("second element larger", "2.2", app, 1);
    row("first element decides", "3", "2.9.9", 1);
    row("leading zero", "2.01", "2.1", 0);
    row("shorter candidate wins", "2.1", app, 1);
    row("shorter candidate against .0", "2.1", "2.1.0", 1);
    row("longer candidate loses", "2.1.0", "2.1", -1);
    row("wildcard in candidate", "2.x", "2.3", 1);
    row("wildcard in current", "2.3", "2.x", -1);
    row("wildcard both, equal texts", "2.x", "2.x", 0);
    row("wildcard decides before later elements", "2.x.1", "2.x.0", 1);
    row("wildcard never reached", "2.1.x", "2.1", -1);
    row("non-numeric candidate skips wildcard test", "2.y", "2.x", 0);
    row("upper-case X is not the wildcard", "2.X", "2.3", -1);
    row("xx is not the wildcard", "xx", "1", -1);
    row("word candidate counts as 0", "abc", "1", -1);
    row("word current counts as 0", "1", "abc", 1);
    row("two words", "abc", "def", 0);
    row("empty candidate", "", "2.1", -1);
    row("empty candidate, then shorter wins", "", "0.1", 1);
    row("empty middle element", "2..1", "2.0.1", 0);
    row("out of range element", "2.1.99999999999", "2.1.5", -1);

    // Edge cases around the same rules.
    row("empty candidate against the application", "", app, -1);
    row("both empty", "", "", 0);
    row("empty against zero", "", "0", 0);
    row("empty current", "1", "", 1);
    row("wildcard against empty current", "x", "", 1);
    row("empty candidate never tests current for x", "", "x", 0);
    row("upper-case X in current", "2.3", "2.X", 1);
    row("wildcard only as a whole element", "2.x1", "2.3", -1);
    row("xx in current is not the wildcard", "2.0", "2.xx", 0);
    row("trailing full stop on candidate", "2.1.", "2.1", -1);
    row("trailing full stop on current", "2.1", "2.1.", 1);
    row("leading full stop", ".1", "0.1", 0);
    row("many leading zeros", "002.0001.0", "2.1.0", 0);
    row("leading zeros, shorter wins", "02.01", "2.1.0", 1);
    row("negative element", "2.1.-1", "2.1.0", -1);
    row("negative against negative", "2.-1", "2.-2", 1);
    row("plus sign", "2.+3", "2.3", 0);
    row("largest int", "2147483647", "2147483646", 1);
    row("just above int range", "2147483648", "1", -1);
    row("smallest int", "-2147483648", "0", -1);
    row("just below int range", "-2147483649", "-1", 1);
    row("hexadecimal is not numeric", "0x10", "1", -1);
    row("numeric comparison, not text", "2.10", "2.9", 1);
    row("first difference decides", "1.9.9", "2.0", -1);
}

void TestVersion::compare()
{
    QFETCH(QString, candidate);
    QFETCH(QString, current);
    QFETCH(int, expected);

    captured.clear();
    const QtMessageHandler previous = qInstallMessageHandler(capture);
    const int result = compareVersions(candidate, current);
    qInstallMessageHandler(previous);

    QCOMPARE(result, expected);
    // One line per call, equal texts included, and nothing else.
    QCOMPARE(captured.size(), 1);
    QCOMPARE(captured.first().type, QtInfoMsg);
    QCOMPARE(captured.first().text,
        QStringLiteral("Checking if version %1 is more recent than %2").arg(candidate, current));
}

QTEST_APPLESS_MAIN(TestVersion)
#include "tst_version.moc"

#include "update/osversion.h"

#include <QtTest>

namespace {

QStringList captured;
QList<QtMsgType> capturedTypes;

void capture(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    capturedTypes.append(type);
    captured.append(text);
}

// Runs a call with every message captured instead of printed.
template <typename Call> void capturing(Call call)
{
    captured.clear();
    capturedTypes.clear();
    const QtMessageHandler previous = qInstallMessageHandler(capture);
    call();
    qInstallMessageHandler(previous);
}

using Generations = QList<int>;

const Generations all {0, 1, 2, 3, 4, 5};
const Generations none {};

// Row names show blanks between brackets, so that "" and "   " stay apart.
QByteArray tag(const char *constraint)
{
    return QByteArray("[") + constraint + ']';
}

void allowsRow(const char *constraint, const Generations &allowed)
{
    QTest::newRow(tag(constraint).constData()) << QString::fromUtf8(constraint) << allowed;
}

const QString same = QStringLiteral("Checking if current OS is same as Windows-%1");
const QString atLeast
    = QStringLiteral("Checking if current OS is more recent or same as Windows-%1");
const QString atMost = QStringLiteral("Checking if current OS is prior or same as Windows-%1");

void lineRow(const char *constraint, const QString &line)
{
    QTest::newRow(tag(constraint).constData()) << QString::fromUtf8(constraint) << line;
}

} // namespace

class TestOsVersion : public QObject {
    Q_OBJECT

private slots:
    void allows_data();
    void allows();
    void logLine_data();
    void logLine();
    void generationOf_data();
    void generationOf();
    void compatibleLogs_data();
    void compatibleLogs();
    void runningSystem_data();
    void runningSystem();
};

void TestOsVersion::allows_data()
{
    QTest::addColumn<QString>("constraint");
    QTest::addColumn<Generations>("allowed");

    // The complete decision table.
    allowsRow("7", {1});
    allowsRow("7+", {1, 2, 3, 4, 5});
    allowsRow("7-", {0, 1});
    allowsRow("8", {2});
    allowsRow("8+", {2, 3, 4, 5});
    allowsRow("8-", {0, 1, 2});
    allowsRow("8.1", {3});
    allowsRow("8.1+", {3, 4, 5});
    allowsRow("8.1-", {0, 1, 2, 3});
    allowsRow("10", {4});
    allowsRow("10+", {4, 5});
    allowsRow("10-", {0, 1, 2, 3, 4});

    // No constraint at all.
    allowsRow("any", all);
    allowsRow("", all);

    // Normalisation and names that are not recognised.
    allowsRow(" 8.1- ", {0, 1, 2, 3});
    QTest::newRow("10+ between a tab and a line feed")
        << QStringLiteral("\t10+\n") << Generations {4, 5};
    allowsRow("10 ", {4});
    allowsRow("Any", none);
    allowsRow(" any", none);
    allowsRow("any ", none);
    allowsRow("ANY", none);
    allowsRow("   ", none);
    allowsRow("foo", none);
    allowsRow("XP", none);
    allowsRow("11", none);
    allowsRow("+", none);
    allowsRow("-", none);
    allowsRow("7 +", none);
    allowsRow("7++", none);
    allowsRow("7+-", none);
    allowsRow("+7", none);
    allowsRow("07", none);
    allowsRow("8.10", none);
    allowsRow("81", none);
    allowsRow("10.0", none);
}

void TestOsVersion::allows()
{
    QFETCH(QString, constraint);
    QFETCH(Generations, allowed);

    for (int generation = 0; generation <= 5; ++generation) {
        QVERIFY2(osConstraintAllows(constraint, generation) == allowed.contains(generation),
            qPrintable(QStringLiteral("generation %1").arg(generation)));
    }
}

void TestOsVersion::logLine_data()
{
    QTest::addColumn<QString>("constraint");
    QTest::addColumn<QString>("line"); // null: nothing is logged

    lineRow("any", QString());
    lineRow("", QString());
    lineRow("7", same.arg(QStringLiteral("7")));
    lineRow("7+", atLeast.arg(QStringLiteral("7")));
    lineRow("7-", atMost.arg(QStringLiteral("7")));
    lineRow(" 8.1- ", atMost.arg(QStringLiteral("8.1")));
    lineRow("10+", atLeast.arg(QStringLiteral("10")));
    lineRow("10-", atMost.arg(QStringLiteral("10")));
    lineRow("Any", same.arg(QStringLiteral("any")));
    lineRow(" any", same.arg(QStringLiteral("any")));
    lineRow("   ", same.arg(QString()));
    lineRow("foo", same.arg(QStringLiteral("foo")));
    lineRow("XP", same.arg(QStringLiteral("xp")));
    lineRow("11", same.arg(QStringLiteral("11")));
    lineRow("+", atLeast.arg(QString()));
    lineRow("-", atMost.arg(QString()));
    lineRow("7 +", atLeast.arg(QStringLiteral("7 ")));
    lineRow("7++", atLeast.arg(QStringLiteral("7+")));
    lineRow("+7", same.arg(QStringLiteral("+7")));
}

void TestOsVersion::logLine()
{
    QFETCH(QString, constraint);
    QFETCH(QString, line);

    const QString actual = osConstraintLogLine(constraint);
    QCOMPARE(actual.isNull(), line.isNull());
    QCOMPARE(actual, line);
}

void TestOsVersion::generationOf_data()
{
    QTest::addColumn<int>("winVersion");
    QTest::addColumn<int>("generation");

    QTest::newRow("NT") << 0x10 << 0;
    QTest::newRow("2000") << 0x20 << 0;
    QTest::newRow("XP") << 0x30 << 0;
    QTest::newRow("Server 2003") << 0x40 << 0;
    QTest::newRow("Vista") << 0x80 << 0;
    QTest::newRow("7") << 0x90 << 1;
    QTest::newRow("8") << 0xA0 << 2;
    QTest::newRow("8.1") << 0xB0 << 3;
    QTest::newRow("10") << 0xC0 << 4;
    // Everything else sorts above 10.
    QTest::newRow("none") << 0x00 << 5;
    QTest::newRow("Windows 32s") << 0x01 << 5;
    QTest::newRow("95") << 0x02 << 5;
    QTest::newRow("98") << 0x03 << 5;
    QTest::newRow("Me") << 0x04 << 5;
    QTest::newRow("DOS-based mask") << 0x0F << 5;
    QTest::newRow("between Server 2003 and Vista") << 0x50 << 5;
    QTest::newRow("NT-based mask") << 0xF0 << 5;
    QTest::newRow("CE") << 0x100 << 5;
    QTest::newRow("CE .NET") << 0x200 << 5;
    QTest::newRow("CE 5") << 0x300 << 5;
    QTest::newRow("CE 6") << 0x400 << 5;
    QTest::newRow("CE-based mask") << 0xF00 << 5;
    QTest::newRow("negative") << -1 << 5;
}

void TestOsVersion::generationOf()
{
    QFETCH(int, winVersion);
    QFETCH(int, generation);

    QCOMPARE(windowsGenerationOf(winVersion), generation);
}

void TestOsVersion::compatibleLogs_data()
{
    QTest::addColumn<QString>("constraint");
    QTest::addColumn<int>("generation");
    QTest::addColumn<QString>("line"); // null: nothing is logged
    QTest::addColumn<bool>("compatible");

    QTest::newRow("any") << "any" << 0 << QString() << true;
    QTest::newRow("empty") << "" << 5 << QString() << true;
    QTest::newRow("exact, passes") << "7" << 1 << same.arg(QStringLiteral("7")) << true;
    QTest::newRow("exact, fails") << "7" << 2 << same.arg(QStringLiteral("7")) << false;
    QTest::newRow("at least") << "8+" << 5 << atLeast.arg(QStringLiteral("8")) << true;
    QTest::newRow("at most") << " 10- " << 5 << atMost.arg(QStringLiteral("10")) << false;
    QTest::newRow("unrecognised still logged")
        << "ANY" << 4 << same.arg(QStringLiteral("any")) << false;
}

void TestOsVersion::compatibleLogs()
{
    QFETCH(QString, constraint);
    QFETCH(int, generation);
    QFETCH(QString, line);
    QFETCH(bool, compatible);

    bool result = !compatible;
    capturing([&] { result = isOsCompatible(constraint, generation); });
    QCOMPARE(result, compatible);
    if (line.isNull()) {
        QVERIFY2(captured.isEmpty(), qPrintable(captured.join(QLatin1Char('|'))));
    } else {
        QCOMPARE(captured, QStringList {line});
        QCOMPARE(capturedTypes.first(), QtInfoMsg);
    }
}

void TestOsVersion::runningSystem_data()
{
    QTest::addColumn<QString>("constraint");
    QTest::newRow("any") << "any";
    QTest::newRow("empty") << "";
    QTest::newRow("7+") << "7+";
    QTest::newRow("10-") << "10-";
    QTest::newRow("8.1") << "8.1";
}

// The running system decides like any generation does, with the same line.
void TestOsVersion::runningSystem()
{
    QFETCH(QString, constraint);

    const WindowsGeneration generation = currentWindowsGeneration();
    QVERIFY(generation >= 0 && generation <= 5);
#ifndef Q_OS_WIN
    QCOMPARE(generation, 5);
#endif
    bool result = false;
    capturing([&] { result = isOsCompatible(constraint); });
    QCOMPARE(result, osConstraintAllows(constraint, generation));
    const QString line = osConstraintLogLine(constraint);
    if (line.isNull())
        QVERIFY(captured.isEmpty());
    else
        QCOMPARE(captured, QStringList {line});
}

QTEST_APPLESS_MAIN(TestOsVersion)
#include "tst_osversion.moc"

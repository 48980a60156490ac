#include "support/e2esite.h"
#include "update/osversion.h"

#include <QtTest>

class TestQtCompat : public QObject { // what Qt 5 and 6 do differently unless pinned down
    Q_OBJECT

private slots:
    void generation_data() // of a Windows version: major, minor, build, generation
    {
        QTest::addColumn<QList<int>>("v");
        QTest::newRow("XP") << QList<int> {5, 1, 2600, 0};
        QTest::newRow("8.1") << QList<int> {6, 3, 9600, 3};
        QTest::newRow("10, its last build") << QList<int> {10, 0, 21999, 4};
        QTest::newRow("11, its first build") << QList<int> {10, 0, 22000, 5};
        QTest::newRow("a later major") << QList<int> {11, 0, 100, 5};
        QTest::newRow("no version") << QList<int> {-1, -1, -1, 5};
    }
    void generation()
    {
        QFETCH(QList<int>, v);
        QCOMPARE(windowsGenerationOf(v[0], v[1], v[2]), v[3]);
    }

    void wire_data() // over https, where nginx offers HTTP/2 too
    {
        QTest::addColumn<QString>("package");
        QTest::newRow("HTTP/1.1 only") << "p.pkg";
        QTest::newRow("a 301 (sub is a directory) is a failed download") << "sub";
    }
    void wire()
    {
        QFETCH(QString, package);
        const bool moved = package == QLatin1String("sub");
        E2ESite site(QDir::tempPath());
        const QByteArray body = Repository::packageBytes(200000);
        QVERIFY(TestSupport::writeFile(site.repo() + QStringLiteral("/pc/sub/index.html"), body));
        QVERIFY(Repository::publish(site.repo() + QStringLiteral("/pc"), package,
            moved ? QByteArray() : body, QLatin1String(TestSupport::md5Hex(body))));
        QVERIFY2(site.serve(QStringLiteral("https")), qPrintable(site.server().errorString()));
        site.run(site.args(site.repoUrl(QStringLiteral("https")))); // any exit code: LSan and https
        QCOMPARE(QFile::exists(site.available() + QLatin1Char('/') + package), !moved);
        QTRY_COMPARE(site.server().accessLog().size(), 2); // one GET per file, none followed
        QCOMPARE(site.server().accessLog().last().protocol, QStringLiteral("HTTP/1.1"));
    }
};

QTEST_GUILESS_MAIN(TestQtCompat)
#include "tst_qtcompat.moc"

// Inputs the fuzzers in fuzz/ found to break a property, kept as plain cases
// so that the fault stays fixed in every build, not only in the fuzzing one.
#include "app/updaterapp.h"
#include "support/testsupport.h"

#include <QtTest>

#include <memory>

class TestFuzzRegressions : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void remoteUrlCollapsesSlashes_data();
    void remoteUrlCollapsesSlashes();

private:
    QTemporaryDir tmp_;
    int argc_ = 1;
    char name_[24] = "tst_fuzzregressions";
    char *argv_[2] = {name_, nullptr};
    std::unique_ptr<UpdaterApp> app_;
};

void TestFuzzRegressions::initTestCase()
{
    QVERIFY(tmp_.isValid());
    TestSupport::isolateTempDir(tmp_.filePath(QStringLiteral("tmp")));
    app_ = std::make_unique<UpdaterApp>(argc_, argv_);
}

void TestFuzzRegressions::cleanupTestCase()
{
    app_.reset();
}

void TestFuzzRegressions::remoteUrlCollapsesSlashes_data()
{
    QTest::addColumn<QString>("root");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("path");

    const QString low(QChar(0xDC00));
    const QString high(QChar(0xD800));
    // A manifest can spell unpaired surrogates with \u escapes; the regular
    // expression engine refuses such text and used to leave every run of
    // slashes in place.
    QTest::newRow("fuzz input: low surrogate, NUL, %41")
        << QStringLiteral("http://host/r/pc/")
        << low + QStringLiteral("/") + QChar(0) + QStringLiteral("x%41")
        << QStringLiteral("/r/pc/") + low + QStringLiteral("/") + QChar(0) + QStringLiteral("x%41");
    QTest::newRow("doubled slash in the root, surrogate in the name")
        << QStringLiteral("http://host/root//pc/") << low + QStringLiteral("//pkg.zip")
        << QStringLiteral("/root/pc/") + low + QStringLiteral("/pkg.zip");
    QTest::newRow("file root, high surrogate")
        << QStringLiteral("file:///C:/updates//pc/") << QStringLiteral("//") + high
        << QStringLiteral("/C:/updates/pc/") + high;
    QTest::newRow("same root, valid name")
        << QStringLiteral("http://host/root//pc/") << QStringLiteral("//pkg.zip")
        << QStringLiteral("/root/pc/pkg.zip");
}

void TestFuzzRegressions::remoteUrlCollapsesSlashes()
{
    QFETCH(QString, root);
    QFETCH(QString, name);
    QFETCH(QString, path);
    app_->setRemotePath(root);
    const QUrl url = app_->remoteUrl(name);
    QCOMPARE(url.path(QUrl::FullyDecoded), path);
    QCOMPARE(url.scheme(), QUrl(root).scheme());
    QCOMPARE(url.host(), QUrl(root).host());
}

QTEST_APPLESS_MAIN(TestFuzzRegressions)
#include "tst_fuzzregressions.moc"

// Locale table and translation loading: which file each system locale loads, the
// fallbacks and their log lines.
#include "LogCapture.h"
#include "app/LocaleTable.h"
#include "app/TranslationLoader.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

namespace {
const QString kBin = QStringLiteral(QUORVIX_BIN_DIR);

// A folder holding copies of the built .qm files named in `locales`.
bool makeFolderWith(QTemporaryDir& dir, const QStringList& locales)
{
    for (const QString& l : locales) {
        const QString name = QStringLiteral("/QuorvixDriver_%1.qm").arg(l);
        if (!QFile::copy(kBin + name, dir.path() + name)) {
            return false;
        }
    }
    return true;
}
} // namespace

class TestTranslation : public QObject
{
    Q_OBJECT

private slots:
    void localeTable_data()
    {
        QTest::addColumn<QString>("system");
        QTest::addColumn<QString>("expected");
        QTest::newRow("en_001") << "en_001"
                                << "en_US";
        QTest::newRow("en_US") << "en_US"
                               << "en_US";
        QTest::newRow("en_GB") << "en_GB"
                               << "en_US";
        QTest::newRow("zh_CN") << "zh_CN"
                               << "zh_CN";
        QTest::newRow("zh_TW") << "zh_TW"
                               << "zh_CN";
        QTest::newRow("fr_FR") << "fr_FR"
                               << "en_US";
        QTest::newRow("wrong case") << "zh_cn"
                                    << "en_US";
        QTest::newRow("empty") << ""
                               << "en_US";
        QTest::newRow("C") << "C"
                           << "en_US";
    }

    void localeTable()
    {
        QFETCH(QString, system);
        QFETCH(QString, expected);
        QCOMPARE(translationLocaleFor(system), expected);
    }

    void mappedFileIsLoaded()
    {
        QTemporaryDir dir;
        QVERIFY(makeFolderWith(dir, {"en_US", "zh_CN"}));
        LogCapture log;
        QTranslator translator;
        QVERIFY(installTranslation(*QCoreApplication::instance(), translator, dir.path(), "zh_TW"));
        const QString path = dir.path() + "/QuorvixDriver_zh_CN.qm";
        QCOMPARE(log.lines(),
                 QStringList({"系统返回的语言代码： \"zh_TW\"", "拼接后的路径： \"" + path + "\"",
                              "成功加载翻译文件： \"" + path + "\""}));
        // The Chinese file really translates the tray's entries.
        QCOMPARE(QCoreApplication::translate("TrayIcon", "Quit"), QString("退出"));
        QCoreApplication::removeTranslator(&translator);
    }

    void missingChineseFallsBackToEnglish()
    {
        QTemporaryDir dir;
        QVERIFY(makeFolderWith(dir, {"en_US"}));
        LogCapture log;
        QTranslator translator;
        QVERIFY(installTranslation(*QCoreApplication::instance(), translator, dir.path(), "zh_CN"));
        const QString fallback = dir.path() + "/QuorvixDriver_en_US.qm";
        QCOMPARE(log.lines().last(), "加载默认翻译文件： \"" + fallback + "\"");
        QVERIFY(!log.contains("成功加载翻译文件："));
        QCOMPARE(QCoreApplication::translate("MainWindow", "声卡未连接！"),
                 QString("Sound card not connected!"));
        QCoreApplication::removeTranslator(&translator);
    }

    void noFileWarnsAndKeepsBuiltInTexts()
    {
        QTemporaryDir dir;
        LogCapture log;
        QTranslator translator;
        QVERIFY(
            !installTranslation(*QCoreApplication::instance(), translator, dir.path(), "en_US"));
        // The en_US file is tried twice: once mapped, once as the fallback.
        QCOMPARE(log.count("拼接后的路径： \"" + dir.path() + "/QuorvixDriver_en_US.qm\""), 1);
        QCOMPARE(log.lines().last(), QString("未找到任何翻译文件，使用原始文本"));
        QVERIFY(translator.isEmpty());
        QCOMPARE(QCoreApplication::translate("TrayIcon", "Quit"), QString("Quit"));
    }
};

QTEST_GUILESS_MAIN(TestTranslation)
#include "tst_translation.moc"

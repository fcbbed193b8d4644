// Opening the ini stores: the data folder is made, stale locks left by a killed process
// are cleared, live locks are respected, and the stores of the panels and the settings
// dialog restore their first control promptly even when each ini file has an empty lock.
#include "DeviceSimulator.h"
#include "panels/tk1.h"
#include "panels/tk2.h"
#include "panels/zr.h"
#include "settings/Settings.h"
#include "storage/IniFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

#include <cstdio>
#include <memory>

namespace {

// Generous: a frozen store waits 30 s for the lock to age.
constexpr qint64 kPromptMs = 5000;

QString dataDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The pid of a process that has just ended.
qint64 endedPid()
{
    QProcess child;
    child.start(QStringLiteral("sleep"), {QStringLiteral("0.1")});
    if (!child.waitForStarted())
        return -1;
    const qint64 pid = child.processId();
    child.waitForFinished();
    return pid;
}

} // namespace

class TestIniFile : public QObject
{
    Q_OBJECT

private slots:
    void init() { QDir(dataDir()).removeRecursively(); }

    void createsTheFolderAndAnIniStoreOwnedByTheParent()
    {
        QVERIFY(!QFileInfo::exists(dataDir()));
        QObject owner;
        QSettings* store = openIniStore(QStringLiteral("/probe.ini"), &owner);
        QVERIFY(QFileInfo(dataDir()).isDir());
        QCOMPARE(store->fileName(), dataDir() + QStringLiteral("/probe.ini"));
        QCOMPARE(store->format(), QSettings::IniFormat);
        QCOMPARE(store->parent(), &owner);
        store->setValue(QStringLiteral("Dial/MicValue"), 17);
        store->sync();
        QCOMPARE(store->status(), QSettings::NoError);
        QVERIFY(readFile(store->fileName()).contains("[Dial]\nMicValue=17"));
    }

    void emptyOrDamagedLockIsClearedAndTheStoreSavesAtOnce_data()
    {
        QTest::addColumn<QByteArray>("lockText");
        QTest::addColumn<QString>("fileName");
        // One file per row: QSettings caches a parsed file by name, size and time.
        QTest::newRow("empty") << QByteArray() << "/tk1.ini";
        QTest::newRow("garbage") << QByteArray("\x01\x02not a pid\n", 11) << "/tk2.ini";
    }

    void emptyOrDamagedLockIsClearedAndTheStoreSavesAtOnce()
    {
        QFETCH(QByteArray, lockText);
        QFETCH(QString, fileName);
        const QString ini = dataDir() + fileName;
        writeFile(ini, "[Dial]\nMicValue=3\n");
        writeFile(ini + QStringLiteral(".lock"), lockText);

        QElapsedTimer clock;
        clock.start();
        QObject owner;
        QSettings* store = openIniStore(fileName, &owner);
        QCOMPARE(store->value(QStringLiteral("Dial/MicValue")).toInt(), 3);
        store->setValue(QStringLiteral("Dial/MicValue"), 9);
        store->sync();
        const qint64 elapsed = clock.elapsed();
        std::printf("save beside a stale lock took %lld ms\n", static_cast<long long>(elapsed));
        QCOMPARE(store->status(), QSettings::NoError);
        QVERIFY(elapsed < kPromptMs);
        QVERIFY(!QFileInfo::exists(ini + QStringLiteral(".lock")));
        QVERIFY(readFile(ini).contains("MicValue=9"));
    }

    void lockOfAnEndedProcessIsCleared()
    {
        const QString ini = dataDir() + QStringLiteral("/zr.ini");
        const QString lockPath = ini + QStringLiteral(".lock");
        QDir().mkpath(dataDir());
        // A lock in QLockFile's own format, then made to name a process that has ended.
        QByteArray text;
        {
            QLockFile live(lockPath);
            QVERIFY(live.tryLock(0));
            text = readFile(lockPath);
            live.unlock();
        }
        const qint64 pid = endedPid();
        QVERIFY(pid > 0);
        const qsizetype lineEnd = text.indexOf('\n');
        QVERIFY(lineEnd > 0);
        text = QByteArray::number(pid) + text.mid(lineEnd);
        writeFile(lockPath, text);

        QVERIFY(removeStaleIniLock(ini));
        QVERIFY(!QFileInfo::exists(lockPath));
    }

    void lockOfALiveOwnerIsKept()
    {
        const QString ini = dataDir() + QStringLiteral("/tk2.ini");
        const QString lockPath = ini + QStringLiteral(".lock");
        QDir().mkpath(dataDir());
        QLockFile held(lockPath);
        QVERIFY(held.tryLock(0));
        const QByteArray before = readFile(lockPath);
        QVERIFY(!before.isEmpty());

        QVERIFY(!removeStaleIniLock(ini));
        QCOMPARE(readFile(lockPath), before);
        held.unlock();
        QVERIFY(removeStaleIniLock(ini));
    }

    void noLockIsNothingToDo()
    {
        QVERIFY(removeStaleIniLock(dataDir() + QStringLiteral("/setting.ini")));
        QVERIFY(!QFileInfo::exists(dataDir() + QStringLiteral("/setting.ini.lock")));
    }

    // A value QSettings would decode as a serialized type, however it is spelled, is
    // removed before the store reads the file: decoding "Damaged" asks for 65 GB.
    void undecodableValuesAreDroppedAndTheRestKept()
    {
        const QString ini = dataDir() + QStringLiteral("/setting.ini");
        writeFile(ini, "[Audio]\r\nBufferSize=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x40)\r\n"
                       "Damaged=@Variant(\\0\\0\\0\\tyleVarianx2\\0\\0\\0\\x40)\r\n"
                       "SampleRate=48000\r\n"
                       "Quoted=\"@DateTime(\\0\\0)\"\r\n"
                       "Escaped=\\x40Variant(\\0\\0\\0\\x2)\r\n"
                       "List=1, @Variant(\\xff\\xff\\xff\\xff)\r\n"
                       "[USB]\r\nSlowMode=Disabled\r\nLatencySize=16");
        QObject owner;
        QSettings* store = openIniStore(QStringLiteral("/setting.ini"), &owner);
        QCOMPARE(store->childKeys(), QStringList());
        QCOMPARE(store->allKeys(),
                 QStringList({"Audio/SampleRate", "USB/LatencySize", "USB/SlowMode"}));
        QCOMPARE(store->value("Audio/SampleRate").toString(), QStringLiteral("48000"));
        QCOMPARE(store->value("USB/LatencySize").toString(), QStringLiteral("16"));
        QCOMPARE(readFile(ini), QByteArray("[Audio]\r\nSampleRate=48000\r\n[USB]\r\n"
                                           "SlowMode=Disabled\r\nLatencySize=16"));

        // What the program writes itself is never touched.
        store->setValue("Audio/BufferSize", 256);
        store->setValue("USB/SlowMode", "Enabled");
        QVERIFY(syncIniStore(store));
        const QByteArray saved = readFile(ini);
        QVERIFY(dropUndecodableIniLines(ini));
        QCOMPARE(readFile(ini), saved);
    }

    // What a start after a crash looks like: every ini file of the program has an empty
    // lock of the current time; the panels and the dialog restore and save their controls
    // without waiting for the locks to age.
    void panelsAndDialogRestoreWithoutWaitingForStaleLocks()
    {
        DeviceSimulator sim;
        QVERIFY(sim.start({"--model", "tk1", "--quiet", "--journal-matrix", "brief"}));
        for (const char* name : {"/tk1.ini", "/tk2.ini", "/zr.ini", "/setting.ini"}) {
            const QString ini = dataDir() + QLatin1String(name);
            writeFile(ini, "[Dial]\nMicValue=5\n");
            writeFile(ini + QStringLiteral(".lock"), QByteArray());
        }

        const auto timed = [](const char* what, auto build) {
            QElapsedTimer clock;
            clock.start();
            build();
            const qint64 elapsed = clock.elapsed();
            std::printf("%s restored its controls in %lld ms\n", what,
                        static_cast<long long>(elapsed));
            return elapsed;
        };
        std::unique_ptr<QWidget> panel;
        QVERIFY(timed("tk1", [&] { panel = std::make_unique<tk1>(); }) < kPromptMs);
        QVERIFY(readFile(dataDir() + "/tk1.ini").contains("MicValue=5"));
        QVERIFY(readFile(dataDir() + "/tk1.ini").contains("HeadphoneValue=-80"));
        panel.reset();
        QVERIFY(timed("tk2", [&] { panel = std::make_unique<tk2>(); }) < kPromptMs);
        QVERIFY(readFile(dataDir() + "/tk2.ini").contains("[Button]"));
        panel.reset();
        QVERIFY(timed("zr", [&] { panel = std::make_unique<zr>(); }) < kPromptMs);
        QVERIFY(readFile(dataDir() + "/zr.ini").contains("[Dial]"));
        panel.reset();

        std::unique_ptr<Settings> dialog;
        QVERIFY(timed("settings dialog", [&] {
                    dialog = std::make_unique<Settings>();
                    dialog->createDevice();
                    dialog->loadControlState();
                }) < kPromptMs);
        QVERIFY(readFile(dataDir() + "/setting.ini").contains("BufferSize=192"));
        for (const char* name : {"/tk1.ini", "/tk2.ini", "/zr.ini", "/setting.ini"})
            QVERIFY2(!QFileInfo::exists(dataDir() + QLatin1String(name) + ".lock"), name);
    }
};

QTEST_MAIN(TestIniFile)
#include "tst_inifile.moc"

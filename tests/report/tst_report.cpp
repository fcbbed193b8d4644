// The support report: what it holds and what it hides, that it reads nothing outside the
// program's data folder, and where it may write. Every archive is read back by Python's
// zipfile, which checks each entry's CRC.
#include "report/ProgramFolders.h"
#include "report/Redactor.h"
#include "report/SupportReport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSysInfo>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kUser = QStringLiteral("qvxalice");

QString dataDir()
{
    return programfolders::appData();
}

QString outDir()
{
    return qEnvironmentVariable("QUORVIX_TEST_OUT");
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    file.write(bytes);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every entry of the archive by name; empty when Python finds it damaged.
QMap<QString, QByteArray> unzip(const QString& zipPath)
{
    QProcess python;
    python.start(QStringLiteral("python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import sys, zipfile, json, base64\n"
                                 "z = zipfile.ZipFile(sys.argv[1])\n"
                                 "assert z.testzip() is None\n"
                                 "print(json.dumps({n: base64.b64encode("
                                 "z.read(n)).decode() for n in z.namelist()}))"),
                  zipPath});
    QMap<QString, QByteArray> entries;
    if (!python.waitForFinished(20000) || python.exitCode() != 0) {
        qWarning() << python.readAllStandardError();
        return entries;
    }
    const QJsonObject names = QJsonDocument::fromJson(python.readAllStandardOutput()).object();
    for (auto it = names.begin(); it != names.end(); ++it)
        entries.insert(it.key(), QByteArray::fromBase64(it.value().toString().toLatin1()));
    return entries;
}

int report(const QString& zipPath, bool force = false, const QByteArray& status = {},
           QString* error = nullptr)
{
    SupportReportRequest request;
    request.zipPath = zipPath;
    request.force = force;
    request.statusJson = status;
    QString why;
    const int code = writeSupportReport(request, error ? error : &why);
    return code;
}

} // namespace

class TestReport : public QObject
{
    Q_OBJECT

    QString home;

private slots:
    void initTestCase()
    {
        // A user and home folder whose names cannot appear in the report by chance.
        home = QDir::homePath() + QLatin1Char('/') + kUser;
        QVERIFY(QDir().mkpath(home));
        qputenv("HOME", home.toUtf8());
        for (const char* variable : {"USER", "USERNAME", "LOGNAME"})
            qputenv(variable, kUser.toUtf8());
        // The machine's own autostart entry stays out of the test.
        qputenv("XDG_CONFIG_DIRS", QByteArray(outDir().toUtf8() + "/xdg"));
        // The program's folder, asked from an executable of another name, which keeps it.
        QCOMPARE(dataDir(),
                 qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/QuorvixDriver"));
        QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("tst_report"));
    }

    void init()
    {
        QDir(dataDir()).removeRecursively();
        QDir(outDir()).removeRecursively();
        QVERIFY(QDir().mkpath(outDir()));
        QVERIFY(QDir().mkpath(dataDir()));
    }

    void holdsTheProgramsFilesWithTheUserHidden()
    {
        const QByteArray tk1 = "[Dial]\nHeadphoneValue=-20\n[Button]\nMic48VIsChecked=true\n"
                               "[Paths]\nlast=" +
                               home.toUtf8() + "/Music/" + kUser.toUtf8() + ".wav\n";
        writeFile(dataDir() + "/tk1.ini", tk1);
        writeFile(dataDir() + "/tk2.ini", "[Dial]\nSpeakerValue=-6\n");
        writeFile(dataDir() + "/setting.ini", "[Audio]\nBufferSize=256\n");
        writeFile(dataDir() + "/setups/tk2/podcast.ini", "[Dial]\nSpeakerValue=-6\n");
        writeFile(dataDir() + "/setups/tk2/" + kUser + ".ini", "[Dial]\nSpeakerValue=-6\n");
        writeFile(dataDir() + "/setups/tk2/notes.txt", "not a setup\n");
        writeFile(dataDir() + "/setups/zr/tracking.ini", "[Dial]\nSpeakerValue=-6\n");
        const QByteArray older = "2026-12-08T10:00:00.000 debug 拼接后的路径： \"" + home.toUtf8() +
                                 "/QuorvixDriver_en_US.qm\"\n";
        const QByteArray current = "2026-12-08T10:00:01.000 debug Device PID: 2\n";
        writeFile(dataDir() + "/logs/QuorvixMixer.log.1", older);
        writeFile(dataDir() + "/logs/QuorvixMixer.log", current);
        const QString autostart = qEnvironmentVariable("XDG_CONFIG_HOME") +
                                  QStringLiteral("/autostart/quorvix-mixer.desktop");
        writeFile(autostart, "[Desktop Entry]\nExec=quorvix-mixer\nHidden=true\n");
        const QByteArray status = "{\"model\": \"TK2\", \"path\": \"" + home.toUtf8() + "\"}";

        const QString zipPath = outDir() + "/report.zip";
        QString error;
        QCOMPARE(report(zipPath, false, status, &error), 0);
        QVERIFY(error.isEmpty());
        QCOMPARE(QProcess::execute("unzip", {"-tqq", zipPath}), 0);
        const QMap<QString, QByteArray> entries = unzip(zipPath);
        QCOMPARE(entries.keys(), QStringList({"ini/setting.ini", "ini/tk1.ini", "ini/tk2.ini",
                                              "logs/QuorvixMixer.log", "logs/QuorvixMixer.log.1",
                                              "report.txt", "setups.txt", "status.json"}));

        QByteArray hiddenTk1 = tk1;
        hiddenTk1.replace(home.toUtf8(), "<home>").replace(kUser.toUtf8(), "<user>");
        QCOMPARE(entries["ini/tk1.ini"], hiddenTk1);
        QVERIFY(hiddenTk1.contains("last=<home>/Music/<user>.wav"));
        QCOMPARE(entries["ini/setting.ini"], QByteArray("[Audio]\nBufferSize=256\n"));
        QCOMPARE(entries["logs/QuorvixMixer.log"], current);
        QCOMPARE(entries["logs/QuorvixMixer.log.1"],
                 QByteArray("2026-12-08T10:00:00.000 debug 拼接后的路径： \"<home>/"
                            "QuorvixDriver_en_US.qm\"\n"));
        QCOMPARE(entries["setups.txt"],
                 QByteArray("tk2/podcast.ini\ntk2/<user>.ini\nzr/tracking.ini"));
        QCOMPARE(entries["status.json"], QByteArray("{\"model\": \"TK2\", \"path\": \"<home>\"}"));
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            QVERIFY2(!it.value().contains(kUser.toUtf8()), qPrintable(it.key()));
            QVERIFY2(!it.value().contains(home.toUtf8()), qPrintable(it.key()));
        }

        const QStringList text = QString::fromUtf8(entries["report.txt"]).split('\n');
        QVERIFY(text.contains(QStringLiteral("version: " QUORVIX_VERSION)));
        QVERIFY(text.contains("os: " +
                              Redactor::forCurrentUser().apply(QSysInfo::prettyProductName())));
        // Off Windows the package's file list, or else its program file, names the scope.
        const QString packaged = QStringLiteral("/usr/lib/quorvix-mixer/QuorvixDriver");
        const QString scope =
            QFileInfo::exists("/var/lib/dpkg/info/quorvix-mixer.list")
                ? "install scope: all users (Debian package quorvix-mixer)"
            : QFileInfo::exists(packaged)
                ? "install scope: all users (" + packaged + ", not from the package)"
                : "install scope: none";
        QVERIFY2(text.count(scope) == 1, entries["report.txt"].constData());
        QVERIFY(text.contains("autostart: off (" + autostart + ", Exec=quorvix-mixer)"));
        QVERIFY(text.contains("program running: yes (status.json)"));
        QVERIFY(text.contains("  zr.ini: missing"));
        QVERIFY(text.contains("setups: 3 (setups.txt)"));

        // The user's own entry, once enabled, decides; without one the system's counts.
        writeFile(autostart, "[Desktop Entry]\nExec=quorvix-mixer\n");
        QCOMPARE(report(zipPath, true), 0);
        QVERIFY(QString::fromUtf8(unzip(zipPath)["report.txt"])
                    .contains("autostart: on (" + autostart + ", Exec=quorvix-mixer)"));
        QVERIFY(QFile::remove(autostart));
        const QString system = outDir() + "/xdg/autostart/quorvix-mixer.desktop";
        writeFile(system, "[Desktop Entry]\nExec=quorvix-mixer\nX-GNOME-Autostart-enabled=false\n");
        QCOMPARE(report(zipPath, true), 0);
        const QByteArray off = unzip(zipPath)["report.txt"];
        QVERIFY2(off.contains("autostart: off (" + system.toUtf8() + ", Exec=quorvix-mixer)"),
                 off.constData());
    }

    void readsNothingOutsideTheDataFolder()
    {
        const QString outside = outDir() + "/elsewhere";
        writeFile(outside + "/secret.ini", "SECRET\n");
        writeFile(outside + "/setups/tk1/stolen.ini", "SECRET\n");
        QVERIFY(QFile::link(outside + "/secret.ini", dataDir() + "/tk2.ini"));
        QVERIFY(QFile::link(outside + "/setups", dataDir() + "/setups"));
        QVERIFY(QFile::link(outside + "/gone.ini", dataDir() + "/zr.ini"));
        // A FIFO would block a reader that opened it.
        QCOMPARE(::mkfifo(QFile::encodeName(dataDir() + "/setting.ini").constData(), 0600), 0);
        // A link that stays inside the folder is fine.
        writeFile(dataDir() + "/logs/real.log", "inside\n");
        QVERIFY(QFile::link(dataDir() + "/logs/real.log", dataDir() + "/logs/QuorvixMixer.log.1"));
        // A log far over its bound keeps its newest part.
        QByteArray big(3 * 1024 * 1024, 'x');
        big.append("\nthe newest line\n");
        writeFile(dataDir() + "/logs/QuorvixMixer.log", big);
        writeFile(dataDir() + "/tk1.ini", "[Dial]\nHeadphoneValue=-20\n");
        const bool root = ::geteuid() == 0;
        if (root)
            QCOMPARE(::chown(QFile::encodeName(dataDir() + "/tk1.ini").constData(), 65534, 65534),
                     0);

        const QString zipPath = outDir() + "/report.zip";
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(report(zipPath), 0);
        qInfo("report with a 3 MB log: %lld ms", timer.elapsed());
        const QMap<QString, QByteArray> entries = unzip(zipPath);
        QVERIFY(!entries.isEmpty());
        for (auto it = entries.begin(); it != entries.end(); ++it)
            QVERIFY2(!it.value().contains("SECRET"), qPrintable(it.key()));
        QVERIFY(!entries.contains("ini/tk2.ini"));
        QVERIFY(!entries.contains("ini/setting.ini"));
        QVERIFY(!entries.contains("status.json"));
        QCOMPARE(entries.value("logs/QuorvixMixer.log.1"), QByteArray("inside\n"));
        const QByteArray log = entries.value("logs/QuorvixMixer.log");
        QCOMPARE(log.size(), 2 * 1024 * 1024);
        QVERIFY(log.endsWith("x\nthe newest line\n"));
        QCOMPARE(entries.value("setups.txt"), QByteArray());

        const QString text = QString::fromUtf8(entries.value("report.txt"));
        QVERIFY(text.contains("  tk2.ini: left out: outside the data folder\n"));
        QVERIFY(text.contains("  zr.ini: left out: a broken link\n"));
        QVERIFY(text.contains("  setting.ini: left out: not a regular file\n"));
        QVERIFY(text.contains("  logs/QuorvixMixer.log: cut to 2097152 of"));
        QVERIFY(text.contains("setups: 0 (setups.txt)\n"));
        QVERIFY(text.contains("program running: no\n"));
        if (root) {
            QVERIFY(!entries.contains("ini/tk1.ini"));
            QVERIFY(text.contains("  tk1.ini: left out: owned by another user\n"));
        }
    }

    void writesOnlyTheNamedFileAndNeverOverwritesUnasked()
    {
        const QString zipPath = outDir() + "/report.zip";
        writeFile(zipPath, "keep me");
        QString error;
        QCOMPARE(report(zipPath, false, {}, &error), 2);
        QVERIFY(error.contains("already exists"));
        QCOMPARE(readFile(zipPath), QByteArray("keep me"));
        QCOMPARE(QDir(outDir()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList({"report.zip"}));

        QCOMPARE(report(zipPath, true), 0);
        QVERIFY(unzip(zipPath).contains("report.txt"));
        QCOMPARE(QDir(outDir()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList({"report.zip"}));
        QCOMPARE(QFileInfo(zipPath).permissions() & (QFile::ReadOther | QFile::ReadGroup),
                 QFile::Permissions());

        // A link at the path is replaced, never written through, even when it leads nowhere.
        const QString victim = outDir() + "/victim.txt";
        writeFile(victim, "untouched");
        const QString linked = outDir() + "/linked.zip";
        QVERIFY(QFile::link(victim, linked));
        QCOMPARE(report(linked), 2);
        QCOMPARE(report(linked, true), 0);
        QVERIFY(!QFileInfo(linked).isSymLink());
        QCOMPARE(readFile(victim), QByteArray("untouched"));
        const QString dangling = outDir() + "/dangling.zip";
        QVERIFY(QFile::link(outDir() + "/nowhere.zip", dangling));
        QCOMPARE(report(dangling), 2);
        QVERIFY(!QFileInfo::exists(outDir() + "/nowhere.zip"));

        QCOMPARE(report(outDir() + "/no/such/folder/report.zip"), 2);
        QVERIFY(!QFileInfo::exists(outDir() + "/no"));
        QCOMPARE(report(outDir()), 2);
        QCOMPARE(report(outDir() + "/"), 2);
        QCOMPARE(report(QString()), 2);
        // A folder nobody may create files in, root included.
        QCOMPARE(report(QStringLiteral("/proc/quorvix-report.zip"), false, {}, &error), 1);
        QVERIFY(error.contains("/proc"));
    }

    void redactsTheHomeFolderInEitherFormAndOnlyWholeNames()
    {
        const Redactor windows(QStringLiteral("C:\\Users\\Bob"), {QStringLiteral("Bob")});
        QCOMPARE(windows.apply(QStringLiteral("\"C:\\\\Users\\\\bob\\\\AppData\" c:/users/BOB/x")),
                 QStringLiteral("\"<home>\\\\AppData\" <home>/x"));
        QCOMPARE(windows.apply(QStringLiteral("bob Bobby C:\\Users\\Bobby D:\\Users\\Bob")),
                 QStringLiteral("<user> Bobby C:\\Users\\Bobby D:\\Users\\<user>"));

        const Redactor posixHome(QStringLiteral("/home/home"), {QStringLiteral("home")});
        QCOMPARE(posixHome.apply(QStringLiteral("/home/home/x /home/homer home, Home")),
                 QStringLiteral("<home>/x /<user>/homer <user>, Home"));
        // A root folder as home would hide every path; only the name goes.
        QCOMPARE(Redactor(QStringLiteral("/"), {QStringLiteral("root")})
                     .apply(QStringLiteral("/etc/root root")),
                 QStringLiteral("/etc/<user> <user>"));
    }
};

QTEST_GUILESS_MAIN(TestReport)
#include "tst_report.moc"

// The two system actions behind the tray menu, run against stand-in programs that are
// put first on PATH.
#include "LogRecorder.h"
#include "MessageBoxWatcher.h"
#include "platform/ShellActions.h"
#include "tray/TrayIcon.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kPanelOpened = QStringLiteral("声音设置面板已打开。");
const QString kRestarted = QStringLiteral("资源管理器已成功重启");

// A folder of stand-in programs; each one is a shell script.
class StandIns
{
public:
    QString path() const { return dir.path(); }
    QString marker(const QString& name) const { return dir.filePath(name + ".ran"); }

    // A program that records its arguments in its marker file, then runs `body`.
    void add(const QString& name, const QString& body = QString())
    {
        write(name,
              QStringLiteral("#!/bin/sh\nprintf '%s' \"$*\" > '%1'\n%2\n").arg(marker(name), body));
    }
    void write(const QString& name, const QByteArray& content, bool executable = true)
    {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner;
        if (executable)
            permissions |= QFile::ExeOwner;
        file.setPermissions(permissions);
    }
    void write(const QString& name, const QString& content, bool executable = true)
    {
        write(name, content.toUtf8(), executable);
    }
    bool ran(const QString& name) const { return QFile::exists(marker(name)); }
    QString arguments(const QString& name) const
    {
        QFile file(marker(name));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private:
    QTemporaryDir dir;
};

// Sets PATH for one test and puts the previous one back.
class PathOverride
{
public:
    explicit PathOverride(const QString& path) : saved(qgetenv("PATH"))
    {
        qputenv("PATH", path.toLocal8Bit());
    }
    ~PathOverride() { qputenv("PATH", saved); }

private:
    QByteArray saved;
};

QString withSystem(const QString& dir)
{
    return dir + QStringLiteral(":/usr/bin:/bin");
}

QStringList textsOf(const QList<LoggedLine>& lines, QtMsgType type)
{
    QStringList texts;
    for (const LoggedLine& line : lines) {
        if (line.type == type)
            texts << line.text;
    }
    return texts;
}

void invoke(TrayIcon& tray, const char* slot)
{
    QVERIFY(QMetaObject::invokeMethod(&tray, slot));
}

} // namespace

class SystemActionsTest : public QObject
{
    Q_OBJECT

private slots:
    void soundPanelStartsFirstAvailable_data();
    void soundPanelStartsFirstAvailable();
    void soundPanelSkipsWhatCannotRun();
    void soundPanelStartsDetached();
    void soundPanelMissingShowsError();
    void soundPanelStartFailureShowsError();
    void refreshSucceeds();
    void refreshFailureLogsExitCodeAndOutput();
    void refreshKilledBySignalIsAFailure();
    void refreshTimesOut();
    void refreshCommandMissing();
};

void SystemActionsTest::soundPanelStartsFirstAvailable_data()
{
    QTest::addColumn<QStringList>("installed");
    QTest::addColumn<QString>("started");
    QTest::addColumn<QString>("arguments");
    QTest::newRow("all") << QStringList{"pavucontrol-qt", "pavucontrol", "gnome-control-center",
                                        "systemsettings"}
                         << "pavucontrol-qt"
                         << "";
    QTest::newRow("gtk mixer") << QStringList{"systemsettings", "gnome-control-center",
                                              "pavucontrol"}
                               << "pavucontrol"
                               << "";
    QTest::newRow("gnome") << QStringList{"systemsettings", "gnome-control-center"}
                           << "gnome-control-center"
                           << "sound";
    QTest::newRow("kde") << QStringList{"systemsettings"} << "systemsettings"
                         << "kcm_pulseaudio";
}

void SystemActionsTest::soundPanelStartsFirstAvailable()
{
    QFETCH(QStringList, installed);
    QFETCH(QString, started);
    QFETCH(QString, arguments);
    StandIns programs;
    for (const QString& name : installed)
        programs.add(name);
    PathOverride path(programs.path());
    MessageBoxWatcher boxes;
    LogRecorder log;
    TrayIcon tray;

    invoke(tray, "openSoundPannel");

    QTRY_VERIFY(programs.ran(started));
    QCOMPARE(programs.arguments(started), arguments);
    QCOMPARE(textsOf(log.lines(), QtDebugMsg), QStringList{kPanelOpened});
    QVERIFY(textsOf(log.lines(), QtWarningMsg).isEmpty());
    QTest::qWait(100);
    for (const QString& name : installed) {
        if (name != started)
            QVERIFY2(!programs.ran(name), qPrintable(name));
    }
    QVERIFY(boxes.seen().isEmpty());
}

void SystemActionsTest::soundPanelSkipsWhatCannotRun()
{
    StandIns notExecutable;
    notExecutable.write("pavucontrol-qt", QStringLiteral("#!/bin/sh\n"), false);
    StandIns folder;
    QVERIFY(QDir(folder.path()).mkdir("pavucontrol-qt"));
    StandIns workingDir; // the current directory, reachable through an empty PATH entry
    workingDir.add("pavucontrol-qt");
    StandIns real;
    real.add("pavucontrol");
    const QString previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(workingDir.path()));
    PathOverride path(QStringList{notExecutable.path(), "", folder.path(), real.path()}.join(':'));

    const std::intptr_t result = platform::openSoundControlPanel();
    QDir::setCurrent(previousDir);

    QVERIFY(result > 32);
    QTRY_VERIFY(real.ran("pavucontrol"));
    QVERIFY(!workingDir.ran("pavucontrol-qt"));
}

void SystemActionsTest::soundPanelStartsDetached()
{
    StandIns programs;
    programs.write("pavucontrol",
                   QStringLiteral("#!/bin/sh\nread line\nprintf '%s %s' \"$PPID\" \"$?\" > '%1'\n")
                       .arg(programs.marker("pavucontrol")));
    PathOverride path(programs.path());

    QVERIFY(platform::openSoundControlPanel() > 32);
    QTRY_VERIFY(programs.ran("pavucontrol"));
    QTRY_VERIFY(!programs.arguments("pavucontrol").isEmpty());
    const QStringList report = programs.arguments("pavucontrol").split(' ');
    QCOMPARE(report.size(), 2);
    // Not our child, and it reads end of file rather than our standard input.
    QVERIFY(report[0].toLongLong() != QCoreApplication::applicationPid());
    QCOMPARE(report[1], QStringLiteral("1"));
}

void SystemActionsTest::soundPanelMissingShowsError()
{
    StandIns empty;
    PathOverride path(empty.path());
    QCOMPARE(platform::openSoundControlPanel() <= 32, true);

    MessageBoxWatcher boxes;
    LogRecorder log;
    TrayIcon tray;
    invoke(tray, "openSoundPannel");

    QCOMPARE(boxes.seen().size(), 1);
    const SeenMessageBox& box = boxes.seen().first();
    QCOMPARE(box.title, QStringLiteral("错误"));
    QCOMPARE(box.text, QStringLiteral("无法打开声音设置面板，请检查系统设置。"));
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.buttonCount, 1);
    QVERIFY(box.modal);
    QVERIFY(!box.hasParent);
    QVERIFY(!textsOf(log.lines(), QtDebugMsg).contains(kPanelOpened));
}

void SystemActionsTest::soundPanelStartFailureShowsError()
{
    StandIns programs;
    // Executable but not a program: exec refuses it.
    programs.write("pavucontrol-qt", QByteArray("\x7f\x01garbage\n"));
    programs.add("pavucontrol");
    PathOverride path(programs.path());

    const std::intptr_t result = platform::openSoundControlPanel();
    QVERIFY(result <= 32);

    MessageBoxWatcher boxes;
    LogRecorder log;
    TrayIcon tray;
    invoke(tray, "openSoundPannel");
    QCOMPARE(boxes.seen().size(), 1);
    QCOMPARE(boxes.seen().first().title, QStringLiteral("错误"));
    QVERIFY(!textsOf(log.lines(), QtDebugMsg).contains(kPanelOpened));
    // The first program found is the one; nothing further down is tried instead.
    QTest::qWait(100);
    QVERIFY(!programs.ran("pavucontrol"));
}

void SystemActionsTest::refreshSucceeds()
{
    StandIns programs;
    programs.add("systemctl", "exit 0");
    programs.add("pulseaudio", "exit 0");
    PathOverride path(withSystem(programs.path()));
    LogRecorder log;
    TrayIcon tray;

    invoke(tray, "refreshDeviceList");

    QCOMPARE(log.lines().size(), 1);
    QCOMPARE(log.lines().first().type, QtDebugMsg);
    QCOMPARE(log.lines().first().text, kRestarted);
    QCOMPARE(programs.arguments("systemctl"),
             QStringLiteral("--user restart pipewire pipewire-pulse wireplumber"));
    // The fallback runs only when the first restart fails.
    QVERIFY(!programs.ran("pulseaudio"));
}

void SystemActionsTest::refreshFailureLogsExitCodeAndOutput()
{
    StandIns programs;
    programs.add("systemctl", "echo sd-out; echo sd-err >&2; exit 1");
    programs.add("pulseaudio", "echo pa-out; echo pa-err >&2; exit 5");
    PathOverride path(withSystem(programs.path()));
    LogRecorder log;
    TrayIcon tray;

    invoke(tray, "refreshDeviceList");

    QCOMPARE(programs.arguments("pulseaudio"), QStringLiteral("-k"));
    QVERIFY(textsOf(log.lines(), QtDebugMsg).isEmpty());
    const QStringList expected = {QStringLiteral("命令执行失败，退出代码: 5"),
                                  QStringLiteral("输出: \"sd-out\\npa-out\\n\""),
                                  QStringLiteral("错误输出: \"sd-err\\npa-err\\n\"")};
    QCOMPARE(textsOf(log.lines(), QtWarningMsg), expected);
}

void SystemActionsTest::refreshKilledBySignalIsAFailure()
{
    StandIns programs;
    // Kills the shell that runs the command, so it never reports an exit code.
    programs.add("systemctl", "kill -9 $PPID; exit 0");
    programs.add("pulseaudio", "exit 0");
    PathOverride path(withSystem(programs.path()));
    LogRecorder log;
    TrayIcon tray;

    invoke(tray, "refreshDeviceList");

    QVERIFY(textsOf(log.lines(), QtDebugMsg).isEmpty());
    const QStringList warnings = textsOf(log.lines(), QtWarningMsg);
    QCOMPARE(warnings.size(), 3);
    QVERIFY(warnings[0].startsWith(QStringLiteral("命令执行失败，退出代码: ")));
    QCOMPARE(warnings[1], QStringLiteral("输出: \"\""));
    QCOMPARE(warnings[2], QStringLiteral("错误输出: \"\""));
}

void SystemActionsTest::refreshTimesOut()
{
    StandIns programs;
    programs.add("systemctl", "sleep 7");
    programs.add("pulseaudio", "exit 0");
    PathOverride path(withSystem(programs.path()));
    LogRecorder log;
    TrayIcon tray;

    invoke(tray, "refreshDeviceList");

    QVERIFY(programs.ran("systemctl"));
    QVERIFY(textsOf(log.lines(), QtDebugMsg).isEmpty());
    const QStringList warnings = textsOf(log.lines(), QtWarningMsg);
    QCOMPARE(warnings.size(), 2);
    QCOMPARE(warnings[0], QStringLiteral("重启资源管理器超时"));
    // The error string, quoted.
    QVERIFY(warnings[1].startsWith(QStringLiteral("错误信息: \"")));
    QVERIFY(warnings[1].endsWith('"'));
    QVERIFY(warnings[1].size() > QStringLiteral("错误信息: \"\"").size());
}

void SystemActionsTest::refreshCommandMissing()
{
    StandIns programs; // no shell on this PATH
    programs.add("systemctl", "exit 0");
    PathOverride path(programs.path());
    LogRecorder log;
    TrayIcon tray;

    invoke(tray, "refreshDeviceList");

    QVERIFY(!programs.ran("systemctl"));
    QVERIFY(textsOf(log.lines(), QtDebugMsg).isEmpty());
    const QStringList warnings = textsOf(log.lines(), QtWarningMsg);
    QCOMPARE(warnings.size(), 1);
    QVERIFY(warnings[0].startsWith(QStringLiteral("错误信息: \"")));
    QVERIFY(warnings[0].size() > QStringLiteral("错误信息: \"\"").size());
}

QTEST_MAIN(SystemActionsTest)
#include "SystemActionsTest.moc"

// quorvix-ctl against the program's control endpoint, served in this process by a main
// window over the simulator: every verb on each model changes exactly what one manual
// change does, each exit code, named setups, other users, squatters and hostile
// clients; `watch` and its bounds; the windowless quorvix-ctlw.
#include "CtlRunner.h"
#include "DeviceSimulator.h"
#include "FastTimers.h"
#include "LogCapture.h"
#include "PanelTestKit.h"
#include "control/ControlServer.h"
#include "control/ControlWatchers.h"
#include "mainwindow/MainWindow.h"
#include "panels/PanelBase.h"
#include "platform/PosixSupport.h"
#include "report/ProgramFolders.h"
#include "widgets/Button.h"
#include "widgets/Knob.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <malloc.h>
#include <memory>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace paneltest;

namespace {

const char* const kProbe = "--probe-request";

QString controlPath()
{
    return QString::fromStdString(platform::endpointFolder() + "/control");
}

// A client socket of this process; -1 when it cannot connect.
int connectRaw()
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, controlPath().toLocal8Bit().constData(),
                 sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// What the endpoint sends on fd until it closes, with the event loop turning; `closed`
// tells whether it closed within waitMs.
QByteArray readUntilClosed(int fd, int waitMs, bool* closed = nullptr)
{
    QByteArray got;
    QDeadlineTimer deadline(waitMs);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            got.append(buffer, int(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            if (closed)
                *closed = true;
            return got;
        }
    }
    if (closed)
        *closed = false;
    return got;
}

QByteArray exchangeRaw(const QByteArray& bytes, int waitMs = 3000)
{
    const int fd = connectRaw();
    if (fd < 0)
        return "connect failed";
    ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL);
    const QByteArray reply = readUntilClosed(fd, waitMs);
    ::close(fd);
    return reply;
}

// The probe that this program runs as another user: 0 a reply came, 3 closed without
// one, 4 could not connect.
int probeRequest(const char* path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return 4;
    const char request[] = "set\theadphone\t-10\n";
    ::send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
    char byte;
    return ::recv(fd, &byte, 1, 0) > 0 ? 0 : 3;
}

// A socket file at the endpoint's path that this process made and left behind.
bool leaveSocketFile(bool listening, int* keep = nullptr)
{
    if (!platform::ensureEndpointFolder())
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, controlPath().toLocal8Bit().constData(),
                 sizeof address.sun_path - 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return false;
    if (listening) {
        ::listen(fd, 4);
        *keep = fd;
    } else {
        ::close(fd);
    }
    return true;
}

// The main window over the simulator with the endpoint served beside it, as the program
// runs them.
struct Rig
{
    DeviceSimulator sim;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<ControlServer> server;

    bool start(const QString& model)
    {
        if (!sim.start({"--model", model, "--firmware", "1.2.3"}))
            return false;
        window = std::make_unique<MainWindow>();
        // Detection and watch four times faster, so that the rig is ready sooner.
        speedUp(*window, 4);
        server = std::make_unique<ControlServer>(window.get());
        if (!server->start())
            return false;
        QDeadlineTimer deadline(5000);
        while (!connected() && !deadline.hasExpired())
            QTest::qWait(20);
        return connected();
    }
    bool connected() const
    {
        return window->currentPanel() && !window->currentPanel()->controls().empty();
    }
    const PanelControl& control(const QString& alias) const
    {
        for (const PanelControl& c : window->currentPanel()->controls())
            if (c.alias == alias)
                return c;
        qFatal("no control %s", qPrintable(alias));
    }
};

QString iniFileOf(const QString& model)
{
    return '/' + model + QStringLiteral(".ini");
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString setupPath(const QString& model, const QString& name)
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/setups/" + model +
           '/' + name + ".ini";
}

QJsonObject eventOf(const QByteArray& line)
{
    return QJsonDocument::fromJson(line).object();
}

// Whether a watch line says that `key` changed to `value` (a number, or true/false).
std::function<bool(const QByteArray&)> changedTo(const QString& key, const QJsonValue& value)
{
    return [key, value](const QByteArray& line) {
        const QJsonObject e = eventOf(line);
        return e.value("event") == "changed" && e.value("control") == key &&
               e.value("value") == value;
    };
}

std::function<bool(const QByteArray&)> isLine(const QByteArray& text)
{
    return [text](const QByteArray& line) { return line == text; };
}

// The heap this process has in use, in bytes.
qint64 heapInUse()
{
    return qint64(mallinfo2().uordblks);
}

// A client that asks for a watch and never reads; -1 when it cannot connect.
int silentWatcher()
{
    const int fd = connectRaw();
    if (fd >= 0)
        ::send(fd, "watch\t--json\n", 14, MSG_NOSIGNAL);
    return fd;
}

} // namespace

class TestControl : public QObject
{
    Q_OBJECT

private slots:
    void everyVerbGoesThroughThePanel_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("level");
        QTest::addColumn<QString>("toggled");
        QTest::newRow("tk1") << "tk1"
                             << "headphone"
                             << "mic.48v";
        QTest::newRow("tk2") << "tk2"
                             << "mic2"
                             << "speaker.mute";
        QTest::newRow("zr") << "zr"
                            << "mic"
                            << "mic.direct";
    }
    void everyVerbGoesThroughThePanel()
    {
        QFETCH(QString, model);
        QFETCH(QString, level);
        QFETCH(QString, toggled);
        Rig rig;
        QVERIFY(rig.start(model));
        const auto& controls = rig.window->currentPanel()->controls();

        const CtlResult list = runCtl({"list"});
        QCOMPARE(list.exitCode, 0);
        QCOMPARE(list.out.count('\n'), qsizetype(controls.size()));
        for (const PanelControl& c : controls)
            QVERIFY(list.out.contains((c.key + '\t' + c.alias + '\t').toUtf8()));

        // A level: one request, the very one a manual turn to the same value sends.
        Knob* knob = rig.control(level).knob;
        const int target = knob->minimum + 3;
        rig.sim.clearJournal();
        CtlResult r = runCtl({"set", level, QString::number(target)});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, QByteArray::number(target) + '\n');
        const QList<Sent> byCtl = controlRequests(rig.sim);
        QCOMPARE(byCtl.size(), 1);
        QCOMPARE(knob->value, target);
        QCOMPARE(iniContents(iniFileOf(model)).value(rig.control(level).key).toInt(), target);
        QCOMPARE(runCtl({"get", rig.control(level).key}).out, QByteArray::number(target) + '\n');
        turn(knob, -120);
        rig.sim.clearJournal();
        turn(knob, 120);
        const QList<Sent> byHand = controlRequests(rig.sim);
        QCOMPARE(byHand.size(), 1);
        QCOMPARE(byHand[0].code, byCtl[0].code);
        QVERIFY(byHand[0].input == byCtl[0].input);

        // step stops at either end, as one change.
        for (const auto& [by, end] : {std::pair{"1000", knob->maximum}, {"-1000", knob->minimum}}) {
            rig.sim.clearJournal();
            r = runCtl({"step", level, by});
            QCOMPARE(r.exitCode, 0);
            QCOMPARE(knob->value, end);
            QCOMPARE(controlRequests(rig.sim).size(), 1);
            QCOMPARE(iniContents(iniFileOf(model)).value(rig.control(level).key).toInt(), end);
        }

        // A switch: toggle and set send one request each, the one a click ends with.
        Button* button = rig.control(toggled).button;
        QVERIFY(!button->status);
        rig.sim.clearJournal();
        r = runCtl({"toggle", toggled});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, QByteArray("on\n"));
        const QList<Sent> toggledByCtl = controlRequests(rig.sim);
        QCOMPARE(toggledByCtl.size(), 1);
        QVERIFY(button->status);
        QCOMPARE(iniContents(iniFileOf(model)).value(rig.control(toggled).key).toString(),
                 QString("true"));
        QCOMPARE(runCtl({"get", toggled}).out, QByteArray("on\n"));
        QTest::mouseClick(button, Qt::LeftButton);
        rig.sim.clearJournal();
        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY(button->status);
        QVERIFY(controlRequests(rig.sim).last().input == toggledByCtl[0].input);
        rig.sim.clearJournal();
        QCOMPARE(runCtl({"set", toggled, "off"}).exitCode, 0);
        QVERIFY(!button->status);
        QCOMPARE(controlRequests(rig.sim).size(), 1);

        const CtlResult json = runCtl({"status", "--json"});
        QCOMPARE(json.exitCode, 0);
        const QJsonObject status = QJsonDocument::fromJson(json.out).object();
        QCOMPARE(status.value("model").toString(), model.toUpper());
        QCOMPARE(status.value("firmware").toString(), QString("1.2.3"));
        QCOMPARE(status.value("connected").toBool(), true);
        const QJsonObject values = status.value("controls").toObject();
        QCOMPARE(values.size(), qsizetype(controls.size()));
        QCOMPARE(values.value(rig.control(level).key).toInt(-999), knob->minimum);
        QVERIFY(values.value(rig.control(toggled).key).isBool());

        QCOMPARE(runCtl({"show"}).exitCode, 0);
        QVERIFY(rig.window->isVisible());
    }

    void badInputChangesNothing()
    {
        Rig rig;
        QVERIFY(rig.start("tk2"));
        const QByteArray before = fileBytes(iniPath("/tk2.ini"));
        rig.sim.clearJournal();
        const QList<QStringList> cases = {{"set", "nothing", "1"},
                                          {"set", "headphone", "7"},
                                          {"set", "headphone", "-81"},
                                          {"set", "headphone", "-3.5"},
                                          {"set", "headphone", "on"},
                                          {"set", "headphone", "99999999999"},
                                          {"set", "speaker.mute", "5"},
                                          {"step", "speaker.mute", "1"},
                                          {"step", "headphone", "x"},
                                          {"toggle", "headphone"},
                                          {"frobnicate"},
                                          {"get"},
                                          {"setup", "save", "../x"},
                                          {"setup", "load", "missing"}};
        for (const QStringList& args : cases) {
            const CtlResult r = runCtl(args);
            QVERIFY2(r.exitCode == 2, qPrintable(args.join(' ')));
            QVERIFY2(!r.err.isEmpty(), qPrintable(args.join(' ')));
        }
        QCOMPARE(controlRequests(rig.sim).size(), 0);
        QVERIFY(fileBytes(iniPath("/tk2.ini")) == before);
    }

    void exitCodesOfTheOtherOutcomes()
    {
        QCOMPARE(runCtl({"status"}).exitCode, 1);

        Rig rig;
        QVERIFY(rig.start("tk1"));
        // Refused by the device: the panel keeps the new state, as for a manual change.
        QCOMPARE(rig.sim.control("refuse writeMixerMatrix").left(2), QString("ok"));
        CtlResult r = runCtl({"set", "headphone", "-50"});
        QCOMPARE(r.exitCode, 4);
        QVERIFY(r.err.contains("refused"));
        QCOMPARE(rig.control("headphone").knob->value, -50);
        QCOMPARE(iniContents("/tk1.ini").value("Dial/HeadphoneValue").toInt(), -50);
        rig.sim.control("refuse off");

        // Unplugged: control verbs fail with 3 and change nothing; status still answers.
        rig.sim.control("unplug");
        QTRY_VERIFY_WITH_TIMEOUT(!rig.window->currentPanel(), 5000);
        const QByteArray before = fileBytes(iniPath("/tk1.ini"));
        rig.sim.clearJournal();
        for (const QStringList& args : QList<QStringList>{{"set", "headphone", "-10"},
                                                          {"get", "headphone"},
                                                          {"list"},
                                                          {"toggle", "mic.48v"},
                                                          {"setup", "save", "a"}})
            QCOMPARE(runCtl(args).exitCode, 3);
        r = runCtl({"status", "--json"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(QJsonDocument::fromJson(r.out).object().value("connected").toBool(true), false);
        QVERIFY(fileBytes(iniPath("/tk1.ini")) == before);
        QCOMPARE(controlRequests(rig.sim).size(), 0);
        QVERIFY(!QFile::exists(setupPath("TK1", "a")));
    }

    // The report is written by quorvix-ctl itself: with the program's status while it
    // runs, without it otherwise, and never over an existing file unless forced.
    void reportVerb()
    {
        QTemporaryDir folder;
        const QString zip = folder.filePath("report.zip");
        const auto entry = [&zip](const QString& name, QByteArray* bytes) {
            QProcess unzip;
            unzip.start("unzip", {"-p", zip, name});
            unzip.waitForFinished();
            *bytes = unzip.readAllStandardOutput();
            return unzip.exitStatus() == QProcess::NormalExit && unzip.exitCode() == 0;
        };
        QByteArray bytes;

        CtlResult r = runCtl({"report", zip});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(entry("report.txt", &bytes));
        QVERIFY(!entry("status.json", &bytes));
        const QByteArray first = fileBytes(zip);
        r = runCtl({"report", zip});
        QCOMPARE(r.exitCode, 2);
        QVERIFY(!r.err.isEmpty());
        QVERIFY(fileBytes(zip) == first);
        QCOMPARE(runCtl({"report", folder.filePath("missing/report.zip")}).exitCode, 2);
        QCOMPARE(runCtl({"report"}).exitCode, 2);

        Rig rig;
        QVERIFY(rig.start("tk2"));
        r = runCtl({"report", "--force", zip});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(entry("status.json", &bytes));
        const QJsonObject status = QJsonDocument::fromJson(bytes).object();
        QCOMPARE(status.value("model").toString(), QString("TK2"));
        QCOMPARE(status.value("connected").toBool(), true);
        QVERIFY(status.value("controls").toObject().contains("Dial/HeadphoneValue"));
    }

    void setupsRoundTrip()
    {
        Rig rig;
        QVERIFY(rig.start("tk2"));
        QCOMPARE(runCtl({"set", "mic1.48v", "on"}).exitCode, 0);
        QCOMPARE(runCtl({"set", "headphone", "-10"}).exitCode, 0);
        CtlResult r = runCtl({"setup", "save", "Podcast 1"});
        QCOMPARE(r.exitCode, 0);
        // The same keys and values as the model's own ini file.
        QSettings saved(setupPath("TK2", "Podcast 1"), QSettings::IniFormat);
        const QMap<QString, QVariant> ini = iniContents("/tk2.ini");
        QCOMPARE(saved.allKeys().size(), ini.size());
        for (auto it = ini.begin(); it != ini.end(); ++it)
            QCOMPARE(saved.value(it.key()).toString(), it.value().toString());

        QCOMPARE(runCtl({"set", "mic1.48v", "off"}).exitCode, 0);
        QCOMPARE(runCtl({"set", "headphone", "-40"}).exitCode, 0);
        rig.sim.clearJournal();
        r = runCtl({"setup", "load", "Podcast 1"});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.out.contains("48V phantom power switched on"));
        QCOMPARE(controlRequests(rig.sim).size(), 2); // the matching keys are skipped
        QVERIFY(rig.control("mic1.48v").button->status);
        QCOMPARE(rig.control("headphone").knob->value, -10);
        QCOMPARE(iniContents("/tk2.ini").value("Dial/HeadphoneValue").toInt(), -10);
        QCOMPARE(runCtl({"setup", "list"}).out, QByteArray("Podcast 1\n"));

        // Bad names: refused, nothing written anywhere.
        const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        const auto filesUnder = [&data] {
            QStringList all;
            QDirIterator it(QDir(data).absolutePath() + "/..", QDir::Files | QDir::Hidden,
                            QDirIterator::Subdirectories);
            while (it.hasNext())
                all << it.next();
            return all.size();
        };
        const int filesBefore = filesUnder();
        for (const QString& name :
             {QString(""), QString("../x"), QString("a/b"), QString("a\\b"), QString(".."),
              QString("CON"), QString("nul"), QString("Com1"), QString(65, 'a'), QString("a\tb"),
              QString("x.ini"), QString(" lead"), QString("trail ")}) {
            r = runCtl({"setup", "save", name});
            QVERIFY2(r.exitCode == 2, qPrintable(name));
        }
        // Straight to the endpoint, past quorvix-ctl's own check of control characters.
        QVERIFY(exchangeRaw("setup\tsave\ta\x01"
                            "b\n")
                    .startsWith("2 "));
        QVERIFY(exchangeRaw("setup\tsave\t..\\evil\n").startsWith("2 "));
        QCOMPARE(filesUnder(), filesBefore);
        QCOMPARE(runCtl({"setup", "save", QString(64, 'a')}).exitCode, 0);

        // Bad files: refused whole, naming the key, nothing applied.
        const QByteArray good = fileBytes(setupPath("TK2", "Podcast 1"));
        const QList<QPair<QByteArray, QByteArray>> bad = {
            {QByteArray(good).replace("HeadphoneValue=-10", "HeadphoneValue=50"), "HeadphoneValue"},
            {QByteArray(good).replace("HeadphoneValue=-10", "HeadphoneValue=loud"),
             "HeadphoneValue"},
            {QByteArray(good) + "Bogus=1\n", "Dial/Bogus"},
            {QByteArray(good).replace("Mic148VIsChecked=true", "Mic148VIsChecked=maybe"),
             "Mic148VIsChecked"},
            {"[Button]\nMonitorMicIsChecked=false\n[Dial]\nHeadphoneValue=-20\nMicValue=0\n",
             "Button/Mic120dBIsChecked"},
            {QByteArray(good).replace("[Dial]", "Dial"), "line"},
            {QByteArray(good) + "\xff\xfe\n", "UTF-8"}};
        QCOMPARE(runCtl({"set", "mic1.48v", "off"}).exitCode, 0);
        const QByteArray iniBefore = fileBytes(iniPath("/tk2.ini"));
        rig.sim.clearJournal();
        for (const auto& [text, named] : bad) {
            QFile file(setupPath("TK2", "broken"));
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(text);
            file.close();
            r = runCtl({"setup", "load", "broken"});
            QCOMPARE(r.exitCode, 2);
            QVERIFY2(r.err.contains(named), r.err.constData());
        }
        QCOMPARE(controlRequests(rig.sim).size(), 0);
        QVERIFY(fileBytes(iniPath("/tk2.ini")) == iniBefore);

        QCOMPARE(runCtl({"setup", "delete", "broken"}).exitCode, 0);
        QVERIFY(!QFile::exists(setupPath("TK2", "broken")));
        QCOMPARE(runCtl({"setup", "delete", "broken"}).exitCode, 2);
    }

    void squattedOrStaleEndpoints()
    {
        // A stale socket of a killed copy is replaced.
        QVERIFY(leaveSocketFile(false));
        {
            Rig rig;
            QVERIFY(rig.start("zr"));
            QCOMPARE(runCtl({"get", "headphone"}).exitCode, 0);
        }
        // A live endpoint of another process is never taken over.
        int squatter = -1;
        QVERIFY(leaveSocketFile(true, &squatter));
        {
            LogCapture log;
            MainWindow window;
            ControlServer server(&window);
            QVERIFY(!server.start());
            QVERIFY(log.contains("Control endpoint not started:"));
            QVERIFY(QFileInfo(controlPath()).exists());
        }
        // Held by another user: the program stays off it and the client refuses it.
        const passwd* nobody = ::getpwnam("nobody");
        if (::geteuid() != 0 || !nobody)
            QSKIP("handing the endpoint to another user needs root and the user nobody");
        QVERIFY(::chown(controlPath().toLocal8Bit(), nobody->pw_uid, nobody->pw_gid) == 0);
        {
            MainWindow window;
            ControlServer server(&window);
            QVERIFY(!server.start());
            const CtlResult r = runCtl({"status"});
            QCOMPARE(r.exitCode, 5);
            QVERIFY(r.err.contains("another user"));
        }
        ::close(squatter);
        QVERIFY(QFile::remove(controlPath()));
    }

    void otherUsersAreRefused()
    {
        const QStringList nobody = asNobody();
        if (nobody.isEmpty())
            QSKIP("needs root, the user nobody and setpriv");
        Rig rig;
        QVERIFY(rig.start("tk1"));
        // Open the way to the socket, so that only the endpoint's own checks remain.
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        QVERIFY(::chmod(runtime, 0711) == 0);
        QVERIFY(::chmod(platform::endpointFolder().c_str(), 0711) == 0);
        QVERIFY(::chmod(controlPath().toLocal8Bit(), 0666) == 0);
        rig.sim.clearJournal();

        CtlResult r = runCtl({"set", "headphone", "-10"}, nobody);
        QCOMPARE(r.exitCode, 5);

        QProcess probe;
        probe.start(nobody.first(), nobody.mid(1) << QCoreApplication::applicationFilePath()
                                                  << kProbe << controlPath());
        QDeadlineTimer deadline(10000);
        while (probe.state() != QProcess::NotRunning && !deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            probe.waitForFinished(2);
        }
        QCOMPARE(probe.exitCode(), 3); // connected, then closed without a word
        QCOMPARE(controlRequests(rig.sim).size(), 0);
        QVERIFY(rig.control("headphone").knob->value != -10);
        QVERIFY(::chmod(runtime, 0700) == 0);
    }

    void hostileClientsLeaveThePanelServing()
    {
        Rig rig;
        QVERIFY(rig.start("tk1"));
        QVERIFY(exchangeRaw("\xff\xfe\x80\n").startsWith("2 0 request is not UTF-8"));
        QVERIFY(exchangeRaw(QByteArray(5000, 'a')).startsWith("2 0 request longer"));
        QVERIFY(exchangeRaw("status\t" + QByteArray(4100, 'a') + "\n")
                    .startsWith("2 0 request longer"));
        QVERIFY(exchangeRaw("reboot\n").startsWith("2 "));

        // Silent clients are dropped after a second; the ninth at a time at once.
        QElapsedTimer held;
        held.start();
        QList<int> silent;
        for (int i = 0; i < ControlServer::kMaxClients; ++i)
            silent << connectRaw();
        QTest::qWait(50);
        bool closed = false;
        const int ninth = connectRaw();
        QVERIFY(readUntilClosed(ninth, 3000, &closed).isEmpty());
        QVERIFY(closed);
        ::close(ninth);
        const QByteArray timedOut = readUntilClosed(silent.first(), 3000, &closed);
        QVERIFY(closed);
        QVERIFY(timedOut.startsWith("2 0 no request within 1 s"));
        QVERIFY(held.elapsed() >= 900);
        for (int fd : silent)
            ::close(fd);

        // A burst of 200 clients, then the panel serves a hand and a key as before.
        QList<int> burst;
        for (int i = 0; i < 200; ++i)
            burst << connectRaw();
        for (int fd : burst)
            ::send(fd, "get\theadphone\n", 14, MSG_NOSIGNAL);
        QTest::qWait(200);
        for (int fd : burst)
            ::close(fd);
        rig.sim.clearJournal();
        turn(rig.control("headphone").knob, 120);
        QCOMPARE(controlRequests(rig.sim).size(), 1);
        QCOMPARE(runCtl({"set", "headphone", "-30"}).exitCode, 0);
        QCOMPARE(rig.control("headphone").knob->value, -30);
    }

    // Every source of change reaches a watcher, once per value, and nothing else does.
    void watchFollowsEveryChange()
    {
        Rig rig;
        QVERIFY(rig.start("tk2"));
        const auto& controls = rig.window->currentPanel()->controls();
        const QJsonObject status =
            QJsonDocument::fromJson(runCtl({"status", "--json"}).out).object();
        CtlWatch json({"watch", "--json"});
        CtlWatch plain({"watch"});
        QVERIFY(json.waitForLines(1));
        QJsonObject first = eventOf(json.lines()[0]);
        QCOMPARE(first.value("event").toString(), QString("status"));
        first.remove("event");
        QCOMPARE(first, status);
        QVERIFY(plain.waitForLines(1 + qsizetype(controls.size())));
        QCOMPARE(plain.lines()[0], QByteArray("connected TK2"));
        QVERIFY(plain.lines().contains(rig.control("mic1").key.toUtf8() + ' ' +
                                       QByteArray::number(rig.control("mic1").knob->value)));
        QVERIFY(plain.lines().contains(rig.control("speaker.mute").key.toUtf8() + " off"));

        // list --json: names, kind, range and the text the panel shows.
        const QJsonArray list = QJsonDocument::fromJson(runCtl({"list", "--json"}).out)
                                    .object()
                                    .value("controls")
                                    .toArray();
        QCOMPARE(list.size(), qsizetype(controls.size()));
        for (qsizetype i = 0; i < list.size(); ++i) {
            const QJsonObject entry = list[i].toObject();
            const PanelControl& c = controls[std::size_t(i)];
            QCOMPARE(entry.value("key").toString(), c.key);
            QCOMPARE(entry.value("alias").toString(), c.alias);
            QCOMPARE(entry.value("kind").toString(), QString(c.knob ? "level" : "switch"));
            if (c.knob) {
                QCOMPARE(entry.value("min").toInt(), c.knob->minimum);
                QCOMPARE(entry.value("max").toInt(), c.knob->maximum);
                QCOMPARE(entry.value("shown").toString(),
                         QString::number(c.knob->numberShownFor(c.knob->value)));
            } else {
                QCOMPARE(entry.value("shown").toString(), QString(c.button->status ? "on" : "off"));
            }
        }

        // A hand, another quorvix-ctl (a gain stored as 30 shows as 39), a click.
        const QString gain = rig.control("mic1").key;
        Knob* knob = rig.control("mic1").knob;
        turn(knob, 120);
        qsizetype at = json.waitFor(changedTo(gain, knob->value));
        QVERIFY(at > 0);
        QCOMPARE(eventOf(json.lines()[at]).value("shown").toString(),
                 QString::number(knob->numberShownFor(knob->value)));
        QCOMPARE(runCtl({"set", "mic1", "30"}).exitCode, 0);
        at = json.waitFor(changedTo(gain, 30), at + 1);
        QVERIFY(at > 0);
        QCOMPARE(eventOf(json.lines()[at]).value("shown").toString(), QString("39"));
        QVERIFY(plain.waitFor(isLine(gain.toUtf8() + " 30")) > 0);
        const QString mute = rig.control("speaker.mute").key;
        QTest::mouseClick(rig.control("speaker.mute").button, Qt::LeftButton);
        at = json.waitFor(changedTo(mute, true), at + 1);
        QVERIFY(at > 0);
        QCOMPARE(eventOf(json.lines()[at]).value("shown").toString(), QString("on"));
        QVERIFY(plain.waitFor(isLine(mute.toUtf8() + " on")) > 0);

        // Nothing for a change that leaves a value, nor for a resume's re-apply: the
        // next line is the next real change.
        QCOMPARE(runCtl({"set", "mic1", "30"}).exitCode, 0);
        QCOMPARE(runCtl({"set", "speaker.mute", "on"}).exitCode, 0);
        PanelBase* before = rig.window->currentPanel();
        rig.window->detectAgain();
        QVERIFY(rig.window->currentPanel() != before && rig.connected());
        json.idle(300);
        QCOMPARE(json.lines().size(), at + 1);
        const QString headphone = rig.control("headphone").key;
        QCOMPARE(runCtl({"set", "headphone", "-33"}).exitCode, 0);
        QCOMPARE(json.waitFor(changedTo(headphone, -33), at + 1), at + 1);

        // A setup load: a line for each control it changed.
        QCOMPARE(runCtl({"setup", "save", "show"}).exitCode, 0);
        QCOMPARE(runCtl({"set", "headphone", "-50"}).exitCode, 0);
        QCOMPARE(runCtl({"set", "speaker.mute", "off"}).exitCode, 0);
        // One batch may carry both, in the panel's order.
        at = std::max(json.waitFor(changedTo(mute, false), at + 1),
                      json.waitFor(changedTo(headphone, -50), at + 1));
        QVERIFY(at > 0);
        QCOMPARE(runCtl({"setup", "load", "show"}).exitCode, 0);
        QVERIFY(json.waitFor(changedTo(headphone, -33), at + 1) > 0);
        QVERIFY(json.waitFor(changedTo(mute, true), at + 1) > 0);
        json.idle(100);
        QCOMPARE(json.lines().size(), at + 3);

        // The interface going and coming: the whole state again on its return.
        rig.sim.control("unplug");
        at = json.waitFor(
            [](const QByteArray& l) {
                return eventOf(l) == QJsonObject{{"event", "disconnected"}};
            },
            at + 1);
        QVERIFY(at > 0);
        QVERIFY(plain.waitFor(isLine("disconnected")) > 0);
        rig.sim.control("plug");
        at = json.waitFor(
            [](const QByteArray& l) { return eventOf(l).value("event") == "connected"; }, at + 1);
        QVERIFY(at > 0);
        QJsonObject again = eventOf(json.lines()[at]);
        again.remove("event");
        QCOMPARE(again, QJsonDocument::fromJson(runCtl({"status", "--json"}).out).object());
        QVERIFY(plain.waitFor(isLine("connected TK2"), 1) > 0);

        // The program quits: both watches end with 1 within 2 s.
        QElapsedTimer quit;
        quit.start();
        rig.server.reset();
        QCOMPARE(json.waitForExit(2000), 1);
        QCOMPARE(plain.waitForExit(2000), 1);
        QVERIFY(quit.elapsed() < 2000);
        QCOMPARE(CtlWatch({"watch"}).waitForExit(5000), 1);
    }

    // Four watchers that never read, while 2,000 changes are made: a fifth is refused,
    // the heap stays flat, a hand and a key are served as before, and a watcher that
    // reads at last gets the final value.
    void watchersAreBounded()
    {
        Rig rig;
        QVERIFY(rig.start("tk1"));
        QList<int> silent;
        for (int i = 0; i < ControlWatchers::kMaxWatchers; ++i)
            silent << silentWatcher();
        QTest::qWait(100);
        const CtlResult refused = runCtl({"watch", "--json"});
        QCOMPARE(refused.exitCode, 4);
        QVERIFY2(refused.err.contains("too many watchers"), refused.err.constData());

        Knob* knob = rig.control("headphone").knob;
        Button* dim = rig.control("headphone.dim").button;
        qint64 warm = 0;
        for (int i = 0; i < 2000; ++i) {
            if (i % 5 == 0)
                dim->setStatus(!dim->status);
            else
                knob->setValue(-70 + i % 60);
            if (i % 20 == 0)
                QTest::qWait(2);
            if (i == 200)
                warm = heapInUse();
        }
        const qint64 grown = heapInUse() - warm;
        qInfo("heap in use grew by %lld bytes over 1,800 changes", grown);
        QVERIFY2(grown < 256 * 1024, qPrintable(QString::number(grown)));

        rig.sim.clearJournal();
        turn(knob, 120);
        QCOMPARE(controlRequests(rig.sim).size(), 1);
        QCOMPARE(runCtl({"set", "headphone", "-12"}).exitCode, 0);
        QCOMPARE(knob->value, -12);

        // The first watcher reads now: its last line about the knob is its value.
        QTest::qWait(150);
        const QByteArray got = readUntilClosed(silent.first(), 300);
        QList<QByteArray> lines = got.split('\n');
        QByteArray last;
        for (const QByteArray& line : lines)
            if (eventOf(line).value("control") == "Dial/HeadphoneValue")
                last = line;
        QCOMPARE(eventOf(last).value("value").toInt(), -12);
        for (int fd : silent)
            ::close(fd);
        QTest::qWait(50);
        CtlWatch again({"watch"});
        QVERIFY(again.waitForLines(1));
    }

    // Watchers that close mid-line or come and go a thousand times leave the panel and
    // the other clients served.
    void abusiveWatchersLeaveThePanelServing()
    {
        Rig rig;
        QVERIFY(rig.start("tk1"));
        CtlWatch steady({"watch", "--json"});
        QVERIFY(steady.waitForLines(1));
        for (int i = 0; i < 1000; ++i) {
            const int fd = connectRaw();
            QVERIFY(fd >= 0);
            if (i % 3 == 0)
                ::send(fd, "watch\t--js", 10, MSG_NOSIGNAL); // closes mid-request
            else
                ::send(fd, "watch\t--json\n", 13, MSG_NOSIGNAL);
            if (i % 3 == 1) {
                // Closes mid-line, while changes are being written to it.
                rig.control("headphone").knob->setValue(-60 + i % 50);
                QCoreApplication::processEvents();
                char byte[8];
                ::recv(fd, byte, sizeof byte, MSG_DONTWAIT);
            }
            ::close(fd);
            if (i % 25 == 0)
                QCoreApplication::processEvents();
        }
        QTest::qWait(100);
        rig.sim.clearJournal();
        turn(rig.control("headphone").knob, 120);
        QCOMPARE(controlRequests(rig.sim).size(), 1);
        QCOMPARE(runCtl({"set", "headphone", "-7"}).exitCode, 0);
        QVERIFY(steady.waitFor(changedTo("Dial/HeadphoneValue", -7)) > 0);
        QCOMPARE(runCtl({"get", "headphone"}).out, QByteArray("-7\n"));
    }

    // A knob swept fast: a bounded number of lines a second, the last one its final value.
    void sweptKnobIsBounded()
    {
        Rig rig;
        QVERIFY(rig.start("tk1"));
        CtlWatch watch({"watch", "--json"});
        QVERIFY(watch.waitForLines(1));
        Knob* knob = rig.control("headphone").knob;
        QElapsedTimer sweep;
        sweep.start();
        for (int i = 0; sweep.elapsed() < 1000; ++i) {
            knob->setValue(-80 + i % 87);
            QCoreApplication::processEvents();
        }
        const int final = -80 + 41;
        knob->setValue(final);
        const qint64 took = sweep.elapsed();
        QVERIFY(watch.waitFor(changedTo("Dial/HeadphoneValue", final)) > 0);
        watch.idle(200);
        const qsizetype lines = watch.lines().size() - 1;
        const qint64 bound = took / ControlWatchers::kBatchIntervalMs + 3;
        qInfo("%lld lines in %lld ms of sweeping", qlonglong(lines), took);
        QVERIFY2(lines <= bound, qPrintable(QString("%1 > %2").arg(lines).arg(bound)));
        QCOMPARE(eventOf(watch.lines().last()).value("value").toInt(), final);
    }

    // quorvix-ctlw prints nothing; its refusals land in the program's log file, written
    // by the program while it runs and by quorvix-ctlw itself otherwise.
    void windowlessClientLogsItsRefusals()
    {
        const QString logPath = programfolders::logs() + "/QuorvixMixer.log";
        CtlWatch alone({"set", "headphone", "-10"}, "quorvix-ctlw");
        QCOMPARE(alone.waitForExit(5000), 1);
        QVERIFY(alone.lines().isEmpty());
        QVERIFY(alone.errors().isEmpty());
        const QList<QByteArray> logged = fileBytes(logPath).split('\n');
        static const QRegularExpression line(
            R"x(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\S* warning quorvix-ctlw refused: )x"
            R"x("set headphone -10 -> 1: Quorvix Mixer is not running \(no endpoint\)"$)x");
        QVERIFY2(line.match(QString::fromUtf8(logged.value(logged.size() - 2))).hasMatch(),
                 fileBytes(logPath).constData());

        Rig rig;
        QVERIFY(rig.start("tk1"));
        LogCapture log;
        CtlWatch done({"set", "headphone", "-12"}, "quorvix-ctlw");
        QCOMPARE(done.waitForExit(5000), 0);
        QVERIFY(done.lines().isEmpty());
        QCOMPARE(rig.control("headphone").knob->value, -12);
        CtlWatch bad({"set", "headphone", "99"}, "quorvix-ctlw");
        QCOMPARE(bad.waitForExit(5000), 2);
        QVERIFY(bad.lines().isEmpty() && bad.errors().isEmpty());
        QVERIFY(log.contains(
            "quorvix-ctlw refused: \"set headphone 99 -> 2: Dial/HeadphoneValue takes"));
    }
};

int main(int argc, char* argv[])
{
    if (argc == 3 && std::strcmp(argv[1], kProbe) == 0)
        return probeRequest(argv[2]);
    QApplication app(argc, argv);
    TestControl test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_control.moc"

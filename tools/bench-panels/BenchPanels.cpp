// Measures one headphone knob step on a TK1 panel, from a synthesized wheel event to
// the whole mixer image answered by the simulator and the ini file synced, next to
// the bare round trip of the image and the bare ini write. Then, in the main window
// with the control endpoint served, the step from a posted wheel event to its handling,
// with the endpoint idle, under a flood of hostile clients and with 4 watchers attached,
// `quorvix-ctl set` from process start to exit, and from its start to the line a
// `quorvix-ctl watch` prints for the change. Runs the simulator (quorvix-devsim, beside this
// program) on a private runtime folder.
//
//   quorvix-bench-panels [--steps N] [--ctl-runs M]   (N >= 1000, default 2000; M default 100)
#include "ControlFlood.h"
#include "control/ControlServer.h"
#include "control/ControlWatchers.h"
#include "driver/AudioBusDevice.h"
#include "mainwindow/MainWindow.h"
#include "panels/tk1.h"
#include "widgets/Knob.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QWheelEvent>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

struct Figures
{
    double median = 0, p99 = 0, mean = 0;
};

Figures summarize(std::vector<qint64> ns)
{
    std::sort(ns.begin(), ns.end());
    Figures f;
    const size_t n = ns.size();
    f.median = ns[n / 2] / 1000.0;
    f.p99 = ns[std::min(n - 1, (n * 99) / 100)] / 1000.0;
    double sum = 0;
    for (qint64 v : ns)
        sum += v;
    f.mean = sum / n / 1000.0;
    return f;
}

std::vector<qint64> measure(int steps, const std::function<void(int)>& step)
{
    std::vector<qint64> ns;
    ns.reserve(steps);
    QElapsedTimer timer;
    for (int i = 0; i < steps; ++i) {
        timer.start();
        step(i);
        ns.push_back(timer.nsecsElapsed());
    }
    return ns;
}

void print(const char* what, const Figures& f, int steps)
{
    std::printf("%-44s median %8.1f us   p99 %8.1f us   mean %8.1f us   (%d runs)\n", what,
                f.median, f.p99, f.mean, steps);
}

bool waitForFile(const QString& path, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!QFile::exists(path)) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(10);
    }
    return true;
}

// The headphone knob of a panel.
Knob* headphoneKnob(QWidget* panel)
{
    for (Knob* k : panel->findChildren<Knob*>())
        if (k->accessibleName() == "HEADPHONE Volume")
            return k;
    return nullptr;
}

// Posted wheel steps, each timed from posting to the knob's new value, so that whatever
// the event loop serves first (the control endpoint) counts.
std::vector<qint64> postedSteps(Knob* knob, int steps)
{
    const QPointF centre(knob->width() / 2.0, knob->height() / 2.0);
    return measure(steps, [&](int i) {
        const int before = knob->value;
        QCoreApplication::postEvent(
            knob, new QWheelEvent(centre, centre, QPoint(), QPoint(0, (i % 2) ? -120 : 120),
                                  Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false));
        while (knob->value == before)
            QCoreApplication::processEvents(QEventLoop::AllEvents);
    });
}

// quorvix-ctl set from process start to exit, with this process serving the endpoint.
std::vector<qint64> ctlRuns(int runs)
{
    const QString ctl = QCoreApplication::applicationDirPath() + "/quorvix-ctl";
    std::vector<qint64> ns;
    for (int i = 0; i < runs; ++i) {
        QProcess process;
        QEventLoop loop;
        QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
        QElapsedTimer timer;
        timer.start();
        process.start(ctl, {"set", "headphone", QString::number(-40 - (i % 2))});
        loop.exec();
        ns.push_back(timer.nsecsElapsed());
        if (process.exitCode() != 0) {
            std::fprintf(stderr, "quorvix-ctl set failed: %s\n",
                         process.readAllStandardError().constData());
            break;
        }
    }
    return ns;
}

// `quorvix-ctl watch --json` children, read as they print.
class Watchers
{
public:
    explicit Watchers(int count)
    {
        const QString ctl = QCoreApplication::applicationDirPath() + "/quorvix-ctl";
        for (int i = 0; i < count; ++i) {
            auto* process = new QProcess;
            process->start(ctl, {"watch", "--json"});
            processes.push_back(process);
        }
        // Attached once each has printed the state.
        for (QProcess* process : processes) {
            process->waitForStarted();
            while (!process->canReadLine() && process->state() == QProcess::Running)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            if (!process->canReadLine())
                std::fprintf(stderr, "a watcher did not attach: %s\n",
                             process->readAllStandardError().constData());
        }
    }
    ~Watchers()
    {
        for (QProcess* process : processes) {
            process->kill();
            process->waitForFinished(2000);
            delete process;
        }
    }
    QProcess& first() { return *processes.front(); }

private:
    std::vector<QProcess*> processes;
};

// From the start of `quorvix-ctl set` to the watcher's line that reports the new value,
// with `gapMs` between one line and the next set: key presses come apart, while sets
// back to back meet the watcher's bound of one batch per ControlWatchers::kBatchIntervalMs.
std::vector<qint64> setToWatchLine(const Knob* knob, int runs, int gapMs)
{
    const QString ctl = QCoreApplication::applicationDirPath() + "/quorvix-ctl";
    Watchers watcher(1);
    QProcess& watch = watcher.first();
    watch.readAll();
    std::vector<qint64> ns;
    QByteArray seen;
    for (int i = 0; i < runs; ++i) {
        // Always a change, whatever the knob holds.
        const int value = knob->value == -40 ? -41 : -40;
        const QByteArray wanted = "\"value\": " + QByteArray::number(value) + ',';
        QProcess process;
        QElapsedTimer timer;
        timer.start();
        process.start(ctl, {"set", "headphone", QString::number(value)});
        seen.clear();
        while (!seen.contains(wanted) && timer.elapsed() < 5000) {
            // Sleeps until the watcher's output (or the 400 ms connection watch) wakes it,
            // leaving the processors to quorvix-ctl and the watcher.
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            seen += watch.readAll();
        }
        if (!seen.contains(wanted)) {
            std::fprintf(stderr, "the watcher did not report the change: %s\n",
                         watch.readAllStandardError().constData());
            break;
        }
        ns.push_back(timer.nsecsElapsed());
        process.waitForFinished(2000);
        QElapsedTimer gap;
        gap.start();
        while (gap.elapsed() < gapMs)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return ns;
}

} // namespace

int main(int argc, char** argv)
{
    // Private folders, so the run touches neither the user's ini files nor a live
    // simulator's sockets.
    QTemporaryDir scratch;
    if (!scratch.isValid())
        return 1;
    const QString runtime = scratch.filePath("runtime");
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
    qputenv("XDG_DATA_HOME", scratch.filePath("data").toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The panels' log lines would swamp the figures.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    QApplication app(argc, argv);
    int steps = 2000;
    const QStringList args = app.arguments();
    const int at = args.indexOf("--steps");
    if (at > 0 && at + 1 < args.size())
        steps = std::max(1000, args[at + 1].toInt());
    int runs = 100;
    const int runsAt = args.indexOf("--ctl-runs");
    if (runsAt > 0 && runsAt + 1 < args.size())
        runs = std::max(1, args[runsAt + 1].toInt());

    QProcess simulator;
    simulator.setProgram(QCoreApplication::applicationDirPath() + "/quorvix-devsim");
    simulator.setArguments({"--quiet", "--journal-matrix", "brief", "--model", "tk1", "--journal",
                            scratch.filePath("journal")});
    simulator.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    simulator.start();
    if (!simulator.waitForStarted() || !waitForFile(runtime + "/quorvix/QuorvixAudioBus0", 5000)) {
        std::fprintf(stderr, "quorvix-devsim did not start\n");
        return 1;
    }

    std::printf("Steps: %d; matrix image %d bytes\n", steps, MixerMatrix::ByteSize);

    {
        AudioBusDevice device;
        if (!device.openDevice()) {
            std::fprintf(stderr, "cannot open the simulated device\n");
            return 1;
        }
        MixerMatrix matrix{};
        bool allOk = true;
        const auto ns = measure(steps, [&](int i) {
            matrix.outputGain[0] = (i % 2) ? 0.5 : 0.25;
            allOk = device.writeMixerMatrix(matrix) && allOk;
        });
        print("bare writeMixerMatrix round trip", summarize(ns), steps);
        if (!allOk)
            std::printf("  (some matrix writes failed)\n");
    }

    {
        QSettings store(scratch.filePath("bench.ini"), QSettings::IniFormat);
        const auto ns = measure(steps, [&](int i) {
            store.setValue("Dial/HeadphoneValue", -40 + (i % 2));
            store.sync();
        });
        print("bare ini write + sync", summarize(ns), steps);
    }

    {
        tk1 panel;
        Knob* knob = nullptr;
        for (Knob* k : panel.findChildren<Knob*>())
            if (k->accessibleName() == "HEADPHONE Volume")
                knob = k;
        if (!knob) {
            std::fprintf(stderr, "the panel did not come up\n");
            return 1;
        }
        knob->setValue(-40);
        const QPointF centre(knob->width() / 2.0, knob->height() / 2.0);
        const auto ns = measure(steps, [&](int i) {
            // Alternate up and down so the knob never rests at a limit.
            QWheelEvent wheel(centre, centre, QPoint(), QPoint(0, (i % 2) ? -120 : 120),
                              Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(knob, &wheel);
        });
        print("headphone knob step (wheel -> matrix + ini)", summarize(ns), steps);

        QSettings check(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
                            "/tk1.ini",
                        QSettings::IniFormat);
        std::printf("  knob ends at %d, ini holds %s\n", knob->value,
                    qPrintable(check.value("Dial/HeadphoneValue").toString()));
    }

    {
        MainWindow window;
        ControlServer server(&window);
        if (!server.start()) {
            std::fprintf(stderr, "the control endpoint did not start\n");
            return 1;
        }
        QElapsedTimer waited;
        waited.start();
        while (!window.currentPanel() && waited.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        Knob* knob = window.currentPanel() ? headphoneKnob(window.currentPanel()) : nullptr;
        if (!knob) {
            std::fprintf(stderr, "the main window found no panel\n");
            return 1;
        }
        knob->setValue(-40);
        print("knob step, posted (endpoint idle)", summarize(postedSteps(knob, steps)), steps);
        {
            ControlFlood flood(runtime.toStdString() + "/quorvix/control");
            const auto ns = postedSteps(knob, steps);
            print("knob step, posted (endpoint flooded)", summarize(ns), steps);
            std::printf("  %ld hostile connections during the flood\n", flood.connections());
        }
        print("knob step, posted (no watchers)", summarize(postedSteps(knob, steps)), steps);
        {
            Watchers attached(4);
            print("knob step, posted (4 watchers attached)", summarize(postedSteps(knob, steps)),
                  steps);
        }
        const auto ns = ctlRuns(runs);
        if (!ns.empty())
            print("quorvix-ctl set, start to exit (goal <= 20 ms)", summarize(ns), int(ns.size()));
        const auto toLine = setToWatchLine(knob, runs, 100);
        if (!toLine.empty())
            print("quorvix-ctl set to the watch line (goal p50 <= 20 ms)", summarize(toLine),
                  int(toLine.size()));
        const auto backToBack = setToWatchLine(knob, runs, 0);
        if (!backToBack.empty())
            print(QString("  the same, sets back to back (one batch per %1 ms)")
                      .arg(ControlWatchers::kBatchIntervalMs)
                      .toUtf8()
                      .constData(),
                  summarize(backToBack), int(backToBack.size()));
    }

    simulator.terminate();
    simulator.waitForFinished(3000);
    return 0;
}

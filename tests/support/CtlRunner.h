#pragma once
// Runs bin/quorvix-ctl from a test, keeping the test's own event loop turning while it
// runs, so an endpoint served inside the test process answers it.
#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <functional>

struct CtlResult
{
    int exitCode = -1; // -1 when it did not finish
    QByteArray out;
    QByteArray err;
};

// asUser: a command prefix such as {"setpriv", "--reuid=nobody", ..., "--"}.
CtlResult runCtl(const QStringList& arguments, const QStringList& asUser = {},
                 const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());

// The command prefix that runs a program as the user nobody; empty when this process
// cannot (not root, no such user, no setpriv).
QStringList asNobody();

// `quorvix-ctl watch` (or another long-running quorvix-ctl) kept running beside the test:
// its stdout split into lines as they come, each with the time it arrived.
class CtlWatch
{
public:
    explicit CtlWatch(const QStringList& arguments, const QString& program = "quorvix-ctl");
    ~CtlWatch();

    // The complete lines so far.
    const QList<QByteArray>& lines() const { return got; }
    // Milliseconds from the start to the arrival of line i.
    qint64 arrival(qsizetype i) const { return arrivals.value(i); }
    // Turns the event loop until `count` lines came; false on time-out.
    bool waitForLines(qsizetype count, int timeoutMs = 5000);
    // Turns the event loop until a line satisfies `match`, from line `from` on; the
    // line's index, or -1 on time-out.
    qsizetype waitFor(const std::function<bool(const QByteArray&)>& match, qsizetype from = 0,
                      int timeoutMs = 5000);
    // Turns the event loop for ms, taking whatever comes.
    void idle(int ms);
    // Turns the event loop until the process ends; its exit code, or -1 on time-out.
    int waitForExit(int timeoutMs);
    QByteArray errors() { return process.readAllStandardError(); }

private:
    void take();

    QProcess process;
    QElapsedTimer clock;
    QByteArray partial;
    QList<QByteArray> got;
    QList<qint64> arrivals;
};

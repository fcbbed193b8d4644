#include "CtlRunner.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QStandardPaths>

#include <pwd.h>
#include <unistd.h>

CtlResult runCtl(const QStringList& arguments, const QStringList& asUser,
                 const QProcessEnvironment& environment)
{
    const QString ctl = QStringLiteral(QUORVIX_BIN_DIR "/quorvix-ctl");
    QProcess process;
    process.setProcessEnvironment(environment);
    if (asUser.isEmpty())
        process.start(ctl, arguments);
    else
        process.start(asUser.first(), asUser.mid(1) << ctl << arguments);
    CtlResult result;
    QDeadlineTimer deadline(15000);
    while (process.state() != QProcess::NotRunning && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        process.waitForFinished(2);
    }
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(2000);
        return result;
    }
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    if (process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    return result;
}

QStringList asNobody()
{
    if (::geteuid() != 0 || !::getpwnam("nobody") ||
        QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        return {};
    return {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"};
}

CtlWatch::CtlWatch(const QStringList& arguments, const QString& program)
{
    clock.start();
    process.start(QStringLiteral(QUORVIX_BIN_DIR "/") + program, arguments);
    process.waitForStarted(5000);
}

CtlWatch::~CtlWatch()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(2000);
    }
}

void CtlWatch::take()
{
    partial += process.readAllStandardOutput();
    qsizetype end;
    while ((end = partial.indexOf('\n')) >= 0) {
        got << partial.left(end);
        arrivals << clock.elapsed();
        partial.remove(0, end + 1);
    }
}

void CtlWatch::idle(int ms)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        process.waitForReadyRead(1);
        take();
    }
}

bool CtlWatch::waitForLines(qsizetype count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (got.size() < count && !deadline.hasExpired())
        idle(2);
    return got.size() >= count;
}

qsizetype CtlWatch::waitFor(const std::function<bool(const QByteArray&)>& match, qsizetype from,
                            int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        for (qsizetype i = from; i < got.size(); ++i)
            if (match(got[i]))
                return i;
        from = std::max(from, got.size());
        if (deadline.hasExpired())
            return -1;
        idle(2);
    }
}

int CtlWatch::waitForExit(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (process.state() != QProcess::NotRunning && !deadline.hasExpired())
        idle(2);
    take();
    if (process.state() != QProcess::NotRunning || process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}

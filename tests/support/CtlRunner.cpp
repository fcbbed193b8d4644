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

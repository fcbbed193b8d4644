#pragma once
// Runs bin/quorvix-ctl from a test, keeping the test's own event loop turning while it
// runs, so an endpoint served inside the test process answers it.
#include <QByteArray>
#include <QProcessEnvironment>
#include <QStringList>

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

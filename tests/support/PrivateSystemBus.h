#pragma once
// A private system bus for one test: a dbus-daemon of its own on a socket in the test's
// runtime folder, named to Qt and libdbus by DBUS_SYSTEM_BUS_ADDRESS while this object
// lives, with bin/quorvix-logind owning logind's name on it. Both processes are stopped,
// and the variable put back, when it goes.
#include <QByteArray>
#include <QString>

#include <memory>

class QProcess;

class PrivateSystemBus
{
public:
    PrivateSystemBus();
    ~PrivateSystemBus();
    PrivateSystemBus(const PrivateSystemBus&) = delete;
    PrivateSystemBus& operator=(const PrivateSystemBus&) = delete;

    // Starts the bus and the logind stand-in; false (with a warning) when either fails.
    bool start();
    // The bus's address; the same for every bus of one test program.
    QString busAddress() const { return address; }

    // logind's PrepareForSleep(false), `count` times `gapMs` ms apart; true once the bus
    // has routed every one of them.
    bool resumeFromLogind(int count = 1, int gapMs = 0);
    // logind's PrepareForSleep(true): the computer is about to sleep.
    bool sleepFromLogind();
    // The very same resume signal, sent by a connection that does not own logind's name.
    bool resumeFromStranger();

private:
    bool logindCommand(const QByteArray& line);

    std::unique_ptr<QProcess> daemon;
    std::unique_ptr<QProcess> logind;
    QString address;
    QByteArray previousAddress;
    bool hadAddress = false;
};

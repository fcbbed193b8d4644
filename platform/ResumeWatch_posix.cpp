#include "platform/ResumeWatch.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QObject>

namespace {

const QString kLogin = QStringLiteral("org.freedesktop.login1");
const QString kLoginPath = QStringLiteral("/org/freedesktop/login1");
const QString kLoginManager = QStringLiteral("org.freedesktop.login1.Manager");

// logind sends PrepareForSleep(true) before the computer sleeps and PrepareForSleep(false)
// once it has resumed. The signal is subscribed with logind's own name, so the bus and
// Qt D-Bus pass on only what the owner of that name sends.
class SleepSignalReceiver : public QObject
{
    Q_OBJECT

public:
    explicit SleepSignalReceiver(std::function<void(platform::PowerNotice)> onNotice)
        : onNotice(std::move(onNotice))
    {}

public slots:
    void prepareForSleep(bool goingToSleep)
    {
        onNotice(goingToSleep ? platform::PowerNotice::Suspend : platform::PowerNotice::Resume);
    }

private:
    std::function<void(platform::PowerNotice)> onNotice;
};

} // namespace

namespace platform {

struct ResumeWatch::Listener
{
    explicit Listener(std::function<void(PowerNotice)> onNotice) : receiver(std::move(onNotice)) {}

    SleepSignalReceiver receiver;
    std::string failure;
    // A connection of its own, so that a failed system bus is not kept for the whole
    // process and the watch leaves nothing behind when it goes.
    QString connectionName;
};

ResumeWatch::ResumeWatch(std::function<void(PowerNotice)> onNotice)
    : listener(std::make_unique<Listener>(std::move(onNotice)))
{
    listener->connectionName =
        QStringLiteral("quorvix-resume-%1").arg(reinterpret_cast<quintptr>(this), 0, 16);
    QDBusConnection bus =
        QDBusConnection::connectToBus(QDBusConnection::SystemBus, listener->connectionName);
    if (!bus.isConnected()) {
        listener->failure = "no system bus: " + bus.lastError().message().toStdString();
        return;
    }
    if (!bus.connect(kLogin, kLoginPath, kLoginManager, QStringLiteral("PrepareForSleep"),
                     &listener->receiver, SLOT(prepareForSleep(bool)))) {
        listener->failure = "no subscription: " + bus.lastError().message().toStdString();
    }
}

const std::string& ResumeWatch::failure() const
{
    return listener->failure;
}

ResumeWatch::~ResumeWatch()
{
    QDBusConnection::disconnectFromBus(listener->connectionName);
}

} // namespace platform

#include "ResumeWatch_posix.moc"

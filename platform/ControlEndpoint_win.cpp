// The control endpoint on overlapped Win32 named pipes: one instance waits for the next
// client while each connected client has its own; every completion wakes the GUI
// thread through a QWinEventNotifier on the operation's event.
#include "platform/ControlEndpoint.h"

#include <QTimer>
#include <QWinEventNotifier>

#include <windows.h>

#include <map>
#include <utility>
#include <vector>

namespace platform {
namespace {

constexpr DWORD kOutBuffer = 65536;
constexpr DWORD kInBuffer = 4096;
// After its reply a client has this long to read it and close its end.
constexpr int kLingerMs = 1000;

std::wstring controlPipeName()
{
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return L"\\\\.\\pipe\\QuorvixMixer.Control." + std::to_wstring(session);
}

// A security descriptor whose DACL grants read and write (which includes creating
// instances) to this process's user alone: nothing for Everyone, Anonymous, the
// network or other users.
class UserOnlySecurity
{
public:
    bool build()
    {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            return false;
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        user.resize(size);
        const bool got =
            size > 0 && GetTokenInformation(token, TokenUser, user.data(), size, &size);
        CloseHandle(token);
        if (!got)
            return false;
        PSID sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
        acl.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
        auto* list = reinterpret_cast<ACL*>(acl.data());
        if (!InitializeAcl(list, static_cast<DWORD>(acl.size()), ACL_REVISION) ||
            !AddAccessAllowedAce(list, ACL_REVISION, GENERIC_READ | GENERIC_WRITE, sid) ||
            !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE))
            return false;
        attributes = {sizeof attributes, &descriptor, FALSE};
        return true;
    }
    SECURITY_ATTRIBUTES* get() { return &attributes; }

private:
    std::vector<BYTE> user;
    std::vector<BYTE> acl;
    SECURITY_DESCRIPTOR descriptor{};
    SECURITY_ATTRIBUTES attributes{};
};

// One overlapped operation: its OVERLAPPED, its manual-reset event and the notifier
// that reports the event on the GUI thread.
struct Operation
{
    OVERLAPPED overlapped{};
    HANDLE event = nullptr;
    std::unique_ptr<QWinEventNotifier> notifier;
    bool pending = false;

    Operation() : event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) { overlapped.hEvent = event; }
    ~Operation()
    {
        notifier.reset();
        if (event)
            CloseHandle(event);
    }
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;
};

} // namespace

struct ControlEndpoint::State
{
    struct Instance
    {
        HANDLE pipe = INVALID_HANDLE_VALUE;
        Operation connect;
        Operation read;
        Operation write;
        char buffer[kInBuffer];
        // The bytes of the write in progress, which must stay put until it ends, and
        // those that wait for it.
        QByteArray outgoing;
        QByteArray queued;
        bool replied = false;
        std::unique_ptr<QTimer> linger;
    };

    Events events;
    std::wstring name = controlPipeName();
    UserOnlySecurity security;
    std::unique_ptr<Instance> waiting;
    std::map<int, std::unique_ptr<Instance>> clients;
    int nextId = 1;

    HANDLE createInstance(bool first);
    void waitForClient();
    // Makes pipe the instance that waits for the next client.
    void arm(HANDLE pipe);
    void connected();
    void startRead(int id);
    void readDone(int id);
    // Starts writing the queued bytes when no write is in progress.
    void startWrite(int id);
    void writeDone(int id);
    void close(std::unique_ptr<Instance> instance);
};

HANDLE ControlEndpoint::State::createInstance(bool first)
{
    // The first instance fails with ERROR_ACCESS_DENIED when any process holds the name,
    // so a name taken before the program started is never shared.
    return CreateNamedPipeW(
        name.c_str(),
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, kOutBuffer, kInBuffer, 0, security.get());
}

void ControlEndpoint::State::waitForClient()
{
    HANDLE pipe = createInstance(false);
    if (pipe != INVALID_HANDLE_VALUE)
        arm(pipe);
    // Otherwise the clients connected now are still served, but no new ones.
}

void ControlEndpoint::State::arm(HANDLE pipe)
{
    waiting = std::make_unique<Instance>();
    waiting->pipe = pipe;
    Operation& op = waiting->connect;
    if (!ConnectNamedPipe(pipe, &op.overlapped)) {
        const DWORD code = GetLastError();
        if (code == ERROR_IO_PENDING) {
            op.pending = true;
            op.notifier = std::make_unique<QWinEventNotifier>(op.event);
            QObject::connect(op.notifier.get(), &QWinEventNotifier::activated, [this] {
                DWORD unused = 0;
                waiting->connect.pending = false;
                if (GetOverlappedResult(waiting->pipe, &waiting->connect.overlapped, &unused,
                                        FALSE)) {
                    connected();
                } else {
                    close(std::move(waiting));
                    waitForClient();
                }
            });
            return;
        }
        if (code == ERROR_NO_DATA) {
            // A client came and left before this call: wait for the next one.
            close(std::move(waiting));
            waitForClient();
            return;
        }
        if (code != ERROR_PIPE_CONNECTED) {
            close(std::move(waiting));
            return;
        }
        // A client came between creation and this call; no event is signalled for it.
    }
    connected();
}

void ControlEndpoint::State::connected()
{
    const int id = nextId++;
    Instance& instance = *(clients[id] = std::move(waiting));
    if (instance.connect.notifier)
        instance.connect.notifier->setEnabled(false);
    // The next client finds an instance waiting before this one is served.
    waitForClient();
    if (events.accepted)
        events.accepted(id);
    if (clients.count(id))
        startRead(id);
}

void ControlEndpoint::State::startRead(int id)
{
    Instance& instance = *clients.at(id);
    Operation& op = instance.read;
    if (!op.notifier) {
        op.notifier = std::make_unique<QWinEventNotifier>(op.event);
        QObject::connect(op.notifier.get(), &QWinEventNotifier::activated,
                         [this, id] { readDone(id); });
    }
    // Every outcome ends in readDone: a read that completed at once or failed at once
    // signals the event here, whether or not the system did.
    op.pending = true;
    if (ReadFile(instance.pipe, instance.buffer, sizeof instance.buffer, nullptr, &op.overlapped)) {
        SetEvent(op.event);
    } else if (GetLastError() != ERROR_IO_PENDING) {
        op.pending = false;
        SetEvent(op.event);
    }
}

void ControlEndpoint::State::readDone(int id)
{
    auto it = clients.find(id);
    if (it == clients.end())
        return;
    Instance& instance = *it->second;
    DWORD got = 0;
    const bool ok = instance.read.pending &&
                    GetOverlappedResult(instance.pipe, &instance.read.overlapped, &got, FALSE) &&
                    got > 0;
    instance.read.pending = false;
    ResetEvent(instance.read.event);
    if (!ok) {
        // The client closed its end (ERROR_BROKEN_PIPE), or the read failed.
        const bool replied = instance.replied;
        auto gone = std::move(it->second);
        clients.erase(it);
        close(std::move(gone));
        if (!replied && events.gone)
            events.gone(id);
        return;
    }
    if (!instance.replied && events.received)
        events.received(id, QByteArray(instance.buffer, static_cast<int>(got)));
    if (clients.count(id))
        startRead(id);
}

void ControlEndpoint::State::startWrite(int id)
{
    Instance& instance = *clients.at(id);
    Operation& op = instance.write;
    if (op.pending || instance.queued.isEmpty())
        return;
    if (!op.notifier) {
        op.notifier = std::make_unique<QWinEventNotifier>(op.event);
        QObject::connect(op.notifier.get(), &QWinEventNotifier::activated,
                         [this, id] { writeDone(id); });
    }
    instance.outgoing = std::exchange(instance.queued, QByteArray());
    // Overlapped, so a client that does not read leaves the write pending instead of
    // holding up the GUI thread. Every outcome ends in writeDone, as for the reads.
    op.pending = true;
    if (WriteFile(instance.pipe, instance.outgoing.constData(),
                  static_cast<DWORD>(instance.outgoing.size()), nullptr, &op.overlapped)) {
        SetEvent(op.event);
    } else if (GetLastError() != ERROR_IO_PENDING) {
        op.pending = false;
        SetEvent(op.event);
    }
}

void ControlEndpoint::State::writeDone(int id)
{
    auto it = clients.find(id);
    if (it == clients.end())
        return;
    Instance& instance = *it->second;
    DWORD wrote = 0;
    const bool ok = instance.write.pending &&
                    GetOverlappedResult(instance.pipe, &instance.write.overlapped, &wrote, FALSE);
    instance.write.pending = false;
    ResetEvent(instance.write.event);
    instance.outgoing.clear();
    if (!ok) {
        // A broken pipe: the pending read reports the client gone.
        instance.queued.clear();
        return;
    }
    if (!instance.queued.isEmpty()) {
        startWrite(id);
        return;
    }
    if (events.writable)
        events.writable(id);
}

void ControlEndpoint::State::close(std::unique_ptr<Instance> instance)
{
    if (!instance)
        return;
    // Buffers and OVERLAPPEDs must outlive their operations: cancel, then wait for the end.
    CancelIoEx(instance->pipe, nullptr);
    DWORD unused = 0;
    for (Operation* op : {&instance->connect, &instance->read, &instance->write}) {
        if (op->pending)
            GetOverlappedResult(instance->pipe, &op->overlapped, &unused, TRUE);
        // Deleted later: this may run inside the notifier's own signal.
        if (op->notifier) {
            op->notifier->setEnabled(false);
            op->notifier.release()->deleteLater();
        }
    }
    DisconnectNamedPipe(instance->pipe);
    CloseHandle(instance->pipe);
}

ControlEndpoint::ControlEndpoint(Events events) : d(std::make_unique<State>())
{
    d->events = std::move(events);
}

ControlEndpoint::~ControlEndpoint()
{
    d->close(std::move(d->waiting));
    while (!d->clients.empty()) {
        auto it = d->clients.begin();
        auto instance = std::move(it->second);
        d->clients.erase(it);
        d->close(std::move(instance));
    }
}

bool ControlEndpoint::listen(QString& reason)
{
    if (!d->security.build()) {
        reason = QStringLiteral("no security descriptor (error %1)").arg(GetLastError());
        return false;
    }
    HANDLE first = d->createInstance(true);
    if (first == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        reason = code == ERROR_ACCESS_DENIED ? QStringLiteral("held by another process")
                                             : QStringLiteral("system error %1").arg(code);
        return false;
    }
    d->arm(first);
    return true;
}

void ControlEndpoint::reply(int client, const QByteArray& bytes)
{
    auto it = d->clients.find(client);
    if (it == d->clients.end())
        return;
    State::Instance& instance = *it->second;
    instance.replied = true;
    instance.outgoing = bytes;
    // The reply fits the pipe's buffer, so the write completes at once; the instance
    // stays until the client has read it and closed its end, or the linger ends.
    instance.write.pending = WriteFile(instance.pipe, instance.outgoing.constData(),
                                       static_cast<DWORD>(instance.outgoing.size()), nullptr,
                                       &instance.write.overlapped) ||
                             GetLastError() == ERROR_IO_PENDING;
    instance.linger = std::make_unique<QTimer>();
    instance.linger->setSingleShot(true);
    QObject::connect(instance.linger.get(), &QTimer::timeout, [this, client] { drop(client); });
    instance.linger->start(kLingerMs);
}

void ControlEndpoint::send(int client, const QByteArray& bytes)
{
    auto it = d->clients.find(client);
    if (it == d->clients.end())
        return;
    it->second->queued += bytes;
    d->startWrite(client);
}

qsizetype ControlEndpoint::unsent(int client) const
{
    auto it = d->clients.find(client);
    if (it == d->clients.end())
        return 0;
    const State::Instance& instance = *it->second;
    return (instance.write.pending ? instance.outgoing.size() : 0) + instance.queued.size();
}

void ControlEndpoint::drop(int client)
{
    auto it = d->clients.find(client);
    if (it == d->clients.end())
        return;
    auto instance = std::move(it->second);
    d->clients.erase(it);
    // Deleted later: drop may run inside the linger timer's own timeout.
    if (instance->linger)
        instance->linger.release()->deleteLater();
    d->close(std::move(instance));
}

QString ControlEndpoint::name() const
{
    return QString::fromStdWString(d->name);
}

} // namespace platform

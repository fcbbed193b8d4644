// The control endpoint on overlapped Win32 named pipes: one instance waits for the next
// client while each connected client has its own; every completion wakes the GUI
// thread through a QWinEventNotifier on the operation's event.
#include "platform/ControlEndpoint.h"

#include <QDebug>
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
// A failed listening instance is replaced, or a failed creation tried again, after this.
constexpr int kRetryMs = 1000;

std::wstring controlPipeName()
{
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return L"\\\\.\\pipe\\QuorvixMixer.Control." + std::to_wstring(session);
}

// A token's information of one class, as bytes; empty when it cannot be read.
std::vector<BYTE> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS what)
{
    DWORD size = 0;
    GetTokenInformation(token, what, nullptr, 0, &size);
    std::vector<BYTE> bytes(size);
    if (size == 0 || !GetTokenInformation(token, what, bytes.data(), size, &size))
        return {};
    return bytes;
}

// A security descriptor owned by this process's user, whose DACL grants read and write
// (which includes creating instances) to that user alone: nothing for Everyone,
// Anonymous, the network or other users. Without it an elevated copy would give the
// pipe its token's default owner (Administrators) and its own high label, and the
// user's ordinary quorvix-ctl would refuse or be refused; above medium the pipe is
// therefore labelled medium.
class UserOnlySecurity
{
public:
    bool build()
    {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            return false;
        user = tokenInformation(token, TokenUser);
        const std::vector<BYTE> level = tokenInformation(token, TokenIntegrityLevel);
        CloseHandle(token);
        if (user.empty())
            return false;
        PSID sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
        acl.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
        auto* list = reinterpret_cast<ACL*>(acl.data());
        if (!InitializeAcl(list, static_cast<DWORD>(acl.size()), ACL_REVISION) ||
            !AddAccessAllowedAce(list, ACL_REVISION, GENERIC_READ | GENERIC_WRITE, sid) ||
            !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorOwner(&descriptor, sid, FALSE) ||
            !SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE))
            return false;
        if (!level.empty() &&
            aboveMedium(reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(level.data())->Label.Sid) &&
            !labelMedium())
            return false;
        attributes = {sizeof attributes, &descriptor, FALSE};
        return true;
    }
    SECURITY_ATTRIBUTES* get() { return &attributes; }

private:
    static bool aboveMedium(PSID level)
    {
        const UCHAR count = *GetSidSubAuthorityCount(level);
        return count > 0 && *GetSidSubAuthority(level, count - 1) > SECURITY_MANDATORY_MEDIUM_RID;
    }
    // A process may label what it creates at or below its own level.
    bool labelMedium()
    {
        SID_IDENTIFIER_AUTHORITY authority = SECURITY_MANDATORY_LABEL_AUTHORITY;
        medium.resize(GetSidLengthRequired(1));
        PSID sid = medium.data();
        if (!InitializeSid(sid, &authority, 1))
            return false;
        *GetSidSubAuthority(sid, 0) = SECURITY_MANDATORY_MEDIUM_RID;
        sacl.resize(sizeof(ACL) + sizeof(SYSTEM_MANDATORY_LABEL_ACE) + GetLengthSid(sid));
        auto* list = reinterpret_cast<ACL*>(sacl.data());
        return InitializeAcl(list, static_cast<DWORD>(sacl.size()), ACL_REVISION) &&
               AddMandatoryAce(list, ACL_REVISION, 0, SYSTEM_MANDATORY_LABEL_NO_WRITE_UP, sid) &&
               SetSecurityDescriptorSacl(&descriptor, TRUE, list, FALSE);
    }

    std::vector<BYTE> user;
    std::vector<BYTE> acl;
    std::vector<BYTE> medium;
    std::vector<BYTE> sacl;
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

    // Calls `done` on the event loop each time the operation's event is set.
    template <typename Done> void notify(Done done)
    {
        if (notifier)
            return;
        notifier = std::make_unique<QWinEventNotifier>(event);
        QObject::connect(notifier.get(), &QWinEventNotifier::activated, done);
    }
    // Records an overlapped call just made, which returned `completed`. Every outcome ends
    // in the notifier: a call that completed or failed at once sets the event here,
    // whether or not the system did.
    void started(BOOL completed)
    {
        pending = true;
        if (completed) {
            SetEvent(event);
        } else if (GetLastError() != ERROR_IO_PENDING) {
            pending = false;
            SetEvent(event);
        }
    }
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
    QTimer retry;         // the next try at a listening instance after a failure
    bool failing = false; // a failed creation was logged, none has worked since
    int faultPauseMs = 0; // the test hook's pause, see listen()

    HANDLE createInstance(bool first);
    // Makes the instance that waits for the next client and only then closes the one it
    // replaces (a `waiting` whose connect failed), so the name stays ours throughout.
    // With none of ours left it makes a first instance only: a name that someone else
    // took meanwhile is never joined. A failure is logged and tried again from `retry`.
    void waitForClient();
    // Makes pipe the instance that waits for the next client.
    void arm(HANDLE pipe);
    void connectFailed(DWORD code);
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
    const bool alone = !waiting && clients.empty();
    HANDLE pipe = createInstance(alone);
    if (pipe == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (alone && code == ERROR_ACCESS_DENIED) {
            qWarning().noquote() << QStringLiteral("Control endpoint stopped: %1 is held by "
                                                   "another process.")
                                        .arg(QString::fromStdWString(name));
            return;
        }
        if (!failing)
            qWarning().noquote() << QStringLiteral("Control endpoint: cannot create a pipe "
                                                   "instance (error %1); trying again every 1 s.")
                                        .arg(code);
        failing = true;
        retry.start();
        return;
    }
    if (failing)
        qWarning() << "Control endpoint: a pipe instance was created again.";
    failing = false;
    std::unique_ptr<Instance> failed = std::move(waiting);
    arm(pipe);
    if (failed) {
        close(std::move(failed));
        if (faultPauseMs > 0)
            Sleep(static_cast<DWORD>(faultPauseMs));
    }
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
            op.notify([this] {
                DWORD unused = 0;
                waiting->connect.pending = false;
                if (GetOverlappedResult(waiting->pipe, &waiting->connect.overlapped, &unused,
                                        FALSE))
                    connected();
                else
                    connectFailed(GetLastError());
            });
            return;
        }
        if (code != ERROR_PIPE_CONNECTED) {
            connectFailed(code);
            return;
        }
        // A client came between creation and this call; no event is signalled for it.
    }
    connected();
}

void ControlEndpoint::State::connectFailed(DWORD code)
{
    // The failed instance keeps the name until its replacement listens.
    if (waiting->connect.notifier)
        waiting->connect.notifier->setEnabled(false);
    if (code == ERROR_NO_DATA) {
        // A client came and left before the connect: wait for the next one.
        waitForClient();
        return;
    }
    // Not at once: an error that repeats would otherwise loop here.
    qWarning().noquote() << QStringLiteral("Control endpoint: waiting for a client failed "
                                           "(error %1); a new pipe instance follows in 1 s.")
                                .arg(code);
    retry.start();
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
    op.notify([this, id] { readDone(id); });
    op.started(
        ReadFile(instance.pipe, instance.buffer, sizeof instance.buffer, nullptr, &op.overlapped));
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
    op.notify([this, id] { writeDone(id); });
    instance.outgoing = std::exchange(instance.queued, QByteArray());
    // Overlapped, so a client that does not read leaves the write pending instead of
    // holding up the GUI thread.
    op.started(WriteFile(instance.pipe, instance.outgoing.constData(),
                         static_cast<DWORD>(instance.outgoing.size()), nullptr, &op.overlapped));
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
    d->retry.setSingleShot(true);
    d->retry.setInterval(kRetryMs);
    QObject::connect(&d->retry, &QTimer::timeout, [this] { d->waitForClient(); });
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
    // Test hook, inert unless set: QUORVIX_CONTROL_CONNECT_FAULT=<ms> cancels the first
    // listening instance's connect after <ms>, and the thread then stands still for <ms>
    // after closing the failed instance, so that a moment without an instance would show.
    const int faultMs = qEnvironmentVariableIntValue("QUORVIX_CONTROL_CONNECT_FAULT");
    if (faultMs > 0) {
        d->faultPauseMs = faultMs;
        QTimer::singleShot(faultMs, &d->retry, [this] {
            if (d->waiting && d->waiting->connect.pending)
                CancelIoEx(d->waiting->pipe, &d->waiting->connect.overlapped);
        });
    }
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

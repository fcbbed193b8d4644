// Other users of the machine must not reach the program's sockets: the endpoint folder
// is private to its owner (0700, also when it was left behind with looser modes, and
// refused when someone else owns it), every socket in it is 0600, and a connect attempt
// made as the unprivileged user "nobody" is denied.
#include "platform/NamedPipe.h"
#include "platform/PosixSupport.h"
#include "settings/Settings.h"

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const char* const kProbe = "--probe-connect";
const wchar_t* const kInbound = L"\\\\.\\pipe\\QuorvixASIOToPannel";

mode_t modeOf(const std::string& path)
{
    struct stat info
    {
    };
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

// The probe run as another user: 0 connected, 3 access denied, 4 any other failure.
int probeConnect(const char* path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return 0;
    return errno == EACCES || errno == EPERM ? 3 : 4;
}

// Runs this test program's probe as "nobody"; its exit code, or -1 when it could not run.
int probeAsNobody(const std::string& socket)
{
    const QString self = QCoreApplication::applicationFilePath();
    QStringList command;
    if (!QStandardPaths::findExecutable("setpriv").isEmpty())
        command = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"};
    else if (!QStandardPaths::findExecutable("runuser").isEmpty())
        command = {"runuser", "-u", "nobody", "--"};
    else
        return -1;
    command << self << kProbe << QString::fromStdString(socket);
    QProcess probe;
    probe.start(command.takeFirst(), command);
    if (!probe.waitForFinished(10000) || probe.exitStatus() != QProcess::NormalExit)
        return -1;
    const int code = probe.exitCode();
    return code == 0 || code == 3 || code == 4 ? code : -1;
}

} // namespace

class SocketAccess : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // A runtime folder that everyone may pass through, so that only the program's
        // own folder and socket modes stand in the way.
        // Under the short temporary folder, so socket paths stay within their limit.
        const QString runtime = QDir::tempPath() + QStringLiteral("/open-runtime");
        QVERIFY(QDir().mkpath(runtime));
        QVERIFY(::chmod(runtime.toLocal8Bit().constData(), 0755) == 0);
        qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
    }

    void folderAndSocketsAreOwnerOnly()
    {
        Settings settings; // creates the inbound pipe
        const std::string folder = platform::endpointFolder();
        const std::string socket = platform::endpointPath(kInbound);
        QVERIFY(S_ISDIR(modeOf(folder)));
        QCOMPARE(modeOf(folder) & 0777, mode_t(0700));
        QVERIFY(S_ISSOCK(modeOf(socket)));
        QCOMPARE(modeOf(socket) & 0777, mode_t(0600));
    }

    void folderLeftWithLooseModesIsMadePrivate()
    {
        const std::string folder = platform::endpointFolder();
        QVERIFY(::chmod(folder.c_str(), 0777) == 0);
        const platform::NativeHandle pipe = platform::createPipeServer(kInbound);
        QVERIFY(pipe != platform::kInvalidHandle);
        QCOMPARE(modeOf(folder) & 0777, mode_t(0700));
        platform::closePipeServer(pipe);
    }

    void folderOwnedBySomeoneElseIsRefused()
    {
        if (::geteuid() != 0)
            QSKIP("handing the folder to another user needs root");
        const passwd* nobody = ::getpwnam("nobody");
        if (!nobody)
            QSKIP("there is no user nobody");
        const std::string folder = platform::endpointFolder();
        QVERIFY(::chown(folder.c_str(), nobody->pw_uid, nobody->pw_gid) == 0);
        const platform::NativeHandle pipe = platform::createPipeServer(kInbound);
        QVERIFY(::chown(folder.c_str(), 0, 0) == 0);
        QCOMPARE(pipe, platform::kInvalidHandle);
        QCOMPARE(platform::lastError(), platform::error::AccessDenied);
    }

    void anotherUserCannotConnect()
    {
        if (::geteuid() != 0)
            QSKIP("switching to another user needs root");
        Settings settings;
        const std::string socket = platform::endpointPath(kInbound);
        const std::string folder = platform::endpointFolder();
        const int folderBlocks = probeAsNobody(socket);
        if (folderBlocks < 0)
            QSKIP("this program cannot be run as nobody here (folder modes of the build)");
        QCOMPARE(folderBlocks, 3);
        // Even with the folder opened up, the socket's own mode keeps others out.
        QVERIFY(::chmod(folder.c_str(), 0755) == 0);
        const int socketBlocks = probeAsNobody(socket);
        QVERIFY(::chmod(folder.c_str(), 0700) == 0);
        QCOMPARE(socketBlocks, 3);
        // And the owner does get through, so the probe itself works.
        QCOMPARE(probeConnect(socket.c_str()), 0);
    }
};

int main(int argc, char* argv[])
{
    if (argc == 3 && std::strcmp(argv[1], kProbe) == 0)
        return probeConnect(argv[2]);
    QApplication app(argc, argv);
    SocketAccess test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_socket_access.moc"

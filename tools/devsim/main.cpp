// quorvix-devsim: the interface's kernel driver, simulated on a Unix device socket.
#include "Simulator.h"
#include "SimulatorOptions.h"
#include "UnixSocket.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Client mode: sends one command to a running simulator and prints its reply line.
int sendControlCommand(const SimulatorOptions& options)
{
    const int fd = UnixSocket::connectTo(options.controlPath.toStdString());
    if (fd < 0) {
        std::fprintf(stderr, "quorvix-devsim: no simulator at %s: %s\n",
                     options.controlPath.toLocal8Bit().constData(), std::strerror(errno));
        return 2;
    }
    const QByteArray request = options.clientCommand.toUtf8() + '\n';
    if (UnixSocket::sendSome(fd, request.constData(), request.size()) != request.size()) {
        std::fprintf(stderr, "quorvix-devsim: cannot send the command\n");
        close(fd);
        return 2;
    }
    QByteArray reply;
    while (!reply.contains('\n')) {
        pollfd p{fd, POLLIN, 0};
        char buffer[4096];
        if (poll(&p, 1, 5000) <= 0)
            break;
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        reply.append(buffer, got);
    }
    close(fd);
    reply = reply.left(reply.indexOf('\n'));
    if (reply.isEmpty()) {
        std::fprintf(stderr, "quorvix-devsim: no reply\n");
        return 2;
    }
    std::printf("%s\n", reply.constData());
    return reply.startsWith("ok") ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("quorvix-devsim");
    SimulatorOptions options;
    QString error;
    if (!options.parse(app.arguments(), error)) {
        std::fprintf(stderr, "quorvix-devsim: %s (see --help)\n", error.toLocal8Bit().constData());
        return 2;
    }
    if (options.clientMode)
        return sendControlCommand(options);

    Simulator simulator(options);
    if (!simulator.start(error)) {
        std::fprintf(stderr, "quorvix-devsim: %s\n", error.toLocal8Bit().constData());
        return 1;
    }
    return simulator.run();
}

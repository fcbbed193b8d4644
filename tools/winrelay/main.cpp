// quorvix-winrelay: lets the Windows bus driver, running under Wine where Unix sockets
// cannot be reached, open the device sockets over TCP on 127.0.0.1.
#include "Relay.h"
#include "SocketFolder.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

volatile bool stopRequested = false;

void requestStop(int)
{
    stopRequested = true;
}

void usage(std::FILE* to)
{
    std::fprintf(to, "usage: quorvix-winrelay [--port N] [--port-file FILE] [--verbose]\n"
                     "Joins TCP connections on 127.0.0.1:N (default 47810, 0 picks a free port)\n"
                     "to the device sockets in <runtime dir>/quorvix/ for the Windows bus\n"
                     "driver under Wine. --port-file writes the port once listening.\n");
}

} // namespace

int main(int argc, char** argv)
{
    long port = 47810;
    std::string portFile;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc) {
            char* end = nullptr;
            port = std::strtol(argv[++i], &end, 10);
            if (*end || port < 0 || port > 65535) {
                std::fprintf(stderr, "quorvix-winrelay: --port takes 0..65535\n");
                return 2;
            }
        } else if (arg == "--port-file" && i + 1 < argc)
            portFile = argv[++i];
        else if (arg == "--verbose")
            verbose = true;
        else if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        } else {
            usage(stderr);
            return 2;
        }
    }

    struct sigaction action
    {
    };
    action.sa_handler = requestStop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Relay relay(verbose);
    std::string error;
    if (!relay.listen(static_cast<std::uint16_t>(port), error)) {
        std::fprintf(stderr, "quorvix-winrelay: %s\n", error.c_str());
        return 1;
    }
    if (!portFile.empty()) {
        // Written whole under another name first, so a reader never sees half a number.
        const std::string partial = portFile + ".part";
        std::ofstream(partial) << relay.port() << '\n';
        std::rename(partial.c_str(), portFile.c_str());
    }
    std::printf("quorvix-winrelay: listening on 127.0.0.1:%u for %s\n", relay.port(),
                socketfolder::path().c_str());
    std::fflush(stdout);
    relay.run(stopRequested);
    return 0;
}

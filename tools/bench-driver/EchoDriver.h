#pragma once
// A minimal in-process driver side for the benchmark: listens on one device socket and
// answers every request frame at once with success and as many output bytes as asked.
#include <string>
#include <thread>

class EchoDriver
{
public:
    ~EchoDriver();
    // Listens on `path` and serves connections one after another on a thread.
    bool start(const std::string& path);

private:
    void serve();
    void serveConnection(int fd);

    std::string path;
    int listenFd = -1;
    std::thread worker;
};

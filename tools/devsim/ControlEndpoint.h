#pragma once
// The control socket: one command line in, one reply line out, any number of commands
// per connection.
#include "PollLoop.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <map>
#include <string>

class ControlEndpoint
{
public:
    using CommandHandler = std::function<QString(const QString& line)>;

    ControlEndpoint(PollLoop& loop, std::string path, CommandHandler handler);
    ~ControlEndpoint();

    bool listen(QString& error);
    const std::string& path() const { return socketPath; }

    // Sends one reply line to a blocking peer, waiting at most a second for room.
    static void sendLine(int fd, const QString& line);

private:
    void acceptPending();
    void readFrom(int fd);
    void drop(int fd);

    static constexpr qsizetype maxLineLength = 64 * 1024;

    PollLoop& loop;
    std::string socketPath;
    CommandHandler handler;
    int listener = -1;
    std::map<int, QByteArray> pending; // unfinished input line per connection
};

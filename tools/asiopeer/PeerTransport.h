#pragma once
// The two pipes as the ASIO driver reaches them, written independently of the program's
// own pipe layer so that the peer checks it rather than mirrors it. Off Windows a pipe is
// a Unix socket in the endpoint folder carrying length-framed messages; on Windows it is
// a Win32 named pipe in message mode, where one write is one message.
#include "tools/asiopeer/PeerWire.h"

#include <cstdint>
#include <string>

namespace peer {

using Handle = std::intptr_t;
constexpr Handle kNoHandle = -1;

// The help text's words for where the pipes are and what raw-frame puts on the wire.
extern const char* const kEndpointHelp;
extern const char* const kRawHelp;
extern const char* const kRawFrameHelp;

// Makes the standard streams write what the POSIX peer writes, byte for byte.
void prepareOutput();

// The full name of one pipe.
std::string endpointPath(const std::string& name);

// A listening pipe: its full name and the end the next client reaches.
struct Listener
{
    std::string path;
    Handle handle = kNoHandle;
    // On Windows a pipe without buffers, where a write waits for a read; a socket always
    // has its buffer.
    bool unbuffered = false;
};

// Listens on `listener.path`, refusing a pipe a live server already owns. False with a
// message in `problem` on failure.
bool listenOn(Listener& listener, std::string& problem);
// The next client, waiting up to `waitMs`; kNoHandle when none came. A Windows server
// hands the connected instance over and listens on a fresh one.
Handle acceptClient(Listener& listener, int waitMs);
// Reads until the client closes or `timeoutMs` passes without data.
Bytes receiveUntilClosed(Handle client, int timeoutMs);
void closeClient(Handle client);
// Stops listening; off Windows also removes the socket file.
void stopListening(Listener& listener);

// One message as it goes on the wire.
Bytes asMessage(const Bytes& payload);
// Connects to a listening pipe; kNoHandle on failure, lastProblem() says why.
Handle connectTo(const std::string& path);
// Writes every byte (one message on Windows) without raising SIGPIPE.
bool sendAll(Handle connection, const Bytes& bytes);
void closeConnection(Handle connection);

// The text of the last failed call's error.
std::string lastProblem();

} // namespace peer

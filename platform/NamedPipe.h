#pragma once
// Message pipes in the shape of the Win32 named-pipe calls. Plain C++ without Qt.
// Off Windows a pipe is a Unix socket in the endpoint folder carrying messages framed
// as a 32-bit little-endian length and the bytes.
#include "platform/PlatformTypes.h"

#include <string>

namespace platform {

// Server end (CreateNamedPipeW: duplex, message type and read mode, blocking, local
// clients only, unlimited instances, 65536-byte buffers, 300 ms default time-out). On
// Windows only the first instance of the name is made: while any other server holds
// it, also another session's, creation fails with error::AccessDenied.
NativeHandle createPipeServer(const std::wstring& name);
// ConnectNamedPipe: blocks until a client connects. A client that connected before
// the call makes it fail with error::PipeConnected, which callers count as success; one
// that connected and already left makes it fail with error::NoData, and the instance
// takes no one until it is disconnected.
bool connectPipeClient(NativeHandle server);
// ReadFile in message mode: one whole message of at most `size` bytes. A longer message
// fails with error::MoreData and nothing is copied; a client that has not delivered its
// message within 1000 ms fails it with error::Timeout, so no client holds the pipe.
bool readPipeMessage(NativeHandle server, void* buffer, std::uint32_t size,
                     std::uint32_t* bytesRead);
// DisconnectNamedPipe: drops the connected client, ready for the next one.
bool disconnectPipeClient(NativeHandle server);
// CloseHandle on the server; off Windows also removes the socket file.
void closePipeServer(NativeHandle server);

// The calling thread, as cancelPipeWait names it: on Windows a handle of its own (not
// the thread id, which a new thread may take once this one has ended), valid until
// releasePipeThread, also after the thread has ended.
std::uintptr_t currentPipeThread();
void releasePipeThread(std::uintptr_t thread);
// Ends a connectPipeClient or readPipeMessage that `thread` is blocked in now, so a
// client that connects and never writes cannot hold that thread: the call fails with
// error::OperationAborted. A thread that is not blocked is not affected. Off Windows
// those calls end by themselves (a stalled client is dropped after 1000 ms), so this
// does nothing there.
void cancelPipeWait(std::uintptr_t thread);

// Client end (CreateFileW with read and write access, no sharing, open-existing, and
// identification as the most the server may impersonate).
NativeHandle openPipeClient(const std::wstring& name);
// WriteFile: one message. A server that has not taken it within 1000 ms (one that never
// reads, once the pipe's buffer is full) fails it with error::Timeout.
bool writePipeMessage(NativeHandle client, const void* data, std::uint32_t size,
                      std::uint32_t* written);
void closePipeClient(NativeHandle client);

} // namespace platform

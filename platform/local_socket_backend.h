// What each local socket backend (local_socket_<os>.cpp) gives the portable loops
// (local_socket.cpp): one system call each on a non-blocking socket, its result
// sorted into what the loops act on. The deadlines and the loops stay portable.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::backend {

enum class SocketStep {
  kDone,     // bytes moved, a connection taken, or (a wait) the socket is ready
  kAgain,    // not ready yet, or interrupted: wait and try again
  kTimeout,  // a wait ran out
  kClosed,   // the other side is gone
  kFailed,
};

// Waits up to timeoutMs until `socket` is readable (with `write`: writable, or its
// connect failed): kDone, kTimeout, kAgain when interrupted, kFailed.
SocketStep SocketWait(std::intptr_t socket, bool write, int timeoutMs);
// Sends at most `size` bytes without waiting: kDone with the count in *sent.
SocketStep SocketSend(std::intptr_t socket, const void* data, std::size_t size, std::size_t* sent);
// Receives at most `size` bytes without waiting: kDone with at least one in
// *received; kClosed when the stream has ended.
SocketStep SocketReceive(std::intptr_t socket, void* data, std::size_t size, std::size_t* received);
// Takes a pending connection from a listening socket, set up as Connect's are:
// kDone with it in *accepted; kAgain when none is there (a client may have given up).
SocketStep SocketAccept(std::intptr_t listener, std::intptr_t* accepted);

}  // namespace platform::backend

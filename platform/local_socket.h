// Local stream sockets, the transport between the virtual D2XX library and the
// simulated unit. POSIX: Unix stream sockets at a path; Win32: TCP on the loopback
// address at a port. Every wait has a bound given by the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

enum class SocketResult {
  kOk,
  kTimeout,  // the wait ran out with nothing done
  kClosed,   // the other side is gone: ended the stream, or nobody listens there
  kInUse,    // Listen: a live listener holds the endpoint already
  kFailed,   // anything else, including a message cut short
};

class LocalSocket {
 public:
  LocalSocket() = default;
  LocalSocket(LocalSocket&& other) noexcept;
  LocalSocket& operator=(LocalSocket&& other) noexcept;
  LocalSocket(const LocalSocket&) = delete;
  LocalSocket& operator=(const LocalSocket&) = delete;
  ~LocalSocket();

  // Listens at the endpoint. POSIX creates the endpoint's folder when missing and
  // takes over a socket file left behind by a listener that died.
  static LocalSocket Listen(const std::string& endpoint, SocketResult* result, std::string* error);
  // Waits up to timeoutMs for the next connection to a listening socket.
  LocalSocket Accept(int timeoutMs, SocketResult* result);
  // kClosed when nobody listens at the endpoint.
  static LocalSocket Connect(const std::string& endpoint, int timeoutMs, SocketResult* result);

  SocketResult SendAll(const void* data, std::size_t size, int timeoutMs);
  // All `size` bytes, or: kTimeout when none arrived in time, kClosed when the
  // stream ended before the first, kFailed when it broke off in between.
  SocketResult ReceiveExact(void* data, std::size_t size, int timeoutMs);
  // Waits up to timeoutMs for bytes, then takes what is there, at most `most` (at
  // least one when kOk). For a peer that answers a request: the wait comes first,
  // so an answer costs one wait and one read.
  SocketResult ReceiveSome(void* data, std::size_t most, std::size_t* got, int timeoutMs);

  bool valid() const { return handle_ != kNone; }
  void Close();

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;  // descriptor (POSIX) or SOCKET (Win32)
  std::intptr_t lock_ = kNone;    // POSIX listener: the descriptor holding its lock file
  std::string path_;              // POSIX listener: the socket file, removed at Close
};

// Endpoint `index` of a numbered family under `base`: POSIX "<base>/<stem><index>.sock"
// (base a folder); Win32 the port base + index (base a port number). Empty when the
// base cannot give one.
std::string NumberedEndpoint(const std::string& base, const char* stem, int index);

// The per-user default base of a family called `name`: POSIX $XDG_RUNTIME_DIR/<name>,
// else /tmp/<name>-<uid>; Win32 `defaultPort`.
std::string DefaultEndpointBase(const char* name, std::uint16_t defaultPort);

}  // namespace platform

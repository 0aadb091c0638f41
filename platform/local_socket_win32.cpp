// Local stream sockets, Win32 backend: TCP on 127.0.0.1, the endpoint a port number.
// Winsock is started once, on first use (never from DllMain, where it must not be).
#if defined(_WIN32)
#include <windows.h>
#include <winsock2.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/local_socket.h"

namespace platform {
namespace {

using Steady = std::chrono::steady_clock;

bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

int Left(Steady::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

Steady::time_point DeadlineIn(int timeoutMs) {
  return Steady::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
}

// Waits until the socket is readable (or, with `write`, writable or failed to
// connect): > 0 ready, 0 timed out, < 0 failed.
int WaitFor(SOCKET socket, bool write, Steady::time_point deadline) {
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(socket, &ready);
  FD_SET(socket, &failed);
  const int left = Left(deadline);
  timeval wait{left / 1000, (left % 1000) * 1000};
  const int count = select(0, write ? nullptr : &ready, write ? &ready : nullptr,
                           write ? &failed : nullptr, &wait);
  if (count == SOCKET_ERROR) return -1;
  return count;
}

// The endpoint as a port on the loopback address; false for anything but a port.
bool MakeAddress(const std::string& endpoint, sockaddr_in* address) {
  char* end = nullptr;
  const long port = std::strtol(endpoint.c_str(), &end, 10);
  if (endpoint.empty() || end == nullptr || *end != '\0' || port <= 0 || port > 65535) return false;
  *address = sockaddr_in{};
  address->sin_family = AF_INET;
  address->sin_port = htons(static_cast<u_short>(port));
  address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return true;
}

SOCKET NewSocket() {
  SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (socket == INVALID_SOCKET) return socket;
  u_long nonBlocking = 1;
  ioctlsocket(socket, FIONBIO, &nonBlocking);
  // Small requests and answers go out at once rather than waiting for more.
  BOOL noDelay = TRUE;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
             sizeof noDelay);
  return socket;
}

std::string ErrorText(const char* what, const std::string& endpoint) {
  char text[160];
  std::snprintf(text, sizeof text, "%s 127.0.0.1:%s failed (error %d)", what, endpoint.c_str(),
                WSAGetLastError());
  return text;
}

}  // namespace

void LocalSocket::Close() {
  if (handle_ != kNone) closesocket(static_cast<SOCKET>(handle_));
  handle_ = kNone;
  lock_ = kNone;
  path_.clear();
}

LocalSocket LocalSocket::Listen(const std::string& endpoint, SocketResult* result,
                                std::string* error) {
  LocalSocket listener;
  *result = SocketResult::kFailed;
  sockaddr_in address;
  if (!MakeAddress(endpoint, &address)) {
    if (error != nullptr) *error = "not a port number: " + endpoint;
    return listener;
  }
  if (!StartWinsock()) {
    if (error != nullptr) *error = "cannot start Winsock";
    return listener;
  }
  SOCKET socket = NewSocket();
  if (socket == INVALID_SOCKET) {
    if (error != nullptr) *error = ErrorText("socket for", endpoint);
    return listener;
  }
  listener.handle_ = static_cast<std::intptr_t>(socket);
  // Without this another program could bind the same port over ours.
  BOOL exclusive = TRUE;
  setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
             sizeof exclusive);
  if (bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int code = WSAGetLastError();
    if (code == WSAEADDRINUSE || code == WSAEACCES) *result = SocketResult::kInUse;
    if (error != nullptr) *error = ErrorText("bind", endpoint);
    listener.Close();
    return listener;
  }
  if (listen(socket, 8) != 0) {
    if (error != nullptr) *error = ErrorText("listen", endpoint);
    listener.Close();
    return listener;
  }
  *result = SocketResult::kOk;
  return listener;
}

LocalSocket LocalSocket::Accept(int timeoutMs, SocketResult* result) {
  LocalSocket connection;
  const auto deadline = DeadlineIn(timeoutMs);
  const SOCKET listener = static_cast<SOCKET>(handle_);
  for (;;) {
    const int ready = WaitFor(listener, false, deadline);
    if (ready < 0) {
      *result = SocketResult::kFailed;
      return connection;
    }
    if (ready == 0) {
      *result = SocketResult::kTimeout;
      return connection;
    }
    SOCKET accepted = accept(listener, nullptr, nullptr);
    if (accepted != INVALID_SOCKET) {
      // An accepted socket inherits non-blocking mode; no delay is set anew.
      u_long nonBlocking = 1;
      ioctlsocket(accepted, FIONBIO, &nonBlocking);
      BOOL noDelay = TRUE;
      setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                 sizeof noDelay);
      connection.handle_ = static_cast<std::intptr_t>(accepted);
      *result = SocketResult::kOk;
      return connection;
    }
    // A client that gave up between the wake-up and the accept is no error.
    const int code = WSAGetLastError();
    if (code != WSAEWOULDBLOCK && code != WSAECONNRESET && code != WSAEINTR) {
      *result = SocketResult::kFailed;
      return connection;
    }
  }
}

LocalSocket LocalSocket::Connect(const std::string& endpoint, int timeoutMs, SocketResult* result) {
  LocalSocket connection;
  *result = SocketResult::kFailed;
  sockaddr_in address;
  if (!MakeAddress(endpoint, &address) || !StartWinsock()) return connection;
  SOCKET socket = NewSocket();
  if (socket == INVALID_SOCKET) return connection;
  connection.handle_ = static_cast<std::intptr_t>(socket);
  if (connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    *result = SocketResult::kOk;
    return connection;
  }
  int code = WSAGetLastError();
  if (code == WSAEWOULDBLOCK) {
    const int ready = WaitFor(socket, true, DeadlineIn(timeoutMs));
    if (ready == 0) {
      *result = SocketResult::kTimeout;
      connection.Close();
      return connection;
    }
    int failure = 0;
    int length = sizeof failure;
    if (ready > 0 &&
        getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&failure), &length) == 0 &&
        failure == 0) {
      *result = SocketResult::kOk;
      return connection;
    }
    code = ready > 0 ? failure : WSAGetLastError();
  }
  if (code == WSAECONNREFUSED) *result = SocketResult::kClosed;
  connection.Close();
  return connection;
}

SocketResult LocalSocket::SendAll(const void* data, std::size_t size, int timeoutMs) {
  if (handle_ == kNone) return SocketResult::kFailed;
  const char* bytes = static_cast<const char*>(data);
  const SOCKET socket = static_cast<SOCKET>(handle_);
  const auto deadline = DeadlineIn(timeoutMs);
  std::size_t sent = 0;
  while (sent < size) {
    const std::size_t chunk = size - sent > 0x10000 ? 0x10000 : size - sent;
    const int count = send(socket, bytes + sent, static_cast<int>(chunk), 0);
    if (count != SOCKET_ERROR) {
      sent += static_cast<std::size_t>(count);
      continue;
    }
    const int code = WSAGetLastError();
    if (code == WSAECONNRESET || code == WSAECONNABORTED || code == WSAESHUTDOWN)
      return SocketResult::kClosed;
    if (code != WSAEWOULDBLOCK && code != WSAEINTR) return SocketResult::kFailed;
    const int ready = WaitFor(socket, true, deadline);
    if (ready < 0) return SocketResult::kFailed;
    if (ready == 0) return sent == 0 ? SocketResult::kTimeout : SocketResult::kFailed;
  }
  return SocketResult::kOk;
}

SocketResult LocalSocket::ReceiveExact(void* data, std::size_t size, int timeoutMs) {
  if (handle_ == kNone) return SocketResult::kFailed;
  char* bytes = static_cast<char*>(data);
  const SOCKET socket = static_cast<SOCKET>(handle_);
  const auto deadline = DeadlineIn(timeoutMs);
  std::size_t received = 0;
  while (received < size) {
    const std::size_t chunk = size - received > 0x10000 ? 0x10000 : size - received;
    const int count = recv(socket, bytes + received, static_cast<int>(chunk), 0);
    if (count > 0) {
      received += static_cast<std::size_t>(count);
      continue;
    }
    const int code = count == 0 ? 0 : WSAGetLastError();
    if (count == 0 || code == WSAECONNRESET || code == WSAECONNABORTED)
      return received == 0 ? SocketResult::kClosed : SocketResult::kFailed;
    if (code != WSAEWOULDBLOCK && code != WSAEINTR) return SocketResult::kFailed;
    const int ready = WaitFor(socket, false, deadline);
    if (ready < 0) return SocketResult::kFailed;
    if (ready == 0) return received == 0 ? SocketResult::kTimeout : SocketResult::kFailed;
  }
  return SocketResult::kOk;
}

SocketResult LocalSocket::ReceiveSome(void* data, std::size_t most, std::size_t* got,
                                      int timeoutMs) {
  *got = 0;
  if (handle_ == kNone || most == 0) return SocketResult::kFailed;
  const SOCKET socket = static_cast<SOCKET>(handle_);
  const auto deadline = DeadlineIn(timeoutMs);
  const int chunk = most > 0x10000 ? 0x10000 : static_cast<int>(most);
  for (;;) {
    const int ready = WaitFor(socket, false, deadline);
    if (ready < 0) return SocketResult::kFailed;
    if (ready == 0) return SocketResult::kTimeout;
    const int count = recv(socket, static_cast<char*>(data), chunk, 0);
    if (count > 0) {
      *got = static_cast<std::size_t>(count);
      return SocketResult::kOk;
    }
    const int code = count == 0 ? 0 : WSAGetLastError();
    if (count == 0 || code == WSAECONNRESET || code == WSAECONNABORTED) return SocketResult::kClosed;
    if (code != WSAEWOULDBLOCK && code != WSAEINTR) return SocketResult::kFailed;
  }
}

std::string NumberedEndpoint(const std::string& base, const char* /*stem: POSIX only*/, int index) {
  sockaddr_in address;
  if (index < 0 || !MakeAddress(base, &address)) return std::string();
  const long port = std::strtol(base.c_str(), nullptr, 10) + index;
  if (port > 65535) return std::string();
  return std::to_string(port);
}

std::string DefaultEndpointBase(const char* /*name: POSIX only*/, std::uint16_t defaultPort) {
  return std::to_string(defaultPort);
}

}  // namespace platform
#endif  // _WIN32

// Local stream sockets, Win32 backend: TCP on 127.0.0.1, the endpoint a port number.
// Winsock is started once, on first use (never from DllMain, where it must not be).
#if defined(_WIN32)
#include <windows.h>
#include <winsock2.h>

#include <cstdio>
#include <cstdlib>

#include "platform/local_socket.h"
#include "platform/local_socket_backend.h"

namespace platform {
namespace {

using backend::SocketStep;

bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

// A call that found the socket not ready, or was interrupted: wait and try again.
bool Again(int code) {
  return code == WSAEWOULDBLOCK || code == WSAEINTR;
}

// Winsock takes a length as an int: at most this much a call.
std::size_t Chunk(std::size_t size) {
  return size > 0x10000 ? 0x10000 : size;
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

// Non-blocking, and with no delay: small requests and answers go out at once rather
// than waiting for more.
void SetUp(SOCKET socket) {
  u_long nonBlocking = 1;
  ioctlsocket(socket, FIONBIO, &nonBlocking);
  BOOL noDelay = TRUE;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
             sizeof noDelay);
}

SOCKET NewSocket() {
  SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (socket != INVALID_SOCKET) SetUp(socket);
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
    const SocketStep ready =
        backend::SocketWait(connection.handle_, true, timeoutMs > 0 ? timeoutMs : 0);
    if (ready == SocketStep::kTimeout) {
      *result = SocketResult::kTimeout;
      connection.Close();
      return connection;
    }
    int failure = 0;
    int length = sizeof failure;
    if (ready == SocketStep::kDone &&
        getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&failure), &length) == 0 &&
        failure == 0) {
      *result = SocketResult::kOk;
      return connection;
    }
    code = ready == SocketStep::kDone ? failure : WSAGetLastError();
  }
  if (code == WSAECONNREFUSED) *result = SocketResult::kClosed;
  connection.Close();
  return connection;
}

SocketStep backend::SocketWait(std::intptr_t socket, bool write, int timeoutMs) {
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(static_cast<SOCKET>(socket), &ready);
  FD_SET(static_cast<SOCKET>(socket), &failed);
  timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int count = select(0, write ? nullptr : &ready, write ? &ready : nullptr,
                           write ? &failed : nullptr, &wait);
  if (count == SOCKET_ERROR) return SocketStep::kFailed;
  return count > 0 ? SocketStep::kDone : SocketStep::kTimeout;
}

SocketStep backend::SocketSend(std::intptr_t socket, const void* data, std::size_t size,
                               std::size_t* sent) {
  const int count = send(static_cast<SOCKET>(socket), static_cast<const char*>(data),
                         static_cast<int>(Chunk(size)), 0);
  if (count != SOCKET_ERROR) {
    *sent = static_cast<std::size_t>(count);
    return SocketStep::kDone;
  }
  const int code = WSAGetLastError();
  if (code == WSAECONNRESET || code == WSAECONNABORTED || code == WSAESHUTDOWN)
    return SocketStep::kClosed;
  return Again(code) ? SocketStep::kAgain : SocketStep::kFailed;
}

SocketStep backend::SocketReceive(std::intptr_t socket, void* data, std::size_t size,
                                  std::size_t* received) {
  const int count =
      recv(static_cast<SOCKET>(socket), static_cast<char*>(data), static_cast<int>(Chunk(size)), 0);
  if (count > 0) {
    *received = static_cast<std::size_t>(count);
    return SocketStep::kDone;
  }
  const int code = count == 0 ? 0 : WSAGetLastError();
  if (count == 0 || code == WSAECONNRESET || code == WSAECONNABORTED) return SocketStep::kClosed;
  return Again(code) ? SocketStep::kAgain : SocketStep::kFailed;
}

SocketStep backend::SocketAccept(std::intptr_t listener, std::intptr_t* accepted) {
  SOCKET socket = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
  if (socket != INVALID_SOCKET) {
    // An accepted socket inherits non-blocking mode; no delay is set anew.
    SetUp(socket);
    *accepted = static_cast<std::intptr_t>(socket);
    return SocketStep::kDone;
  }
  // A client that gave up between the wake-up and the accept is no error.
  const int code = WSAGetLastError();
  return Again(code) || code == WSAECONNRESET ? SocketStep::kAgain : SocketStep::kFailed;
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

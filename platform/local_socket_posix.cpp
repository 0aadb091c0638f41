// Local stream sockets, POSIX backend: Unix stream sockets at a path. A listener
// holds a lock file beside its socket for its whole life, so a socket file whose
// lock is free is known to be left over and can be taken over safely.
#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/local_socket.h"

namespace platform {
namespace {

using Steady = std::chrono::steady_clock;

// Milliseconds left until the deadline, never below zero.
int Left(Steady::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

Steady::time_point DeadlineIn(int timeoutMs) {
  return Steady::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
}

// Waits for `events` on the descriptor: > 0 ready, 0 timed out, < 0 failed.
int WaitFor(int fd, short events, Steady::time_point deadline) {
  for (;;) {
    pollfd waiting{fd, events, 0};
    const int ready = poll(&waiting, 1, Left(deadline));
    if (ready >= 0) return ready;
    if (errno != EINTR) return -1;
  }
}

bool MakeAddress(const std::string& path, sockaddr_un* address) {
  if (path.empty() || path.size() >= sizeof address->sun_path) return false;
  *address = sockaddr_un{};
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path, path.data(), path.size());
  return true;
}

std::string Folder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return std::string();
  return path.substr(0, slash);
}

void SetError(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
}

}  // namespace

void LocalSocket::Close() {
  if (handle_ != kNone) close(static_cast<int>(handle_));
  if (!path_.empty()) unlink(path_.c_str());
  // The lock goes last: until then no other listener may take the path over.
  // The lock file itself stays, since removing it would race with a new listener.
  if (lock_ != kNone) close(static_cast<int>(lock_));
  handle_ = kNone;
  lock_ = kNone;
  path_.clear();
}

LocalSocket LocalSocket::Listen(const std::string& endpoint, SocketResult* result,
                                std::string* error) {
  LocalSocket listener;
  *result = SocketResult::kFailed;
  sockaddr_un address;
  if (!MakeAddress(endpoint, &address)) {
    SetError(error, "socket path empty or too long: " + endpoint);
    return listener;
  }
  // The endpoint's folder is private to the user who makes it.
  const std::string folder = Folder(endpoint);
  if (!folder.empty() && mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    SetError(error, "cannot create " + folder + ": " + std::strerror(errno));
    return listener;
  }
  const std::string lockPath = endpoint + ".lock";
  int lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0) {
    SetError(error, "cannot open " + lockPath + ": " + std::strerror(errno));
    return listener;
  }
  listener.lock_ = lock;
  if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      *result = SocketResult::kInUse;
      SetError(error, "in use: " + endpoint);
    } else {
      SetError(error, "cannot lock " + lockPath + ": " + std::strerror(errno));
    }
    listener.Close();
    return listener;
  }
  // We hold the lock: a socket file still there was left by a listener that died.
  struct stat status {};
  if (lstat(endpoint.c_str(), &status) == 0) {
    if (!S_ISSOCK(status.st_mode)) {
      SetError(error, "not a socket: " + endpoint);
      listener.Close();
      return listener;
    }
    unlink(endpoint.c_str());
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    SetError(error, std::string("cannot create a socket: ") + std::strerror(errno));
    listener.Close();
    return listener;
  }
  listener.handle_ = fd;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    SetError(error, "cannot bind " + endpoint + ": " + std::strerror(errno));
    listener.Close();
    return listener;
  }
  listener.path_ = endpoint;
  if (listen(fd, 8) != 0) {
    SetError(error, "cannot listen at " + endpoint + ": " + std::strerror(errno));
    listener.Close();
    return listener;
  }
  *result = SocketResult::kOk;
  return listener;
}

LocalSocket LocalSocket::Accept(int timeoutMs, SocketResult* result) {
  LocalSocket connection;
  const auto deadline = DeadlineIn(timeoutMs);
  const int fd = static_cast<int>(handle_);
  for (;;) {
    const int ready = WaitFor(fd, POLLIN, deadline);
    if (ready < 0) {
      *result = SocketResult::kFailed;
      return connection;
    }
    if (ready == 0) {
      *result = SocketResult::kTimeout;
      return connection;
    }
    const int accepted = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (accepted >= 0) {
      connection.handle_ = accepted;
      *result = SocketResult::kOk;
      return connection;
    }
    // A client that gave up between the wake-up and the accept is no error.
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
      *result = SocketResult::kFailed;
      return connection;
    }
  }
}

LocalSocket LocalSocket::Connect(const std::string& endpoint, int timeoutMs, SocketResult* result) {
  LocalSocket connection;
  *result = SocketResult::kFailed;
  sockaddr_un address;
  if (!MakeAddress(endpoint, &address)) return connection;
  const auto deadline = DeadlineIn(timeoutMs);
  for (;;) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return connection;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      connection.handle_ = fd;
      *result = SocketResult::kOk;
      return connection;
    }
    const int code = errno;
    close(fd);
    if (code == ENOENT || code == ECONNREFUSED) {
      *result = SocketResult::kClosed;
      return connection;
    }
    // A full backlog answers EAGAIN at once (a Unix socket never connects in the
    // background): try again after a short pause until the bound.
    if (code != EAGAIN && code != EINTR) return connection;
    if (Left(deadline) == 0) {
      *result = SocketResult::kTimeout;
      return connection;
    }
    poll(nullptr, 0, 10);
  }
}

SocketResult LocalSocket::SendAll(const void* data, std::size_t size, int timeoutMs) {
  if (handle_ == kNone) return SocketResult::kFailed;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  const int fd = static_cast<int>(handle_);
  const auto deadline = DeadlineIn(timeoutMs);
  std::size_t sent = 0;
  while (sent < size) {
    const ssize_t count = send(fd, bytes + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (count >= 0) {
      sent += static_cast<std::size_t>(count);
      continue;
    }
    if (errno == EPIPE || errno == ECONNRESET) return SocketResult::kClosed;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return SocketResult::kFailed;
    const int ready = WaitFor(fd, POLLOUT, deadline);
    if (ready < 0) return SocketResult::kFailed;
    if (ready == 0) return sent == 0 ? SocketResult::kTimeout : SocketResult::kFailed;
  }
  return SocketResult::kOk;
}

SocketResult LocalSocket::ReceiveExact(void* data, std::size_t size, int timeoutMs) {
  if (handle_ == kNone) return SocketResult::kFailed;
  auto* bytes = static_cast<std::uint8_t*>(data);
  const int fd = static_cast<int>(handle_);
  const auto deadline = DeadlineIn(timeoutMs);
  std::size_t received = 0;
  while (received < size) {
    const ssize_t count = recv(fd, bytes + received, size - received, MSG_DONTWAIT);
    if (count > 0) {
      received += static_cast<std::size_t>(count);
      continue;
    }
    if (count == 0 || errno == ECONNRESET)
      return received == 0 ? SocketResult::kClosed : SocketResult::kFailed;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return SocketResult::kFailed;
    const int ready = WaitFor(fd, POLLIN, deadline);
    if (ready < 0) return SocketResult::kFailed;
    if (ready == 0) return received == 0 ? SocketResult::kTimeout : SocketResult::kFailed;
  }
  return SocketResult::kOk;
}

SocketResult LocalSocket::ReceiveSome(void* data, std::size_t most, std::size_t* got,
                                      int timeoutMs) {
  *got = 0;
  if (handle_ == kNone || most == 0) return SocketResult::kFailed;
  const int fd = static_cast<int>(handle_);
  const auto deadline = DeadlineIn(timeoutMs);
  for (;;) {
    const int ready = WaitFor(fd, POLLIN, deadline);
    if (ready < 0) return SocketResult::kFailed;
    if (ready == 0) return SocketResult::kTimeout;
    const ssize_t count = recv(fd, data, most, MSG_DONTWAIT);
    if (count > 0) {
      *got = static_cast<std::size_t>(count);
      return SocketResult::kOk;
    }
    if (count == 0 || errno == ECONNRESET) return SocketResult::kClosed;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return SocketResult::kFailed;
  }
}

std::string NumberedEndpoint(const std::string& base, const char* stem, int index) {
  if (base.empty() || index < 0) return std::string();
  return base + "/" + stem + std::to_string(index) + ".sock";
}

std::string DefaultEndpointBase(const char* name, std::uint16_t /*defaultPort: Win32 only*/) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] != '\0') return std::string(runtime) + "/" + name;
  return std::string("/tmp/") + name + "-" + std::to_string(getuid());
}

}  // namespace platform
#endif  // !_WIN32

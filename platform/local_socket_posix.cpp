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
#include "platform/local_socket_backend.h"

namespace platform {
namespace {

using backend::SocketStep;

// A call that found the socket not ready, or was interrupted: wait and try again.
bool Again(int code) {
  return code == EAGAIN || code == EWOULDBLOCK || code == EINTR;
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

LocalSocket LocalSocket::Connect(const std::string& endpoint, int timeoutMs, SocketResult* result) {
  LocalSocket connection;
  *result = SocketResult::kFailed;
  sockaddr_un address;
  if (!MakeAddress(endpoint, &address)) return connection;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
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
    if (std::chrono::steady_clock::now() >= deadline) {
      *result = SocketResult::kTimeout;
      return connection;
    }
    poll(nullptr, 0, 10);
  }
}

SocketStep backend::SocketWait(std::intptr_t socket, bool write, int timeoutMs) {
  pollfd waiting{static_cast<int>(socket), static_cast<short>(write ? POLLOUT : POLLIN), 0};
  const int ready = poll(&waiting, 1, timeoutMs);
  if (ready > 0) return SocketStep::kDone;
  if (ready == 0) return SocketStep::kTimeout;
  return errno == EINTR ? SocketStep::kAgain : SocketStep::kFailed;
}

SocketStep backend::SocketSend(std::intptr_t socket, const void* data, std::size_t size,
                               std::size_t* sent) {
  const ssize_t count = send(static_cast<int>(socket), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (count >= 0) {
    *sent = static_cast<std::size_t>(count);
    return SocketStep::kDone;
  }
  if (errno == EPIPE || errno == ECONNRESET) return SocketStep::kClosed;
  return Again(errno) ? SocketStep::kAgain : SocketStep::kFailed;
}

SocketStep backend::SocketReceive(std::intptr_t socket, void* data, std::size_t size,
                                  std::size_t* received) {
  const ssize_t count = recv(static_cast<int>(socket), data, size, MSG_DONTWAIT);
  if (count > 0) {
    *received = static_cast<std::size_t>(count);
    return SocketStep::kDone;
  }
  if (count == 0 || errno == ECONNRESET) return SocketStep::kClosed;
  return Again(errno) ? SocketStep::kAgain : SocketStep::kFailed;
}

SocketStep backend::SocketAccept(std::intptr_t listener, std::intptr_t* accepted) {
  const int fd =
      accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd >= 0) {
    *accepted = fd;
    return SocketStep::kDone;
  }
  // A client that gave up between the wake-up and the accept is no error.
  return Again(errno) || errno == ECONNABORTED ? SocketStep::kAgain : SocketStep::kFailed;
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

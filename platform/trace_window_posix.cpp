// Trace lines, POSIX backend: a Unix datagram socket at TraceEndpoint(). The
// catcher binds it; a sender connects once and keeps the connection, and drops
// lines while no catcher is bound. A send waits at most briefly for a full catcher.
#if !defined(_WIN32)
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/trace_window.h"

namespace platform {
namespace {

bool Fits(const std::string& path) {
  return path.size() < sizeof(sockaddr_un::sun_path);
}

// False when the path does not fit the socket address.
bool MakeAddress(const std::string& path, sockaddr_un* address) {
  if (path.empty() || !Fits(path)) return false;
  *address = sockaddr_un{};
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path, path.data(), path.size());
  return true;
}

int ConnectTo(const std::string& path) {
  sockaddr_un address;
  if (!MakeAddress(path, &address)) return -1;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// How long a sender waits for room in the catcher's queue before dropping a line.
constexpr int kStallWaitMs = 2000;

// Longest line a catcher takes whole; senders cut theirs far below this.
constexpr std::size_t kMaxDatagram = 65536;

// Lines waiting in a test catcher nobody reads are not kept without end.
constexpr std::size_t kMaxPending = 65536;

}  // namespace

std::string TraceEndpoint() {
  const char* chosen = std::getenv("SNAGVIEW_SOCKET");
  if (chosen != nullptr && chosen[0] != '\0') return chosen;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] != '\0') {
    std::string path = std::string(runtime) + "/snagview.sock";
    // A runtime folder too deep for a socket address falls back to /tmp.
    if (Fits(path)) return path;
  }
  return "/tmp/snagview-" + std::to_string(getuid()) + ".sock";
}

TraceWindow::~TraceWindow() {
  if (found_) close(static_cast<int>(target_));
}

void TraceWindow::Send(const char* text) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!found_) {
    int fd = ConnectTo(TraceEndpoint());
    if (fd < 0) return;  // no catcher: the line is dropped
    target_ = fd;
    found_ = true;
  }
  const int fd = static_cast<int>(target_);
  const std::size_t length = std::strlen(text) + 1;
  if (send(fd, text, length, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) {
    stalled_ = false;
    return;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK) {
    // The catcher's queue is full: it holds only a handful of lines, and a burst
    // of trace lines fills it at once. Wait a little for room, like a window
    // sender waits for its catcher; a catcher that lets that wait run out is
    // taken for stalled and its lines are dropped without waiting until it takes
    // one again, so a stopped catcher never slows the sender down for long.
    if (stalled_) return;
    pollfd room{fd, POLLOUT, 0};
    if (poll(&room, 1, kStallWaitMs) > 0 &&
        send(fd, text, length, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0)
      return;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      stalled_ = true;
      return;
    }
  }
  // The catcher went away (perhaps to come back at the same path): connect anew
  // for the next line.
  close(fd);
  target_ = 0;
  found_ = false;
  stalled_ = false;
}

TraceCatcher::TraceCatcher(bool /*visible: a console program shows nothing else*/) {
  path_ = TraceEndpoint();
  sockaddr_un address;
  if (!MakeAddress(path_, &address)) {
    error_ = "trace socket path too long: " + path_;
    return;
  }
  // A socket file nobody listens at is left over from a catcher that was killed;
  // one somebody still listens at belongs to a live catcher and is not taken over.
  struct stat status {};
  if (lstat(path_.c_str(), &status) == 0) {
    if (!S_ISSOCK(status.st_mode)) {
      error_ = "not a socket: " + path_;
      return;
    }
    int probe = ConnectTo(path_);
    if (probe >= 0) {
      close(probe);
      error_ = "another trace catcher is listening at " + path_;
      return;
    }
    unlink(path_.c_str());
  }
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error_ = std::string("cannot create the trace socket: ") + std::strerror(errno);
    return;
  }
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error_ = "cannot bind " + path_ + ": " + std::strerror(errno);
    close(fd);
    return;
  }
  endpoint_ = fd;
  ok_ = true;
}

TraceCatcher::~TraceCatcher() {
  if (!ok_) return;
  close(static_cast<int>(endpoint_));
  unlink(path_.c_str());
}

void TraceCatcher::Deliver(std::string line) {
  if (pending_.size() >= kMaxPending) pending_.pop_front();
  pending_.push_back(std::move(line));
}

bool TraceCatcher::Receive(std::string& line, int timeoutMs) {
  if (!pending_.empty()) {
    line = std::move(pending_.front());
    pending_.pop_front();
    return true;
  }
  if (!ok_) return false;
  using Steady = std::chrono::steady_clock;
  const auto deadline = Steady::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
  const int fd = static_cast<int>(endpoint_);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
    pollfd waiting{fd, POLLIN, 0};
    int ready = poll(&waiting, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready < 0 && errno != EINTR) return false;
    if (ready > 0) {
      std::string buffer(kMaxDatagram, '\0');
      ssize_t received = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (received >= 0) {
        // The text ends at its terminating zero (or at the datagram's end).
        const auto size = static_cast<std::size_t>(received);
        const std::size_t length = strnlen(buffer.data(), size);
        line.assign(buffer.data(), length);
        return true;
      }
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    }
    if (left <= 0) return false;
  }
}

}  // namespace platform
#endif  // !_WIN32

// Local stream sockets: what both backends share (moving and releasing a socket, the
// deadlines, and the loops that accept, send and receive, one backend call at a time).
#include "platform/local_socket.h"

#include <chrono>
#include <utility>

#include "platform/local_socket_backend.h"

namespace platform {
namespace {

using backend::SocketStep;
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

}  // namespace

LocalSocket::LocalSocket(LocalSocket&& other) noexcept {
  *this = std::move(other);
}

LocalSocket& LocalSocket::operator=(LocalSocket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, kNone);
    lock_ = std::exchange(other.lock_, kNone);
    path_ = std::exchange(other.path_, std::string());
  }
  return *this;
}

LocalSocket::~LocalSocket() {
  Close();
}

LocalSocket LocalSocket::Accept(int timeoutMs, SocketResult* result) {
  LocalSocket connection;
  const auto deadline = DeadlineIn(timeoutMs);
  for (;;) {
    const SocketStep ready = backend::SocketWait(handle_, false, Left(deadline));
    if (ready == SocketStep::kTimeout || ready == SocketStep::kFailed) {
      *result = ready == SocketStep::kTimeout ? SocketResult::kTimeout : SocketResult::kFailed;
      return connection;
    }
    if (ready != SocketStep::kDone) continue;  // interrupted: wait out the rest
    std::intptr_t accepted = kNone;
    const SocketStep step = backend::SocketAccept(handle_, &accepted);
    if (step == SocketStep::kDone) {
      connection.handle_ = accepted;
      *result = SocketResult::kOk;
      return connection;
    }
    if (step != SocketStep::kAgain) {
      *result = SocketResult::kFailed;
      return connection;
    }
  }
}

SocketResult LocalSocket::SendAll(const void* data, std::size_t size, int timeoutMs) {
  if (handle_ == kNone) return SocketResult::kFailed;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  const auto deadline = DeadlineIn(timeoutMs);
  std::size_t sent = 0;
  while (sent < size) {
    std::size_t count = 0;
    const SocketStep step = backend::SocketSend(handle_, bytes + sent, size - sent, &count);
    if (step == SocketStep::kDone) {
      sent += count;
      continue;
    }
    if (step == SocketStep::kClosed) return SocketResult::kClosed;
    if (step != SocketStep::kAgain) return SocketResult::kFailed;
    const SocketStep ready = backend::SocketWait(handle_, true, Left(deadline));
    if (ready == SocketStep::kFailed) return SocketResult::kFailed;
    if (ready == SocketStep::kTimeout)
      return sent == 0 ? SocketResult::kTimeout : SocketResult::kFailed;
  }
  return SocketResult::kOk;
}

SocketResult LocalSocket::ReceiveExact(void* data, std::size_t size, int timeoutMs) {
  if (handle_ == kNone) return SocketResult::kFailed;
  auto* bytes = static_cast<std::uint8_t*>(data);
  const auto deadline = DeadlineIn(timeoutMs);
  std::size_t received = 0;
  while (received < size) {
    std::size_t count = 0;
    const SocketStep step =
        backend::SocketReceive(handle_, bytes + received, size - received, &count);
    if (step == SocketStep::kDone) {
      received += count;
      continue;
    }
    // A stream that ends between the first byte and the last broke a message.
    if (step == SocketStep::kClosed)
      return received == 0 ? SocketResult::kClosed : SocketResult::kFailed;
    if (step != SocketStep::kAgain) return SocketResult::kFailed;
    const SocketStep ready = backend::SocketWait(handle_, false, Left(deadline));
    if (ready == SocketStep::kFailed) return SocketResult::kFailed;
    if (ready == SocketStep::kTimeout)
      return received == 0 ? SocketResult::kTimeout : SocketResult::kFailed;
  }
  return SocketResult::kOk;
}

SocketResult LocalSocket::ReceiveSome(void* data, std::size_t most, std::size_t* got,
                                      int timeoutMs) {
  *got = 0;
  if (handle_ == kNone || most == 0) return SocketResult::kFailed;
  const auto deadline = DeadlineIn(timeoutMs);
  for (;;) {
    const SocketStep ready = backend::SocketWait(handle_, false, Left(deadline));
    if (ready == SocketStep::kFailed) return SocketResult::kFailed;
    if (ready == SocketStep::kTimeout) return SocketResult::kTimeout;
    if (ready != SocketStep::kDone) continue;  // interrupted: wait out the rest
    std::size_t count = 0;
    const SocketStep step = backend::SocketReceive(handle_, data, most, &count);
    if (step == SocketStep::kDone) {
      *got = count;
      return SocketResult::kOk;
    }
    if (step == SocketStep::kClosed) return SocketResult::kClosed;
    if (step != SocketStep::kAgain) return SocketResult::kFailed;
  }
}

}  // namespace platform

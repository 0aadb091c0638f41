// Local stream sockets: what both backends share (moving and releasing a socket).
#include "platform/local_socket.h"

#include <utility>

namespace platform {

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

}  // namespace platform

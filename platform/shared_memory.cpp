// Named shared memory: what both backends share (moving and releasing a block).
#include "platform/shared_memory.h"

#include <utility>

namespace platform {

SharedMemory::SharedMemory(SharedMemory&& other) noexcept {
  *this = std::move(other);
}

SharedMemory& SharedMemory::operator=(SharedMemory&& other) noexcept {
  if (this != &other) {
    Close();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    handle_ = std::exchange(other.handle_, -1);
    unlinkName_ = std::exchange(other.unlinkName_, std::string());
  }
  return *this;
}

SharedMemory::~SharedMemory() {
  Close();
}

}  // namespace platform

// Run-time loading: what both backends share (moving and releasing a library, and
// the text a failed load gives).
#include "platform/dynamic_library.h"

#include <utility>

#include "platform/dynamic_library_backend.h"

namespace platform {

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    Unload();
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

DynamicLibrary::~DynamicLibrary() {
  Unload();
}

DynamicLibrary DynamicLibrary::Load(const std::string& path, std::string* error,
                                    const std::string& what) {
  DynamicLibrary library;
  std::string reason;
  library.handle_ = backend::OpenLibrary(path, &reason);
  if (library.handle_ == nullptr && error != nullptr)
    *error = "Cannot load " + what + path + ": " + reason;
  return library;
}

void DynamicLibrary::Unload() {
  if (handle_ != nullptr) backend::CloseLibrary(handle_);
  handle_ = nullptr;
}

}  // namespace platform

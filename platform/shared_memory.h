// Named shared memory: the block a unit's driver process and its host applications
// share. Win32: a paging-file mapping with a null DACL; POSIX: shm_open("/" + name)
// with mode 0660, for the creator's group or the one TARVEX_GROUP names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

struct SharedMemoryError {
  // The step that failed, named as the system reports it: "CreateFileMapping" for
  // creating or opening the block, "MapViewOfFile" for mapping its view.
  const char* call = "";
  int code = 0;       // system error number
  std::string text;   // the system's text for it, without a closing line break
  bool accessDenied = false;  // the block is there, but not for this account
};

class SharedMemory {
 public:
  SharedMemory() = default;
  SharedMemory(SharedMemory&& other) noexcept;
  SharedMemory& operator=(SharedMemory&& other) noexcept;
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;
  ~SharedMemory();

  // Creates the block, or opens it when one of that name exists; both are
  // accepted alike. Windows: access is open to every user. POSIX: a block this call
  // creates is read-write for its owner and group (the creator's, or TARVEX_GROUP's);
  // an existing one keeps its mode and group. Maps `size` bytes.
  static SharedMemory CreateOrOpen(const std::string& name, std::size_t size,
                                   SharedMemoryError* error);
  // Opens an existing block only; fails when there is none or it is smaller than `size`.
  static SharedMemory OpenExisting(const std::string& name, std::size_t size,
                                   SharedMemoryError* error);

  bool valid() const { return data_ != nullptr; }
  std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  void Close();

 private:
  bool MapView(std::size_t size, SharedMemoryError* error);  // maps the open handle

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::intptr_t handle_ = -1;  // mapping handle (Win32) or descriptor (POSIX)
  std::string unlinkName_;     // POSIX: set when we created the name (see Close)
};

}  // namespace platform

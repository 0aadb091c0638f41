// Named shared memory, POSIX backend: shm_open("/" + name), read-write for its owner
// and one group, and a shared mapping. A name this process created is removed again
// when the block is closed, so it vanishes with its maker as a Windows mapping does.
#if !defined(_WIN32)
#include <fcntl.h>
#include <grp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/shared_memory.h"

namespace platform {
namespace {

// Reports a failed step and closes what was opened so far. Always false.
bool Fail(SharedMemory* block, SharedMemoryError* error, const char* call, int code) {
  if (error != nullptr) {
    error->call = call;
    error->code = code;
    error->text = std::strerror(code);
    error->accessDenied = code == EACCES || code == EPERM;
  }
  block->Close();
  return false;
}

// Owner and group only: a block any local account could write would let it raise a
// payout target. The group is the creator's, or the one TARVEX_GROUP names, so the
// unit's process and the host applications can run under different accounts.
constexpr mode_t kOwnerAndGroup = 0660;
constexpr const char* kGroupVariable = "TARVEX_GROUP";

// Gives a block just created to the group TARVEX_GROUP names, when it names one.
// A group that does not exist or cannot be given is an error: a block left to the
// wrong group would shut its users out with nothing to say why.
bool GiveToNamedGroup(int fd, SharedMemoryError* error) {
  const char* name = std::getenv(kGroupVariable);
  if (name == nullptr || *name == '\0') return true;
  auto fail = [&](int code, const std::string& text) {
    if (error != nullptr) {
      error->call = "CreateFileMapping";
      error->code = code;
      error->text = text;
    }
    return false;
  };
  const std::string named = std::string("group \"") + name + "\" (named by " + kGroupVariable + ")";
  // A group with many members needs a bigger buffer than sysconf suggests.
  std::vector<char> buffer(4096);
  group entry{};
  group* found = nullptr;
  int code = 0;
  while ((code = getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (code != 0) return fail(code, "cannot look up " + named + ": " + std::strerror(code));
  if (found == nullptr) return fail(ENOENT, "no " + named);
  if (fchown(fd, static_cast<uid_t>(-1), entry.gr_gid) != 0) {
    code = errno;
    return fail(code, "cannot give the block to " + named + ": " + std::strerror(code));
  }
  return true;
}

}  // namespace

void SharedMemory::Close() {
  if (data_ != nullptr) munmap(data_, size_);
  if (handle_ >= 0) close(static_cast<int>(handle_));
  if (!unlinkName_.empty()) shm_unlink(unlinkName_.c_str());
  data_ = nullptr;
  size_ = 0;
  handle_ = -1;
  unlinkName_.clear();
}

// Maps `size` bytes of the object open on handle_. A block smaller than that is
// refused (mapping past its end would fault on first touch), at the step where
// Windows refuses it. On failure the block is closed.
bool SharedMemory::MapView(std::size_t size, SharedMemoryError* error) {
  const int fd = static_cast<int>(handle_);
  struct stat status {};
  if (fstat(fd, &status) != 0) return Fail(this, error, "CreateFileMapping", errno);
  if (static_cast<std::size_t>(status.st_size) < size) {
    return Fail(this, error, "MapViewOfFile", EINVAL);
  }
  void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) return Fail(this, error, "MapViewOfFile", errno);
  data_ = static_cast<std::uint8_t*>(view);
  size_ = size;
  return true;
}

SharedMemory SharedMemory::CreateOrOpen(const std::string& name, std::size_t size,
                                        SharedMemoryError* error) {
  const std::string path = "/" + name;
  SharedMemory block;
  // Exclusive creation first, so we know whether the name is ours to remove later.
  // Between a failed exclusive create and the plain open the owner may have removed
  // the name again; a few rounds settle that race.
  int fd = -1;
  for (int attempt = 0; attempt < 5 && fd < 0; ++attempt) {
    fd = shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kOwnerAndGroup);
    if (fd >= 0) {
      block.unlinkName_ = path;
      break;
    }
    if (errno != EEXIST) break;
    fd = shm_open(path.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0 && errno != ENOENT) break;
  }
  if (fd < 0) {
    Fail(&block, error, "CreateFileMapping", errno);
    return block;
  }
  block.handle_ = fd;

  // The umask may have narrowed the mode given to shm_open; the group must reach the
  // block. A block that already existed keeps the mode and group its creator gave.
  if (!block.unlinkName_.empty()) {
    if (fchmod(fd, kOwnerAndGroup) != 0) {
      Fail(&block, error, "CreateFileMapping", errno);
      return block;
    }
    if (!GiveToNamedGroup(fd, error)) {
      block.Close();  // and the name goes with it: no block is left to the wrong group
      return block;
    }
  }
  // A block of size zero is one just created (here or by a racing creator).
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    Fail(&block, error, "CreateFileMapping", errno);
    return block;
  }
  if (static_cast<std::size_t>(status.st_size) < size &&
      ftruncate(fd, static_cast<off_t>(size)) != 0) {
    Fail(&block, error, "CreateFileMapping", errno);
    return block;
  }
  block.MapView(size, error);
  return block;
}

SharedMemory SharedMemory::OpenExisting(const std::string& name, std::size_t size,
                                        SharedMemoryError* error) {
  const std::string path = "/" + name;
  SharedMemory block;
  int fd = shm_open(path.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) {
    Fail(&block, error, "CreateFileMapping", errno);
    return block;
  }
  block.handle_ = fd;
  block.MapView(size, error);
  return block;
}

}  // namespace platform
#endif  // !_WIN32

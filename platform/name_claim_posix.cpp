// Name claims, POSIX backend: flock(LOCK_EX | LOCK_NB) on the shared-memory object
// of the name. A lock belongs to its open file description, so it conflicts with
// any other opening of the object (in this process or another) and is dropped by
// the kernel when its holder ends.
#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/name_claim.h"

namespace platform {

void NameClaim::Release() {
  if (handle_ != kNone) close(static_cast<int>(handle_));
  handle_ = kNone;
}

namespace {

// Opens the object of the name and locks it with `lock`: the descriptor, or -1 with
// the result saying whether another holder stands in the way.
template <typename Lock>
int OpenLocked(const std::string& name, int flags, const char* lockCall, Lock lock,
               ClaimResult* result, std::string* error) {
  *result = ClaimResult::kFailed;
  const std::string path = "/" + name;
  const int fd = shm_open(path.c_str(), flags | O_CLOEXEC, 0);
  if (fd < 0) {
    if (error != nullptr) *error = "shm_open " + path + ": " + std::strerror(errno);
    return -1;
  }
  if (!lock(fd)) {
    const int code = errno;
    *result = code == EWOULDBLOCK || code == EAGAIN || code == EACCES ? ClaimResult::kTaken
                                                                      : ClaimResult::kFailed;
    if (error != nullptr) *error = std::string(lockCall) + " " + path + ": " + std::strerror(code);
    close(fd);
    return -1;
  }
  *result = ClaimResult::kOk;
  return fd;
}

}  // namespace

NameClaim NameClaim::Take(const std::string& name, ClaimResult* result, std::string* error) {
  NameClaim claim;
  const int fd = OpenLocked(
      name, O_RDONLY, "flock", [](int f) { return flock(f, LOCK_EX | LOCK_NB) == 0; }, result,
      error);
  if (fd >= 0) claim.handle_ = fd;
  return claim;
}

namespace {

// Far past any block: the lock covers no byte anyone reads or writes.
constexpr off_t kPresenceByte = off_t{1} << 30;

struct flock PresenceLock(short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = kPresenceByte;
  lock.l_len = 1;
  return lock;
}

}  // namespace

// The download claim's byte, next to the presence byte: neither lock meets the other.
NameClaim NameClaim::TakeDownload(const std::string& name, ClaimResult* result,
                                  std::string* error) {
  NameClaim claim;
  const int fd = OpenLocked(
      name, O_RDWR, "fcntl",
      [](int f) {
        struct flock lock = PresenceLock(F_WRLCK);
        lock.l_start = kPresenceByte + 1;
        return fcntl(f, F_OFD_SETLK, &lock) == 0;
      },
      result, error);
  if (fd >= 0) claim.handle_ = fd;
  return claim;
}

void PresenceMark::Release() {
  if (handle_ != kNone) close(static_cast<int>(handle_));
  handle_ = kNone;
}

// Open file description locks belong to the opening, not the process, so two marks
// of one process are two holders and closing some other descriptor of the object
// does not drop them.
PresenceMark PresenceMark::Take(const std::string& name, std::string* error) {
  PresenceMark mark;
  const std::string path = "/" + name;
  const int fd = shm_open(path.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) {
    if (error != nullptr) *error = "shm_open " + path + ": " + std::strerror(errno);
    return mark;
  }
  struct flock lock = PresenceLock(F_RDLCK);
  if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
    if (error != nullptr) *error = "fcntl " + path + ": " + std::strerror(errno);
    close(fd);
    return mark;
  }
  mark.handle_ = fd;
  return mark;
}

bool PresenceMark::AnyHeld(const std::string& name) {
  const int fd = shm_open(("/" + name).c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return false;  // no object, no marks on it
  struct flock lock = PresenceLock(F_WRLCK);
  const bool held = fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
  close(fd);
  return held;
}

}  // namespace platform
#endif  // !_WIN32

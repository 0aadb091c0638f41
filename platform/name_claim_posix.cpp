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

NameClaim NameClaim::Take(const std::string& name, ClaimResult* result, std::string* error) {
  NameClaim claim;
  *result = ClaimResult::kFailed;
  const std::string path = "/" + name;
  const int fd = shm_open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) {
    if (error != nullptr) *error = "shm_open " + path + ": " + std::strerror(errno);
    return claim;
  }
  claim.handle_ = fd;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    *result = code == EWOULDBLOCK ? ClaimResult::kTaken : ClaimResult::kFailed;
    if (error != nullptr) *error = "flock " + path + ": " + std::strerror(code);
    claim.Release();
    return claim;
  }
  *result = ClaimResult::kOk;
  return claim;
}

}  // namespace platform
#endif  // !_WIN32

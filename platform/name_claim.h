// A claim on a name that one process at a time holds, for as long as it keeps it:
// the system lets it go when the holder ends, however it ends, so a claim left by a
// process that died never stands in the way and nothing stale is ever looked at.
// POSIX: an exclusive flock on the shared-memory object of that name (the block
// being claimed, which must exist); Win32: a named mutex beside the mapping
// ("<name> claim"), which exists exactly while some holder lives.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace platform {

enum class ClaimResult {
  kOk,
  kTaken,   // another live process holds the claim
  kFailed,  // the claim could not be asked for (the error says why)
};

class NameClaim {
 public:
  NameClaim() = default;
  NameClaim(NameClaim&& other) noexcept : handle_(std::exchange(other.handle_, kNone)) {}
  NameClaim& operator=(NameClaim&& other) noexcept {
    if (this != &other) {
      Release();
      handle_ = std::exchange(other.handle_, kNone);
    }
    return *this;
  }
  NameClaim(const NameClaim&) = delete;
  NameClaim& operator=(const NameClaim&) = delete;
  ~NameClaim() { Release(); }

  static NameClaim Take(const std::string& name, ClaimResult* result, std::string* error);
  // A claim of its own on the same name, meeting neither Take's nor a PresenceMark:
  // one process at a time downloads definitions through that unit. POSIX: an
  // exclusive open file description lock on one byte beside the presence byte of
  // the object, which must exist and be writable; Win32: a mutex "<name> download".
  static NameClaim TakeDownload(const std::string& name, ClaimResult* result,
                                std::string* error);
  bool held() const { return handle_ != kNone; }
  void Release();

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;  // descriptor (POSIX) or mutex handle (Win32)
};

// A mark that several processes hold on one name at once, each until it lets go or
// ends (however it ends), and that a process can ask about: "does anyone else hold
// it?". POSIX: a shared byte-range lock (open file description lock) past the end of
// the shared-memory object of that name, which must exist; it does not meet a
// NameClaim's flock. Win32: one of a few named mutexes "<name> presence N", each held
// by one process; one that exists is held.
class PresenceMark {
 public:
  PresenceMark() = default;
  PresenceMark(PresenceMark&& other) noexcept
      : handle_(std::exchange(other.handle_, kNone)) {}
  PresenceMark& operator=(PresenceMark&& other) noexcept {
    if (this != &other) {
      Release();
      handle_ = std::exchange(other.handle_, kNone);
    }
    return *this;
  }
  PresenceMark(const PresenceMark&) = delete;
  PresenceMark& operator=(const PresenceMark&) = delete;
  ~PresenceMark() { Release(); }

  static PresenceMark Take(const std::string& name, std::string* error);
  // Whether some process (this one included, through a mark it still holds) holds
  // a mark on the name.
  static bool AnyHeld(const std::string& name);
  bool held() const { return handle_ != kNone; }
  void Release();

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;
};

}  // namespace platform

// The unit's firmware as the programming link sees it: 256 KiB of flash, and what
// the unit reports about it (version, application checksum, kernel version, status),
// derived from what the flash holds. Written from the unit's side of the protocol,
// independently of the loader's code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class Firmware {
 public:
  static constexpr std::uint32_t kFlashSize = 0x40000;

  Firmware();  // erased flash (all 0xFF): no application, no kernel

  // Replaces the flash with an image (bytes from address 0; the rest erased).
  void Load(const std::vector<std::uint8_t>& image);
  // Reads an S-Record file into the flash (S1/S2 records); false with a text on error.
  bool LoadSRecordFile(const std::string& path, std::string* error);

  void WriteFlash(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t count);
  // Sets [begin, end) to 0xFF; the part outside the flash is ignored, as in WriteFlash.
  void Erase(std::uint32_t begin, std::uint32_t end);
  const std::vector<std::uint8_t>& flash() const { return flash_; }
  // Changes with every write to the flash, so that derived values can be cached.
  std::uint64_t generation() const { return generation_; }

  // What the running firmware reports, computed from the flash.
  bool HasApplication() const;                // checksum block magic at 0x8000
  bool HasKernel() const;                     // checksum block magic at 0x1000
  std::uint32_t VersionWord() const;          // enquiry 101: release, major, minor, build
  std::uint32_t ApplicationChecksum() const;  // enquiry 109: computed by the region rule
  std::uint32_t StoredApplicationChecksum() const;
  std::int32_t KernelVersion() const;  // enquiry 111: -1 without a kernel
  bool ChecksumsGood() const;          // application (and kernel) checksums match
  std::string CompileDate() const;     // of the application, "" without one
  std::string CompileTime() const;
  // "<release name> x.y.z" of the application, "none" without one.
  std::string VersionText() const;

  // "Special", "Development", "Alpha Test", "Beta Test", "Full Release", else "Unknown".
  static const char* ReleaseName(unsigned releaseType);

 private:
  std::uint32_t Word32(std::uint32_t address) const;
  std::uint32_t KernelChecksum() const;
  std::string BlockText(std::uint32_t address) const;

  std::vector<std::uint8_t> flash_;
  std::uint64_t generation_ = 0;
};

}  // namespace sim

// attach_churn: a host application that attaches to one unit's block and detaches
// again, over and over, the way hosts load and unload the library: each round loads
// it (its load hook runs), opens the unit by serial number (counted in AttachCount)
// and unloads it (its unload hook counts the attachment off). With --hold-while it
// attaches once and stays attached while a file exists, so that a soak can keep
// the count off zero, where a lost update would otherwise hide.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/dynamic_library.h"
#include "qmxzelti.h"

namespace {

constexpr const char* kUsage =
    "usage: attach_churn LIBRARY SERIAL ROUNDS\n"
    "       attach_churn LIBRARY SERIAL --hold-while FILE\n"
    "  Each round loads LIBRARY, opens the unit whose serial number is SERIAL\n"
    "  (OpenSpecificVODVersion, version 5) and unloads the library. With\n"
    "  --hold-while: one open, kept while FILE exists (at most 10 minutes).\n"
    "  Exit status: 0 done; 1 an open failed or the hold ran out; 2 usage;\n"
    "  3 the library or its export is missing.\n";

constexpr int kMaxRounds = 1'000'000;
constexpr auto kHoldLimit = std::chrono::minutes(10);
constexpr auto kHoldPoll = std::chrono::milliseconds(20);

using OpenSpecific = int(QMX_CALL*)(const char*, int);

// One attachment: the library loaded and the unit opened. 0, or the exit status.
int Attach(const std::string& path, const std::string& serial, platform::DynamicLibrary* library,
           int* openResult) {
  std::string error;
  *library = platform::DynamicLibrary::Load(path, &error);
  if (!library->loaded()) {
    std::fprintf(stderr, "attach_churn: %s\n", error.c_str());
    return 3;
  }
  const std::string name = platform::StdcallExportName("OpenSpecificVODVersion", 8);
  const auto open = reinterpret_cast<OpenSpecific>(library->Find(name));
  if (open == nullptr) {
    std::fprintf(stderr, "attach_churn: no export %s\n", name.c_str());
    return 3;
  }
  *openResult = open(serial.c_str(), QMX_VERSION_5);
  return 0;
}

int Churn(const std::string& path, const std::string& serial, int rounds) {
  for (int round = 1; round <= rounds; ++round) {
    platform::DynamicLibrary library;
    int opened = -1;
    if (const int status = Attach(path, serial, &library, &opened); status != 0) return status;
    library.Unload();
    if (opened != QMX_OPEN_OK) {
      std::printf("round %d: open returned %d\n", round, opened);
      return 1;
    }
  }
  std::printf("rounds: %d\n", rounds);
  return 0;
}

int Hold(const std::string& path, const std::string& serial, const std::string& file) {
  platform::DynamicLibrary library;
  int opened = -1;
  if (const int status = Attach(path, serial, &library, &opened); status != 0) return status;
  if (opened != QMX_OPEN_OK) {
    std::printf("open returned %d\n", opened);
    return 1;
  }
  std::printf("holding\n");
  std::fflush(stdout);
  const auto limit = std::chrono::steady_clock::now() + kHoldLimit;
  std::error_code error;
  while (std::filesystem::exists(file, error)) {
    if (std::chrono::steady_clock::now() >= limit) {
      std::printf("still held when the limit ran out\n");
      return 1;
    }
    std::this_thread::sleep_for(kHoldPoll);
  }
  library.Unload();
  std::printf("released\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[3]) == "--hold-while") return Hold(argv[1], argv[2], argv[4]);
  if (argc == 4) {
    char* end = nullptr;
    const long rounds = std::strtol(argv[3], &end, 10);
    if (end != argv[3] && *end == '\0' && rounds >= 0 && rounds <= kMaxRounds)
      return Churn(argv[1], argv[2], static_cast<int>(rounds));
  }
  std::fputs(kUsage, stderr);
  return 2;
}

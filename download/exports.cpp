// Defloader's exports: thin wrappers over the process's one Defloader, which lets
// nothing escape. The library reaches the unit through Qmxzelti's own exports.
#include <cstdio>
#include <new>

#include "defloader.h"
#include "download/frame.h"
#include "platform/clock.h"
#include "platform/trace_window.h"

namespace dfl {
namespace {

class TraceLines final : public LineSink {
 public:
  void Line(const char* text) override { window_.Send(text); }

 private:
  platform::TraceWindow window_;
};

class StandardOutput final : public LineSink {
 public:
  void Line(const char* text) override {
    std::fputs(text, stdout);
    std::fflush(stdout);
  }
};

constexpr InterfaceCalls kQmxzelti = {&::OpenVODVersion,   &::EnableInterface,
                                      &::DisableInterface, &::ReadAcceptorDetails,
                                      &::DoRawPort,        &::RawPortResult};

#if defined(_WIN32)
constexpr bool kTraceThreadLines = false;  // DllMain hears of every thread
#else
constexpr bool kTraceThreadLines = true;
#endif

}  // namespace

// Built in place and never destroyed: a worker may still run while the process
// ends, and the unload hook traces after static destructors may have run.
Defloader& ProcessDefloader() {
  alignas(TraceLines) static unsigned char traceStorage[sizeof(TraceLines)];
  alignas(StandardOutput) static unsigned char outputStorage[sizeof(StandardOutput)];
  alignas(Defloader) static unsigned char storage[sizeof(Defloader)];
  static Defloader* const instance = new (storage)
      Defloader(kQmxzelti, platform::SystemClock(), *new (traceStorage) TraceLines(),
                *new (outputStorage) StandardOutput(), {}, kTraceThreadLines);
  return *instance;
}

}  // namespace dfl

extern "C" {
DFL_API short DFL_CALL StartDefinitionDownload(const char* path, int /*reserved*/, int address,
                                               int kind) noexcept {
  try {
    return dfl::ProcessDefloader().Start(path, static_cast<std::uint32_t>(address),
                                         static_cast<std::uint32_t>(kind));
  } catch (...) {
    return dfl::kStartNoThread;
  }
}

DFL_API short DFL_CALL DefinitionDownloadStatus(short* stage, short* result, short* progress,
                                                short* total) noexcept {
  try {
    return dfl::ProcessDefloader().Status(stage, result, progress, total);
  } catch (...) {
    return 0;
  }
}

DFL_API void DFL_CALL SetEncryptionSerialNumber(int serial) noexcept {
  try {
    dfl::ProcessDefloader().SetEncryptionSerialNumber(static_cast<std::uint32_t>(serial));
  } catch (...) {
  }
}
}

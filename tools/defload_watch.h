// defload's watch over a running download: the library's status polled at a steady
// pace, shown as stage names and a progress bar redrawn in place on a terminal, or
// as one line per stage change in a log, until the download ends or a bound runs out.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "platform/clock.h"

namespace defload_tool {

// One reading of DefinitionDownloadStatus; progress and total as the unsigned
// 16-bit values they are.
struct DownloadStatus {
  bool busy = false;
  int stage = 0;
  int result = 0;
  unsigned progress = 0;
  unsigned total = 0;
};

struct WatchSettings {
  bool terminal = false;              // redraw one line in place, else a line per stage
  std::uint32_t pollMs = 100;         // pause between two readings
  std::uint32_t boundMs = 600'000;    // give up when the download runs longer
};

struct WatchOutcome {
  bool ended = false;  // false: the bound ran out while the download still ran
  DownloadStatus last;
};

const char* StageText(int stage);
const char* ResultText(int result);
// What the acceptor is left holding when a download of `kind` ended with `result`
// and the user must act on it; nullptr when nothing needs saying.
const char* EndAdvice(int kind, int result);

// "[######......] 12/32": `width` cells filled in proportion (all empty for total 0).
std::string ProgressBar(unsigned progress, unsigned total, int width);

// Reads the status until it reports busy 0 or settings.boundMs passed on `clock`,
// pausing settings.pollMs between readings, and writes what it sees to `out`. The
// end's result is the caller's to report.
WatchOutcome Watch(const std::function<DownloadStatus()>& read, platform::Clock& clock,
                   std::FILE* out, const WatchSettings& settings);

}  // namespace defload_tool

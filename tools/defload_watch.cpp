// defload's watch over a running download (see defload_watch.h).
#include "tools/defload_watch.h"

#include <algorithm>

#include "defloader.h"

namespace defload_tool {
namespace {

// Progress only means something once the definitions go out; before that the bar
// would stand empty beside steps that send none.
bool ShowsProgress(const DownloadStatus& status) {
  return status.stage >= DFL_STAGE_TRANSMITTING && status.total > 0;
}

std::string TerminalLine(const DownloadStatus& status) {
  char line[128];
  if (ShowsProgress(status))
    std::snprintf(line, sizeof line, "%-40s %s", StageText(status.stage),
                  ProgressBar(status.progress, status.total, 24).c_str());
  else
    std::snprintf(line, sizeof line, "%s", StageText(status.stage));
  return line;
}

void LogLine(std::FILE* out, const DownloadStatus& status) {
  if (ShowsProgress(status))
    std::fprintf(out, "stage %d: %s (%u/%u)\n", status.stage, StageText(status.stage),
                 status.progress, status.total);
  else
    std::fprintf(out, "stage %d: %s\n", status.stage, StageText(status.stage));
  std::fflush(out);
}

}  // namespace

const char* StageText(int stage) {
  switch (stage) {
    case DFL_STAGE_ACCEPTED: return "start accepted";
    case DFL_STAGE_LOADING: return "loading the file";
    case DFL_STAGE_OPENING: return "opening the interface";
    case DFL_STAGE_ENABLING: return "enabling the interface";
    case DFL_STAGE_SEARCHING: return "searching for the acceptor";
    case DFL_STAGE_REQUESTING_BUS: return "asking the unit for the ccTalk bus";
    case DFL_STAGE_POLLING: return "polling the acceptor";
    case DFL_STAGE_ERASING: return "erasing all coins";
    case DFL_STAGE_BEGINNING: return "beginning the bill table upgrade";
    case DFL_STAGE_CLEAR_UPLOAD: return "encryption off for the upload";
    case DFL_STAGE_TRANSMITTING: return "transmitting";
    case DFL_STAGE_TRANSMITTED: return "transmission complete";
    case DFL_STAGE_SETTLING: return "letting the acceptor settle";
    case DFL_STAGE_RESETTING: return "resetting the acceptor";
    case DFL_STAGE_RELEASING: return "handing the bus back to the unit";
    case DFL_STAGE_RELEASE_WAIT: return "waiting after the hand-back";
    case DFL_STAGE_RETURNING: return "returning control to the unit";
    case DFL_STAGE_FINISHED: return "finished";
    default: return "unknown stage";
  }
}

const char* ResultText(int result) {
  switch (result) {
    case DFL_RESULT_DONE: return "download complete";
    case DFL_RESULT_NO_FILE:
      return "the file could not be opened or read, is empty, or is too large";
    case DFL_RESULT_BAD_FILE:
      return "the coin file's size disagrees with its table, or is past 131104 bytes";
    case DFL_RESULT_NO_INTERFACE: return "the interface could not be opened";
    case DFL_RESULT_NO_DEVICE: return "no acceptor of that model at that address";
    case DFL_RESULT_NO_RESPONSE:
      return "no response: the unit did not hand the bus over, or the acceptor did not "
             "answer the poll";
    case DFL_RESULT_SEND_FAILED: return "a transmission failed";
    case DFL_RESULT_UNKNOWN_KIND: return "unknown download kind";
    case DFL_RESULT_RUNNING: return "no result: the download did not run to an end";
    default: return "unknown result";
  }
}

// No coin packet is sent twice (an SR5 might store it twice), so a failure after the
// erase leaves the SR5 with part of the new set and none of the old.
const char* EndAdvice(int kind, int result) {
  if (result != DFL_RESULT_SEND_FAILED) return nullptr;
  if (kind == DFL_KIND_SR5_COINS)
    return "the SR5 now holds an incomplete set of coins (its coins are erased before the "
           "new ones go out): download the file again before the SR5 takes coins";
  return "the acceptor may not hold the whole new bill table: download the file again";
}

std::string ProgressBar(unsigned progress, unsigned total, int width) {
  const int filled =
      total == 0 ? 0
                 : static_cast<int>(std::min<unsigned long long>(
                       width, static_cast<unsigned long long>(progress) * width / total));
  // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) about "[" + string.
  std::string bar(1, '[');
  bar.append(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(width - filled), '.');
  bar.append("] ").append(std::to_string(progress)).append(1, '/').append(std::to_string(total));
  return bar;
}

WatchOutcome Watch(const std::function<DownloadStatus()>& read, platform::Clock& clock,
                   std::FILE* out, const WatchSettings& settings) {
  const std::int64_t start = clock.Counter();
  const std::int64_t frequency = clock.Frequency();
  int shownStage = -1;
  std::string shownLine;
  for (;;) {
    const DownloadStatus status = read();
    if (settings.terminal) {
      const std::string line = TerminalLine(status);
      if (line != shownLine) {
        // Blanks over what is left of a longer line drawn before.
        const std::size_t pad = shownLine.size() > line.size() ? shownLine.size() - line.size() : 0;
        std::fprintf(out, "\r%s%s", line.c_str(), std::string(pad, ' ').c_str());
        std::fflush(out);
        shownLine = line;
      }
    } else if (status.stage != shownStage) {
      LogLine(out, status);
    }
    shownStage = status.stage;

    const std::int64_t elapsedMs = (clock.Counter() - start) * 1000 / frequency;
    const bool ended = !status.busy;
    if (ended || elapsedMs >= settings.boundMs) {
      if (settings.terminal && !shownLine.empty()) std::fputc('\n', out);
      std::fflush(out);
      return WatchOutcome{ended, status};
    }
    clock.Sleep(static_cast<std::uint32_t>(
        std::min<std::int64_t>(settings.pollMs, settings.boundMs - elapsedMs)));
  }
}

}  // namespace defload_tool

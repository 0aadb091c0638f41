// fwstation's main(): the bench station as a console program.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "loader/station.h"
#include "platform/console.h"
#include "platform/program_path.h"
#include "platform/record_file.h"

namespace {

std::atomic<loader::station::Station*> running{nullptr};
std::atomic<bool> ended{false};

// Ctrl-C, a terminal closing or a polite kill: no unit is left half programmed.
// Units being programmed finish (each within its own bounds) and the run ends as
// usual, with its summary, record and exit code; this thread only waits for that.
// Should the run not end (it always does), the units still held go back to the
// hosts before the request ends the process.
void StopOnEnd() {
  loader::station::Station* station = running.load();
  if (station == nullptr) return;
  station->Stop();
  constexpr int kMostSeconds = 600;
  for (int i = 0; i < kMostSeconds * 10 && !ended; ++i) {
    platform::SystemClock().Sleep(100);
  }
  if (!ended) station->HandBackAll();
}

}  // namespace

int main(int argc, char** argv) {
  platform::OnEndRequest(&StopOnEnd);  // first: before any thread starts
#if !defined(_WIN32)
  // Output piped into a program that ended (| head) must not end the station with
  // units half programmed: the lines are lost, the units are not.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  using namespace loader::station;
  StationOptions options;
  bool help = false;
  std::string error;
  if (!ParseArguments(std::vector<std::string>(argv + 1, argv + argc), &options, &help, &error)) {
    std::fprintf(stderr, "fwstation: %s\n%s", error.c_str(), kUsage);
    return kExitCannotRun;
  }
  if (help) {
    std::fputs(kUsage, stdout);
    return kExitAllDone;
  }
  StationServices services;
  services.ownProgramPath = platform::OwnProgramPath();
  services.redraw = platform::EnableLineRedraw();
  services.hostName = platform::HostName();
  static Station station(options, services);
  running = &station;
  const int code = station.Run();
  ended = true;
  std::fflush(stdout);
  return code;
}

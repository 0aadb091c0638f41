// snagview: the trace catcher. Claims the trace endpoint (the window "Snagview" on
// Windows, the trace socket elsewhere) and prints every line it receives.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/trace_window.h"

namespace {

constexpr const char* kUsage =
    "usage: snagview [--count N] [--timeout SECONDS] [--hidden]\n"
    "  Prints each trace line received, as received, on standard output.\n"
    "  --count N          end after N lines\n"
    "  --timeout SECONDS  end after this long (status 2 if --count lines did not come)\n"
    "  --hidden           no window (Windows; the catcher is still found by its title)\n"
    "  Without --count and --timeout it runs until interrupted.\n";

struct Options {
  long count = 0;        // 0: no limit
  double timeout = 0.0;  // seconds; 0: no limit
  bool hidden = false;
};

bool ParsePositive(const char* text, long* value) {
  char* end = nullptr;
  long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || parsed <= 0) return false;
  *value = parsed;
  return true;
}

bool ParseSeconds(const char* text, double* value) {
  char* end = nullptr;
  double parsed = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(parsed > 0.0) || parsed > 1e7) return false;
  *value = parsed;
  return true;
}

// Returns -1 when the command line is good, else the exit status.
int ParseCommandLine(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--hidden") == 0) {
      options->hidden = true;
    } else if (std::strcmp(arg, "--count") == 0 && i + 1 < argc) {
      if (!ParsePositive(argv[++i], &options->count)) {
        std::fprintf(stderr, "snagview: --count needs a positive whole number, not %s\n", argv[i]);
        return 1;
      }
    } else if (std::strcmp(arg, "--timeout") == 0 && i + 1 < argc) {
      if (!ParseSeconds(argv[++i], &options->timeout)) {
        std::fprintf(stderr, "snagview: --timeout needs a positive number of seconds, not %s\n",
                     argv[i]);
        return 1;
      }
    } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "snagview: unexpected argument %s\n%s", arg, kUsage);
      return 1;
    }
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (int status = ParseCommandLine(argc, argv, &options); status >= 0) return status;

  platform::TraceCatcher catcher(!options.hidden);
  if (!catcher.ok()) {
    std::fprintf(stderr, "snagview: %s\n", catcher.error().c_str());
    return 1;
  }
  std::fprintf(stderr, "snagview: listening on %s\n", platform::TraceEndpoint().c_str());
  std::fflush(stderr);

  using Steady = std::chrono::steady_clock;
  const auto deadline = Steady::now() + std::chrono::duration_cast<Steady::duration>(
                                            std::chrono::duration<double>(options.timeout));
  long received = 0;
  std::string line;
  for (;;) {
    // Short waits, so the window stays responsive and the deadline is kept.
    int waitMs = 200;
    if (options.timeout > 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
      if (left <= 0) break;
      if (left < waitMs) waitMs = static_cast<int>(left);
    }
    if (catcher.Receive(line, waitMs)) {
      std::fwrite(line.data(), 1, line.size(), stdout);
      std::fflush(stdout);
      if (options.count > 0 && ++received >= options.count) return 0;
    } else if (!catcher.ok()) {
      return 0;  // the window was closed
    }
  }
  if (options.count > 0) {
    std::fprintf(stderr, "snagview: timed out after %ld of %ld lines\n", received, options.count);
    return 2;
  }
  return 0;
}

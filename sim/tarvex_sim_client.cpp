// tarvex-sim's status and ctl commands: clients that reach a running unit by its slot
// or its serial number and show its status lines or hand it one ctl command.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/sim_server.h"
#include "sim/tarvex_sim.h"
#include "sim/virtual_d2xx/sim_link.h"

namespace tarvex_sim {
namespace {

constexpr int kNoUnitExit = 1;

// Scanning slots: nobody there answers at once on the loopback, so this only
// bounds a slot whose process hangs.
constexpr int kScanConnectMs = 1000;

struct Target {
  int slot = -1;       // -1: any
  std::string serial;  // empty: any
};

// The value of "key: " in status lines, or empty.
std::string StatusValue(const std::string& text, const std::string& key) {
  const std::string wanted = key + ": ";
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (text.compare(at, wanted.size(), wanted) == 0)
      return text.substr(at + wanted.size(), end - at - wanted.size());
    at = end + 1;
  }
  return std::string();
}

// Connects to the target unit; for a serial number, asks each slot's status.
bool Reach(const Target& target, sim::link::Client* client) {
  const int first = target.slot >= 0 ? target.slot : 0;
  const int last = target.slot >= 0 ? target.slot : sim::link::kMaxSlots - 1;
  for (int slot = first; slot <= last; ++slot) {
    if (target.serial.empty()) {
      if (client->Connect(slot, kScanConnectMs) == platform::SocketResult::kOk) return true;
      continue;
    }
    sim::link::Client probe;
    if (probe.Connect(slot, kScanConnectMs) != platform::SocketResult::kOk) continue;
    std::uint32_t status = 0;
    std::vector<std::uint8_t> answer;
    if (!probe.Exchange(sim::link::Op::kStatus, nullptr, 0, &status, &answer)) continue;
    probe.Close();
    const std::string text(answer.begin(), answer.end());
    if (StatusValue(text, "serial") == target.serial &&
        client->Connect(slot, kScanConnectMs) == platform::SocketResult::kOk)
      return true;
  }
  return false;
}

int NoUnit(const Target& target) {
  if (!target.serial.empty())
    std::fprintf(stderr, "tarvex-sim: no unit with serial number %s is running\n",
                 target.serial.c_str());
  else if (target.slot >= 0)
    std::fprintf(stderr, "tarvex-sim: no unit on slot %d\n", target.slot);
  else
    std::fprintf(stderr, "tarvex-sim: no unit is running (under %s)\n",
                 sim::link::EndpointBase().c_str());
  return kNoUnitExit;
}

// Takes --slot K and --serial S from argv[*next...]; stops at the first other word.
int ParseTarget(int argc, char** argv, int* next, Target* target) {
  while (*next < argc) {
    const std::string arg = argv[*next];
    if (arg != "--slot" && arg != "--serial") break;
    if (*next + 1 >= argc) return Usage(arg + " needs a value");
    const char* value = argv[*next + 1];
    if (arg == "--slot" && !TakeNumber(value, sim::link::kMaxSlots - 1, &target->slot))
      return Usage(std::string("bad slot ") + value);
    if (arg == "--serial") target->serial = value;
    *next += 2;
  }
  if (target->slot >= 0 && !target->serial.empty())
    return Usage("give --slot or --serial, not both");
  return -1;
}

}  // namespace

int RunStatus(int argc, char** argv) {
  Target target;
  int next = 2;
  if (int status = ParseTarget(argc, argv, &next, &target); status >= 0) return status;
  if (next < argc) return Usage(std::string("unexpected argument ") + argv[next]);
  sim::link::Client client;
  if (!Reach(target, &client)) return NoUnit(target);
  std::uint32_t status = 0;
  std::vector<std::uint8_t> answer;
  if (!client.Exchange(sim::link::Op::kStatus, nullptr, 0, &status, &answer)) return NoUnit(target);
  client.Close();
  std::fwrite(answer.data(), 1, answer.size(), stdout);
  return 0;
}

int RunControl(int argc, char** argv) {
  Target target;
  int next = 2;
  if (int status = ParseTarget(argc, argv, &next, &target); status >= 0) return status;
  std::vector<std::string> words(argv + next, argv + argc);
  // Checked here first, so a mistyped command is a usage error even with no unit.
  sim::ControlCommand command;
  std::string error;
  if (!sim::ParseControl(words, &command, &error)) return Usage(error);

  std::vector<std::uint8_t> request;
  for (const std::string& word : words) {
    request.insert(request.end(), word.begin(), word.end());
    request.push_back(0);
  }
  sim::link::Client client;
  if (!Reach(target, &client)) return NoUnit(target);
  std::uint32_t status = 0;
  std::vector<std::uint8_t> answer;
  if (!client.Exchange(sim::link::Op::kControl, request.data(),
                       static_cast<std::uint32_t>(request.size()), &status, &answer))
    return NoUnit(target);
  client.Close();
  const std::string text(answer.begin(), answer.end());
  if (status != 0) return Usage(text);
  std::printf("%s\n", text.c_str());
  return 0;
}

}  // namespace tarvex_sim

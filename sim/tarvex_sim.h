// tarvex-sim's parts: the running unit with its command line (tarvex_sim.cpp) and the
// status and ctl clients that reach a running one (tarvex_sim_client.cpp).
#pragma once

#include <string>

namespace tarvex_sim {

constexpr int kUsageExit = 2;

// Names the fault on stderr; returns kUsageExit.
int Usage(const std::string& message);

// A number up to `limit`: decimal, or hexadecimal or octal by its prefix; no sign.
bool ParseNumber(const char* text, unsigned long long limit, unsigned long long* value);

template <typename Number>
bool TakeNumber(const char* text, unsigned long long limit, Number* target) {
  unsigned long long value = 0;
  if (!ParseNumber(text, limit, &value)) return false;
  *target = static_cast<Number>(value);
  return true;
}

// `tarvex-sim status [--slot K | --serial S]`: the unit's status lines.
int RunStatus(int argc, char** argv);
// `tarvex-sim ctl [--slot K | --serial S] COMMAND [ARGS]`: one command to the unit.
int RunControl(int argc, char** argv);

}  // namespace tarvex_sim

// Endpoints no other test run uses at the same time: a fresh folder of sockets on
// POSIX, a random loopback base port on Windows; and setting an environment
// variable (TARVEX_SIM_ENDPOINT, FLASHWRIGHT_D2XX) for code that reads it.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "platform/local_socket.h"

namespace sim_test {

inline std::uint64_t Random() {
  static std::mt19937_64 generator(
      std::random_device{}() ^
      static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()));
  return generator();
}

// A base for slots 0..15 that nobody else uses.
inline std::string FreshEndpointBase() {
#ifdef _WIN32
  return std::to_string(20000 + Random() % 40000);
#else
  return (std::filesystem::temp_directory_path() / ("tarvex-sim-test-" + std::to_string(Random())))
      .string();
#endif
}

inline std::string SlotEndpoint(const std::string& base, int slot) {
  return platform::NumberedEndpoint(base, "unit", slot);
}

inline void SetEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

// Removes a POSIX test folder and what is left in it (lock files stay behind by
// design); nothing on Windows.
inline void RemoveEndpointBase(const std::string& base) {
#ifndef _WIN32
  std::error_code ignored;
  std::filesystem::remove_all(base, ignored);
#else
  (void)base;
#endif
}

}  // namespace sim_test

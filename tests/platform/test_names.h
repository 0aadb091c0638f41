// Names no other test run uses at the same time, and setting an environment
// variable, for the tests.
#pragma once

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>

namespace platform_test {

inline std::string UniqueName(const std::string& prefix) {
  static std::mt19937_64 generator(
      std::random_device{}() ^
      static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()));
  return prefix + std::to_string(generator());
}

inline void SetEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

}  // namespace platform_test

// A D2XX library that stops short: it has the open and close calls (ordinals 1
// and 2 on Windows, as exports are numbered by name there) and nothing else, so
// binding it must fail at the read call and leave the caller's table alone.
#include <cstdint>

#if defined(_WIN32)
#define PARTIAL_API __declspec(dllexport)
#else
#define PARTIAL_API __attribute__((visibility("default")))
#endif

extern "C" {
PARTIAL_API std::uint32_t FT_Close(void*) {
  return 0;
}
PARTIAL_API std::uint32_t FT_Open(int, void**) {
  return 0;
}
}

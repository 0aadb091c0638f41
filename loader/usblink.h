// Flashwright's link to the unit (FTDI D2XX, six-byte link records) and the trace
// lines it sends to the outside trace window.
#pragma once

#include <cstdint>

#include "platform/format.h"
#include "platform/trace_window.h"

namespace loader {

class LoaderState;

class UsbLink {
 public:
  explicit UsbLink(LoaderState& state) : state_(state) {}
  UsbLink(const UsbLink&) = delete;
  UsbLink& operator=(const UsbLink&) = delete;

  // Closes the unit, records the status, traces "Device Closed" and forgets the
  // handle; harmless when no unit is open (the exit path calls it unconditionally).
  void CloseUnit();
  bool IsOpen() const { return handle_ != 0; }

  // Formats a line of at most 2047 characters and hands it to the loader's TraceSink.
  void TraceLine(const char* format, ...) TARVEX_PRINTF(2, 3);
  // Formats at most 511 characters (a longer text is cut) and sends them to the
  // trace window; dropped while there is none.
  void SendToTraceWindow(const char* format, ...) TARVEX_PRINTF(2, 3);

  std::int32_t LastStatus = 0;

 private:
  LoaderState& state_;
  platform::TraceWindow traceWindow_;
  std::uintptr_t handle_ = 0;
};

}  // namespace loader

// The USB link to the unit and its trace output. The device calls join when the
// D2XX library is bound; the trace path is what every loader module already uses.
#include "loader/usblink.h"

#include <cstdarg>
#include <cstdio>

#include "loader/startup.h"

namespace loader {

void UsbLink::CloseUnit() {
  TraceLine("Device Closed");
  handle_ = 0;
}

void UsbLink::TraceLine(const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  TraceSink(state_, text);
}

void UsbLink::SendToTraceWindow(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  traceWindow_.Send(text);
}

}  // namespace loader

// Trace lines for the outside trace catcher "Snagview". Win32: FindWindowA by title
// and WM_COPYDATA carrying zero-terminated text. POSIX: a Unix datagram socket at
// TraceEndpoint() that the catcher binds.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

namespace platform {

inline constexpr const char* kTraceWindowTitle = "Snagview";

// POSIX: $SNAGVIEW_SOCKET, else snagview.sock in $XDG_RUNTIME_DIR, else
// /tmp/snagview-<uid>.sock. Win32: the window title.
std::string TraceEndpoint();

// Sender side. The catcher is looked up on the first line and again for every line
// until found; once found it is kept. Without a catcher lines are dropped. A send
// never waits long on a catcher that does not take its line.
class TraceWindow {
 public:
  TraceWindow() = default;
  TraceWindow(const TraceWindow&) = delete;
  TraceWindow& operator=(const TraceWindow&) = delete;
  ~TraceWindow();

  void Send(const char* text);  // sends the text and its terminating zero

 private:
  std::intptr_t target_ = 0;  // window handle (Win32) or connected socket (POSIX)
  bool found_ = false;
  std::mutex lock_;       // the loader traces from its main and its programming thread
  bool stalled_ = false;  // POSIX: the catcher let the last wait run out (see Send)
};

// Receiver side, for the catcher program and for tests: claims the endpoint
// (creates the window titled "Snagview", or binds the socket).
class TraceCatcher {
 public:
  explicit TraceCatcher(bool visible = false);
  TraceCatcher(const TraceCatcher&) = delete;
  TraceCatcher& operator=(const TraceCatcher&) = delete;
  ~TraceCatcher();

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }

  // Waits up to timeoutMs for the next line (the text without its zero). On Win32
  // the waiting thread must be the one that made the catcher: it pumps the window's
  // messages while it waits.
  bool Receive(std::string& line, int timeoutMs);

  // Win32 window procedure hook; not for callers.
  void Deliver(std::string line);

 private:
  bool ok_ = false;
  std::string error_;
  std::intptr_t endpoint_ = 0;  // window handle or socket
  std::intptr_t list_ = 0;      // Win32: the list box that shows the lines
  std::string path_;            // POSIX: the bound socket path, removed at the end
  std::deque<std::string> pending_;
};

}  // namespace platform

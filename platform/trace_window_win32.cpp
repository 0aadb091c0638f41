// Trace lines, Win32 backend: the catcher is a top-level window titled "Snagview";
// a sender finds it by title and hands it each line as zero-terminated text in a
// WM_COPYDATA message.
#if defined(_WIN32)
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/trace_window.h"

namespace platform {
namespace {

constexpr const char* kCatcherClass = "TarvexTraceCatcher";

// A catcher that does not take its line within this time is taken for hung: the
// line is dropped rather than the sender (the loader's programming thread) frozen.
constexpr UINT kSendTimeoutMs = 2000;

// Lines waiting in a test catcher nobody reads are not kept without end; the list
// box of a visible catcher likewise keeps the latest lines only.
constexpr std::size_t kMaxPending = 65536;
constexpr LRESULT kMaxListed = 10000;

TraceCatcher* CatcherOf(HWND window) {
  return reinterpret_cast<TraceCatcher*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

LRESULT CALLBACK CatcherProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_NCCREATE: {
      auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
      SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
      break;
    }
    case WM_COPYDATA: {
      auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
      TraceCatcher* catcher = CatcherOf(window);
      if (catcher == nullptr || data == nullptr || data->lpData == nullptr) return FALSE;
      // The text ends at its terminating zero, and never past the bytes sent.
      const char* text = static_cast<const char*>(data->lpData);
      std::size_t length = 0;
      while (length < data->cbData && text[length] != '\0') ++length;
      catcher->Deliver(std::string(text, length));
      return TRUE;
    }
    case WM_SIZE: {
      HWND list = GetWindow(window, GW_CHILD);
      if (list != nullptr) MoveWindow(list, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
      return 0;
    }
    case WM_DESTROY:
      // Closed by the user: end the catcher's message loop. A catcher being
      // destroyed by its owner has already let go of the window.
      if (CatcherOf(window) != nullptr) PostQuitMessage(0);
      return 0;
    default: break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

bool RegisterCatcherClass(HINSTANCE instance) {
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = CatcherProcedure;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = kCatcherClass;
  return RegisterClassA(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

std::string LastErrorText(const char* what) {
  char text[128];
  std::snprintf(text, sizeof text, "%s failed (error %lu)", what,
                static_cast<unsigned long>(GetLastError()));
  return text;
}

}  // namespace

std::string TraceEndpoint() {
  return kTraceWindowTitle;
}

TraceWindow::~TraceWindow() = default;  // the window belongs to the catcher

void TraceWindow::Send(const char* text) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!found_) {
    HWND window = FindWindowA(nullptr, kTraceWindowTitle);
    if (window == nullptr) return;  // no catcher: the line is dropped
    target_ = reinterpret_cast<std::intptr_t>(window);
    found_ = true;
  }
  COPYDATASTRUCT data{};
  data.dwData = 0;
  data.cbData = static_cast<DWORD>(std::strlen(text) + 1);
  data.lpData = const_cast<char*>(text);
  SendMessageTimeoutA(reinterpret_cast<HWND>(target_), WM_COPYDATA, 0,
                      reinterpret_cast<LPARAM>(&data), SMTO_NORMAL | SMTO_ABORTIFHUNG,
                      kSendTimeoutMs, nullptr);
}

TraceCatcher::TraceCatcher(bool visible) {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  if (!RegisterCatcherClass(instance)) {
    error_ = LastErrorText("RegisterClassA");
    return;
  }
  HWND window = CreateWindowExA(0, kCatcherClass, kTraceWindowTitle,
                                WS_OVERLAPPEDWINDOW | (visible ? WS_VISIBLE : 0), CW_USEDEFAULT,
                                CW_USEDEFAULT, 640, 400, nullptr, nullptr, instance, this);
  if (window == nullptr) {
    error_ = LastErrorText("CreateWindowExA");
    return;
  }
  endpoint_ = reinterpret_cast<std::intptr_t>(window);
  if (visible) {
    RECT client{};
    GetClientRect(window, &client);
    HWND list = CreateWindowExA(WS_EX_CLIENTEDGE, "LISTBOX", nullptr,
                                WS_CHILD | WS_VISIBLE | WS_VSCROLL | LBS_NOINTEGRALHEIGHT, 0, 0,
                                client.right, client.bottom, window, nullptr, instance, nullptr);
    if (list == nullptr) {
      error_ = LastErrorText("CreateWindowExA(LISTBOX)");
      SetWindowLongPtrA(window, GWLP_USERDATA, 0);
      DestroyWindow(window);
      endpoint_ = 0;
      return;
    }
    list_ = reinterpret_cast<std::intptr_t>(list);
  }
  ok_ = true;
}

TraceCatcher::~TraceCatcher() {
  HWND window = reinterpret_cast<HWND>(endpoint_);
  if (window == nullptr || !IsWindow(window)) return;
  SetWindowLongPtrA(window, GWLP_USERDATA, 0);
  DestroyWindow(window);
}

void TraceCatcher::Deliver(std::string line) {
  if (list_ != 0) {
    HWND list = reinterpret_cast<HWND>(list_);
    // The list shows lines, not their line feeds.
    std::string shown = line;
    while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
    if (SendMessageA(list, LB_GETCOUNT, 0, 0) >= kMaxListed)
      SendMessageA(list, LB_DELETESTRING, 0, 0);
    LRESULT index = SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(shown.c_str()));
    if (index >= 0) SendMessageA(list, LB_SETTOPINDEX, static_cast<WPARAM>(index), 0);
  }
  if (pending_.size() >= kMaxPending) pending_.pop_front();
  pending_.push_back(std::move(line));
}

bool TraceCatcher::Receive(std::string& line, int timeoutMs) {
  const ULONGLONG deadline =
      GetTickCount64() + static_cast<ULONGLONG>(timeoutMs > 0 ? timeoutMs : 0);
  for (;;) {
    if (!pending_.empty()) {
      line = std::move(pending_.front());
      pending_.pop_front();
      return true;
    }
    if (!ok_) return false;
    // Sent messages (WM_COPYDATA from another process) are delivered inside
    // PeekMessage; posted ones are dispatched here.
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        // The user closed the window: the catcher is done.
        ok_ = false;
        endpoint_ = 0;
        list_ = 0;
        break;
      }
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    if (!pending_.empty() || !ok_) continue;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
  }
}

}  // namespace platform
#endif  // _WIN32

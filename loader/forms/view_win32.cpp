// Flashwright's windows on native Win32 controls: user32, gdi32, comctl32 and
// comdlg32 only, so the program stays one file. This file runs them: the message
// loop, each form window's messages, boxes and the file dialog, and the factory.
#if defined(_WIN32)
#include <windows.h>
// The common controls and dialogs need windows.h first.
#include <cderr.h>
#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "loader/forms/view.h"
#include "loader/forms/view_win32_internal.h"

namespace loader::forms::win32_view {
namespace {

std::string WindowText(HWND hwnd) {
  std::string text(static_cast<std::size_t>(GetWindowTextLengthA(hwnd)) + 1, '\0');
  text.resize(
      static_cast<std::size_t>(GetWindowTextA(hwnd, text.data(), static_cast<int>(text.size()))));
  return text;
}

// "Text|*.a37|All|*.*" as the file dialog wants it: pairs split by zeros, two at the end.
std::string DialogFilter(std::string_view caption) {
  std::string filter(caption);
  std::replace(filter.begin(), filter.end(), '|', '\0');
  filter.append(2, '\0');
  return filter;
}

}  // namespace

std::string LastErrorText() {
  char text[256] = {};
  const DWORD code = GetLastError();
  if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                     text, sizeof text, nullptr) == 0) {
    return "error " + std::to_string(code);
  }
  std::string result(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) result.pop_back();
  return result;
}

BoxAnswer Win32View::ShowBox(const std::string& text, const std::string& title, unsigned flags) {
  if (picture_) return BoxAnswer::kCancel;  // nobody there to answer
  return MessageBoxA(nullptr, text.c_str(), title.c_str(), flags) == IDOK ? BoxAnswer::kOk
                                                                          : BoxAnswer::kCancel;
}

bool Win32View::ChooseFile(const Control& dialog, std::string* fileName) {
  if (picture_) return false;
  const std::string filter = DialogFilter(dialog.caption);
  char file[MAX_PATH] = {};
  fileName->copy(file, sizeof file - 1);
  OPENFILENAMEA ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = GetActiveWindow();
  ofn.lpstrFilter = filter.c_str();
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file;
  ofn.nMaxFile = sizeof file;
  ofn.Flags = OFN_EXPLORER | OFN_ENABLESIZING | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST;
  BOOL chosen = GetOpenFileNameA(&ofn);
  // A preset name the dialog refuses (bad characters) must not keep it from opening.
  if (!chosen && CommDlgExtendedError() == FNERR_INVALIDFILENAME) {
    file[0] = '\0';
    chosen = GetOpenFileNameA(&ofn);
  }
  if (!chosen) return false;
  *fileName = file;
  return true;
}

void Win32View::CloseWindow(FormLogic& form) {
  for (auto& window : windows_) {
    if (window->logic == &form && window->hwnd != nullptr) DestroyWindow(window->hwnd);
  }
}

void Win32View::Run(const char* applicationTitle, FormLogic& main, FormLogic& diagnostics) {
  title_ = applicationTitle != nullptr ? applicationTitle : "";
  running_ = true;
  std::string error;
  if (Build(main, true, &error) == nullptr || Build(diagnostics, false, &error) == nullptr) {
    ReportError(error.c_str());
  } else {
    Handle([&] { main.Created(); });
    Handle([&] { diagnostics.Created(); });
    showForms_ = true;
    Handle([] {});
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
      const HWND root = msg.hwnd != nullptr ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
      if (root != nullptr && Owns(root) && IsDialogMessageA(root, &msg)) continue;
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
  running_ = false;
  showForms_ = false;
  Teardown();
}

LRESULT Win32View::FormMessage(Window& window, UINT message, WPARAM wParam, LPARAM lParam) {
  const HWND hwnd = window.hwnd;
  switch (message) {
    case WM_COMMAND:
      if (lParam != 0) Command(window, reinterpret_cast<HWND>(lParam), HIWORD(wParam));
      return 0;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      if (header->code == static_cast<UINT>(TCN_SELCHANGE)) PageSelected(window, header->hwndFrom);
      return 0;
    }
    case WM_TIMER: {
      const std::size_t index = wParam - 1;
      if (index < window.widgets.size() && window.widgets[index].timerRunning) {
        const char* name = window.widgets[index].description->name;
        Handle([&] { window.logic->TimerFired(name); });
      }
      return 0;
    }
    case WM_CLOSE:
      Handle([&] {
        if (!window.logic->CloseQuery()) return;
        if (window.main) {
          CloseWindow(*window.logic);
        } else {  // other windows are only hidden, as they have always been
          window.logic->State().visible = false;
          ShowWindow(window.hwnd, SW_HIDE);
        }
      });
      return 0;
    case WM_QUERYENDSESSION: {
      // A log-off or shut-down sends no WM_CLOSE: the forms are asked here instead.
      bool allowed = true;
      Guarded([&] { allowed = window.logic->QueryEndSession(); });
      ExplainWait(window, !allowed);
      return allowed ? TRUE : FALSE;
    }
    case WM_ENDSESSION:
      ExplainWait(window, false);
      if (wParam != FALSE) Handle([&] { window.logic->EndSession(); });
      return 0;
    case WM_ACTIVATE:
      // Windows that are not dialogs keep the focus themselves; hand it to a control.
      if (LOWORD(wParam) == WA_INACTIVE) {
        const HWND focus = GetFocus();
        if (focus != nullptr && IsChild(window.hwnd, focus)) window.focus = focus;
      } else if (HIWORD(wParam) == 0) {  // not while minimised
        HWND target = window.focus;
        if (target == nullptr || !IsWindow(target))
          target = GetNextDlgTabItem(window.hwnd, nullptr, FALSE);
        SetFocus(target != nullptr ? target : hwnd);
      }
      return 0;
    case WM_NCDESTROY:
      window.hwnd = nullptr;
      window.tooltip = nullptr;
      for (Widget& widget : window.widgets) widget.hwnd = nullptr;
      if (window.main && running_) PostQuitMessage(0);
      break;
    default: break;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

void Win32View::ReportError(const char* text) {
  if (picture_) {
    if (pictureError_.empty()) pictureError_ = *text != '\0' ? text : "an unknown fault";
    return;
  }
  MessageBoxA(nullptr, text, title_.c_str(), MB_OK | MB_ICONERROR);
}

// The reason the shut-down screen shows while a form holds the session up. Looked
// up at run time: older Windows has no such screen. Through void (*)() to keep
// clear of GCC's cast-function-type warning.
void Win32View::ExplainWait(Window& window, bool waiting) {
  using Create = BOOL(WINAPI*)(HWND, LPCWSTR);
  using Destroy = BOOL(WINAPI*)(HWND);
  const HMODULE user32 = GetModuleHandleA("user32.dll");
  if (user32 == nullptr || window.hwnd == nullptr) return;
  if (waiting) {
    const auto create = reinterpret_cast<Create>(
        reinterpret_cast<void (*)()>(GetProcAddress(user32, "ShutdownBlockReasonCreate")));
    if (create != nullptr) create(window.hwnd, L"Programming the unit: wait until it has finished");
  } else {
    const auto destroy = reinterpret_cast<Destroy>(
        reinterpret_cast<void (*)()>(GetProcAddress(user32, "ShutdownBlockReasonDestroy")));
    if (destroy != nullptr) destroy(window.hwnd);
  }
}

// Destroys the windows; messages sent meanwhile find no window list to walk.
void Win32View::Teardown() {
  std::vector<std::unique_ptr<Window>> windows = std::move(windows_);
  windows_.clear();
  windows.clear();
}

bool Win32View::Owns(HWND hwnd) const {
  return std::any_of(windows_.begin(), windows_.end(),
                     [hwnd](const auto& window) { return window->hwnd == hwnd; });
}

void Win32View::Command(Window& window, HWND from, WORD code) {
  Widget* widget = WidgetOf(window, from);
  if (widget == nullptr) return;
  const Control& control = *widget->description;
  ControlState& state = window.logic->State().controls()[Index(window, *widget)];
  if (code == BN_CLICKED && control.kind == Kind::kButton) {
    Handle([&] { window.logic->Clicked(control.name); });
  } else if (code == BN_CLICKED && control.kind == Kind::kCheckBox) {
    state.checked = SendMessageA(from, BM_GETCHECK, 0, 0) == BST_CHECKED;
    widget->last.checked = state.checked;
    Handle([&] { window.logic->Clicked(control.name); });
  } else if (code == EN_CHANGE && control.kind == Kind::kEdit && !syncing_) {
    state.caption = WindowText(from);
    widget->last.caption = state.caption;  // shown already: setting it again moves the caret
  }
}

void Win32View::PageSelected(Window& window, HWND tabControl) {
  Widget* widget = WidgetOf(window, tabControl);
  if (widget == nullptr || widget->description->kind != Kind::kTabControl) return;
  const LRESULT selected = SendMessageA(tabControl, TCM_GETCURSEL, 0, 0);
  if (selected < 0 || static_cast<std::size_t>(selected) >= widget->listed.size()) return;
  window.logic->State().controls()[Index(window, *widget)].activePage =
      widget->listed[static_cast<std::size_t>(selected)].first;
  Handle([] {});
}

Widget* Win32View::WidgetOf(Window& window, HWND hwnd) {
  for (Widget& widget : window.widgets) {
    if (widget.hwnd == hwnd) return &widget;
  }
  return nullptr;
}

LRESULT CALLBACK FormProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* window = reinterpret_cast<Window*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (message == WM_NCCREATE) {
    window = static_cast<Window*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(window));
    window->hwnd = hwnd;
  }
  if (window == nullptr || window->hwnd != hwnd)
    return DefWindowProcA(hwnd, message, wParam, lParam);
  // Nothing may unwind into user32: it cannot pass an exception on.
  try {
    return window->view->FormMessage(*window, message, wParam, lParam);
  } catch (const std::exception& fault) {
    window->view->ReportError(fault.what());
  } catch (...) {
    window->view->ReportError("");
  }
  return 0;
}

}  // namespace loader::forms::win32_view

namespace loader::forms {

std::unique_ptr<View> CreateToolkitView(std::string* error) {
  INITCOMMONCONTROLSEX classes{sizeof classes,
                               ICC_TAB_CLASSES | ICC_PROGRESS_CLASS | ICC_BAR_CLASSES};
  if (!InitCommonControlsEx(&classes)) {
    if (error != nullptr) *error = "the common controls are not available";
    return nullptr;
  }
  return std::make_unique<win32_view::Win32View>();
}

}  // namespace loader::forms
#endif  // _WIN32

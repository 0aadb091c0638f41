// Flashwright's windows on native Win32 controls: user32, gdi32, comctl32 and
// comdlg32 only, so the program stays one file. Controls are built generically from
// the form descriptions; after every event the forms' state is shown again, control
// by control, and only where it changed (100 ms timers must not make them flicker).
#if defined(_WIN32)
#include <windows.h>
// The common controls and dialogs need windows.h first.
#include <cderr.h>
#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "loader/forms/png_writer.h"
#include "loader/forms/view.h"

namespace loader::forms {
namespace {

constexpr char kPageClass[] = "FlashwrightTabPage";
// Below these, IsDialogMessage's IDOK and IDCANCEL stay apart from our controls.
constexpr int kFirstControlId = 100;
// A picture is taken once this many pending messages have been handled at most.
constexpr int kMaxPumpedMessages = 10000;

class Win32View;

// One control's window and what was last shown of its state.
struct Widget {
  const Control* description = nullptr;
  HWND hwnd = nullptr;   // the control; for a tab, its page
  HFONT font = nullptr;  // own font, when it differs from the form's
  bool shown = false;    // `last` is what the window shows
  ControlState last;
  bool timerRunning = false;
  bool pageShown = false;  // tabs: the page is the one shown
  // Tab controls: the tabs listed, in order, as name and title.
  std::vector<std::pair<std::string, std::string>> listed;
};

// One form's window.
struct Window {
  Win32View* view = nullptr;
  FormLogic* logic = nullptr;
  const Form* form = nullptr;
  bool main = false;
  HWND hwnd = nullptr;  // null once destroyed
  HWND tooltip = nullptr;
  HWND focus = nullptr;         // the control that had the focus when the window went inactive
  HFONT font = nullptr;         // the form's font
  std::vector<Widget> widgets;  // one per control, in the description's order
  bool shown = false;           // the fields below are what the window shows
  std::string lastCaption;
  int lastWidth = 0, lastHeight = 0;
  bool lastVisible = false;
  bool placed = false;  // positioned once, before it is first shown

  ~Window() {
    if (hwnd != nullptr) DestroyWindow(hwnd);
    for (Widget& widget : widgets) {
      if (widget.font != nullptr) DeleteObject(widget.font);
    }
    if (font != nullptr) DeleteObject(font);
  }
};

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

HFONT MakeFont(const std::string& name, int height) {
  return CreateFontA(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, name.c_str());
}

// Edit controls break lines only at CR LF.
std::string WithCrLf(std::string_view text, char before = '\0') {
  std::string result;
  result.reserve(text.size() + text.size() / 32);
  for (char c : text) {
    if (c == '\n' && before != '\r') result += '\r';
    result += c;
    before = c;
  }
  return result;
}

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

DWORD FormStyle(const Form& form) {
  DWORD style = WS_CAPTION | WS_CLIPCHILDREN;
  if (form.borderIcons)
    style |= WS_SYSMENU | WS_MINIMIZEBOX | (form.fixedBorder ? 0 : WS_MAXIMIZEBOX);
  if (!form.fixedBorder) style |= WS_THICKFRAME;
  return style | WS_POPUP;
}

LRESULT CALLBACK FormProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Tab pages hand their controls' notifications to the form, which knows the controls.
LRESULT CALLBACK PageProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND || message == WM_NOTIFY) {
    return SendMessageA(GetAncestor(hwnd, GA_ROOT), message, wParam, lParam);
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

bool RegisterWindowClass(const char* name, WNDPROC procedure) {
  WNDCLASSEXA existing{};
  existing.cbSize = sizeof existing;
  if (GetClassInfoExA(GetModuleHandleA(nullptr), name, &existing)) return true;
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = procedure;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  wc.lpszClassName = name;
  return RegisterClassExA(&wc) != 0;
}

class Win32View final : public View {
 public:
  ~Win32View() override { Teardown(); }

  BoxAnswer ShowBox(const std::string& text, const std::string& title, unsigned flags) override {
    if (picture_) return BoxAnswer::kCancel;  // nobody there to answer
    return MessageBoxA(nullptr, text.c_str(), title.c_str(), flags) == IDOK ? BoxAnswer::kOk
                                                                            : BoxAnswer::kCancel;
  }

  bool ChooseFile(const Control& dialog, std::string* fileName) override {
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

  void CloseWindow(FormLogic& form) override {
    for (auto& window : windows_) {
      if (window->logic == &form && window->hwnd != nullptr) DestroyWindow(window->hwnd);
    }
  }

  void Run(const char* applicationTitle, FormLogic& main, FormLogic& diagnostics) override {
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

  bool SavePicture(FormLogic& form, const std::string& path, std::string* error) override {
    if (running_ || picture_) return Fail(error, "the windows are in use");
    picture_ = true;
    pictureError_.clear();
    struct Reset {
      Win32View& view;
      ~Reset() {
        view.Teardown();
        view.picture_ = false;
      }
    } reset{*this};

    std::string reason;
    Window* window = Build(form, false, &reason);
    if (window == nullptr) return Fail(error, reason);
    Handle([&] { form.Created(); });
    if (!pictureError_.empty()) return Fail(error, "the form's creation failed: " + pictureError_);
    if (window->hwnd == nullptr) return Fail(error, "the form closed its window");
    Place(*window);
    ShowWindow(window->hwnd, SW_SHOWNOACTIVATE);
    MSG msg;
    for (int i = 0; i < kMaxPumpedMessages && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
      if (msg.message == WM_QUIT) {  // not ours: leave it for the loop that waits for it
        PostQuitMessage(static_cast<int>(msg.wParam));
        break;
      }
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    std::uint32_t width = 0, height = 0;
    std::vector<std::uint8_t> rgb;
    if (!Capture(window->hwnd, &width, &height, &rgb)) {
      return Fail(error, "cannot capture the window: " + LastErrorText());
    }
    const std::filesystem::path file(path);
    std::error_code ignored;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ignored);
    if (!WritePng(path, width, height, rgb)) return Fail(error, "cannot write " + path);
    return true;
  }

  // A form window's messages.
  LRESULT FormMessage(Window& window, UINT message, WPARAM wParam, LPARAM lParam) {
    const HWND hwnd = window.hwnd;
    switch (message) {
      case WM_COMMAND:
        if (lParam != 0) Command(window, reinterpret_cast<HWND>(lParam), HIWORD(wParam));
        return 0;
      case WM_NOTIFY: {
        const auto* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->code == static_cast<UINT>(TCN_SELCHANGE))
          PageSelected(window, header->hwndFrom);
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

  void ReportError(const char* text) {
    if (picture_) {
      if (pictureError_.empty()) pictureError_ = *text != '\0' ? text : "an unknown fault";
      return;
    }
    MessageBoxA(nullptr, text, title_.c_str(), MB_OK | MB_ICONERROR);
  }

 private:
  static bool Fail(std::string* error, const std::string& reason) {
    if (error != nullptr) *error = reason;
    return false;
  }

  // The reason the shut-down screen shows while a form holds the session up. Looked
  // up at run time: older Windows has no such screen. Through void (*)() to keep
  // clear of GCC's cast-function-type warning.
  static void ExplainWait(Window& window, bool waiting) {
    using Create = BOOL(WINAPI*)(HWND, LPCWSTR);
    using Destroy = BOOL(WINAPI*)(HWND);
    const HMODULE user32 = GetModuleHandleA("user32.dll");
    if (user32 == nullptr || window.hwnd == nullptr) return;
    if (waiting) {
      const auto create = reinterpret_cast<Create>(
          reinterpret_cast<void (*)()>(GetProcAddress(user32, "ShutdownBlockReasonCreate")));
      if (create != nullptr)
        create(window.hwnd, L"Programming the unit: wait until it has finished");
    } else {
      const auto destroy = reinterpret_cast<Destroy>(
          reinterpret_cast<void (*)()>(GetProcAddress(user32, "ShutdownBlockReasonDestroy")));
      if (destroy != nullptr) destroy(window.hwnd);
    }
  }

  // Destroys the windows; messages sent meanwhile find no window list to walk.
  void Teardown() {
    std::vector<std::unique_ptr<Window>> windows = std::move(windows_);
    windows_.clear();
    windows.clear();
  }

  bool Owns(HWND hwnd) const {
    return std::any_of(windows_.begin(), windows_.end(),
                       [hwnd](const auto& window) { return window->hwnd == hwnd; });
  }

  // Runs a handler; what it throws is shown and never reaches user32. Then every
  // form shows its state again.
  template <typename Handler>
  void Handle(Handler&& handler) {
    Guarded(handler);
    Guarded([this] {
      for (std::size_t i = 0; i < windows_.size(); ++i) Sync(*windows_[i]);
    });
  }

  template <typename Action>
  void Guarded(Action&& action) {
    try {
      action();
    } catch (const std::exception& fault) {
      ReportError(fault.what());
    } catch (...) {
      ReportError("");
    }
  }

  Window* Build(FormLogic& logic, bool main, std::string* error) {
    const Form& form = logic.State().description();
    const std::string className = std::string("T") + form.name;
    if (!RegisterWindowClass(className.c_str(), &FormProc) ||
        !RegisterWindowClass(kPageClass, &PageProc)) {
      *error = "cannot register the window class " + className + ": " + LastErrorText();
      return nullptr;
    }
    auto window = std::make_unique<Window>();
    window->view = this;
    window->logic = &logic;
    window->form = &form;
    window->main = main;
    window->font = MakeFont(form.font.name, form.font.height);
    window->widgets.resize(form.count);
    for (std::size_t i = 0; i < form.count; ++i) window->widgets[i].description = &form.controls[i];

    const DWORD style = FormStyle(form);
    RECT frame{0, 0, form.clientWidth, form.clientHeight};
    AdjustWindowRectEx(&frame, style, FALSE, 0);
    if (CreateWindowExA(0, className.c_str(), form.caption, style, form.left, form.top,
                        frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                        GetModuleHandleA(nullptr), window.get()) == nullptr) {
      *error = std::string("cannot create the window ") + form.name + ": " + LastErrorText();
      return nullptr;
    }
    window->tooltip = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr,
                                      WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                                      CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window->hwnd,
                                      nullptr, GetModuleHandleA(nullptr), nullptr);
    if (window->tooltip != nullptr) {
      SendMessageA(window->tooltip, TTM_SETDELAYTIME, TTDT_INITIAL, MAKELPARAM(0, 0));
      SendMessageA(window->tooltip, TTM_SETMAXTIPWIDTH, 0, 400);  // long hints wrap
    }
    // In the description's order, which is the order of the tab key.
    for (Widget& widget : window->widgets) {
      if (!CreateControl(*window, widget, error)) return nullptr;
    }
    windows_.push_back(std::move(window));
    return windows_.back().get();
  }

  // A control's parent window, created first when the description names it later.
  bool CreateControl(Window& window, Widget& widget, std::string* error, int depth = 0) {
    const Control& control = *widget.description;
    if (widget.hwnd != nullptr) return true;
    HWND parent = window.hwnd;
    if (const Control* named = window.form->Find(control.parent)) {
      Widget& parentWidget =
          window.widgets[static_cast<std::size_t>(named - window.form->controls)];
      if (depth > 2) {  // tab controls hold pages, pages hold controls: no deeper
        *error = std::string("the parents of ") + control.name + " go round in a circle";
        return false;
      }
      if (!CreateControl(window, parentWidget, error, depth + 1)) return false;
      parent = parentWidget.hwnd;
    }
    const char* windowClass = nullptr;
    DWORD style = WS_CHILD | WS_CLIPSIBLINGS;
    DWORD exStyle = 0;
    switch (control.kind) {
      case Kind::kPanel:
        windowClass = "STATIC";
        style |=
            SS_SUNKEN | SS_CENTER | SS_CENTERIMAGE | SS_NOTIFY;  // notify: hints need the mouse
        break;
      case Kind::kLabel:
        windowClass = "STATIC";
        style |= (IsMultiLine(window, control) ? SS_LEFT : SS_LEFTNOWORDWRAP) | SS_NOTIFY;
        break;
      case Kind::kButton:
        windowClass = "BUTTON";
        style |= BS_PUSHBUTTON | WS_TABSTOP;
        break;
      case Kind::kEdit:
        windowClass = "EDIT";
        style |= ES_AUTOHSCROLL | WS_TABSTOP;
        exStyle = WS_EX_CLIENTEDGE;
        break;
      case Kind::kMemo:
        windowClass = "EDIT";
        style |= ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN | WS_VSCROLL | WS_TABSTOP;
        exStyle = WS_EX_CLIENTEDGE;
        break;
      case Kind::kCheckBox:
        windowClass = "BUTTON";
        style |= BS_AUTOCHECKBOX | WS_TABSTOP;
        break;
      case Kind::kProgressBar: windowClass = PROGRESS_CLASSA; break;
      case Kind::kTabControl:
        windowClass = WC_TABCONTROLA;
        style |= WS_TABSTOP | WS_CLIPCHILDREN;
        exStyle = WS_EX_CONTROLPARENT;  // tab key navigation goes on into the pages
        break;
      case Kind::kTab:
        windowClass = kPageClass;
        style |= WS_CLIPCHILDREN;
        exStyle = WS_EX_CONTROLPARENT;
        break;
      case Kind::kDivider:
        windowClass = "STATIC";
        style |= SS_ETCHEDHORZ;
        break;
      case Kind::kTimer:
      case Kind::kOpenDialog: return true;  // no window
    }
    const std::size_t index = static_cast<std::size_t>(&widget - window.widgets.data());
    widget.hwnd = CreateWindowExA(
        exStyle, windowClass, "", style, control.left, control.top, control.width, control.height,
        parent,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstControlId + static_cast<int>(index))),
        GetModuleHandleA(nullptr), nullptr);
    if (widget.hwnd == nullptr) {
      *error = std::string("cannot create the control ") + control.name + " of " +
               window.form->name + ": " + LastErrorText();
      return false;
    }
    // Edit controls refuse appended text beyond 30000 characters unless told otherwise.
    if (control.kind == Kind::kMemo) SendMessageA(widget.hwnd, EM_SETLIMITTEXT, 0, 0);
    return true;
  }

  // A label wraps its words when it has room for more than one line.
  static bool IsMultiLine(const Window& window, const Control& control) {
    const int fontHeight =
        control.font.height != 0 ? control.font.height : window.form->font.height;
    return control.height >= 2 * std::abs(fontHeight);
  }

  void Command(Window& window, HWND from, WORD code) {
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

  void PageSelected(Window& window, HWND tabControl) {
    Widget* widget = WidgetOf(window, tabControl);
    if (widget == nullptr || widget->description->kind != Kind::kTabControl) return;
    const LRESULT selected = SendMessageA(tabControl, TCM_GETCURSEL, 0, 0);
    if (selected < 0 || static_cast<std::size_t>(selected) >= widget->listed.size()) return;
    window.logic->State().controls()[Index(window, *widget)].activePage =
        widget->listed[static_cast<std::size_t>(selected)].first;
    Handle([] {});
  }

  static Widget* WidgetOf(Window& window, HWND hwnd) {
    for (Widget& widget : window.widgets) {
      if (widget.hwnd == hwnd) return &widget;
    }
    return nullptr;
  }

  static std::size_t Index(const Window& window, const Widget& widget) {
    return static_cast<std::size_t>(&widget - window.widgets.data());
  }

  // Where a window not yet shown goes: centred on the screen, or where the form says.
  static void Place(Window& window) {
    if (window.placed || window.hwnd == nullptr) return;
    window.placed = true;
    if (!window.form->centred) return;
    RECT frame;
    GetWindowRect(window.hwnd, &frame);
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    SetWindowPos(window.hwnd, nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - height) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  // Shows a form's state where it differs from what the window shows.
  void Sync(Window& window) {
    if (window.hwnd == nullptr) return;
    struct Syncing {
      bool& flag;
      const bool before = flag;
      ~Syncing() { flag = before; }
    } syncing{syncing_};
    syncing_ = true;
    FormState& state = window.logic->State();
    if (!window.shown || state.caption != window.lastCaption) {
      SetWindowTextA(window.hwnd, state.caption.c_str());
      window.lastCaption = state.caption;
    }
    if (!window.shown || state.clientWidth != window.lastWidth ||
        state.clientHeight != window.lastHeight) {
      RECT frame{0, 0, state.clientWidth, state.clientHeight};
      AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongA(window.hwnd, GWL_STYLE)), FALSE,
                         static_cast<DWORD>(GetWindowLongA(window.hwnd, GWL_EXSTYLE)));
      SetWindowPos(window.hwnd, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
      window.lastWidth = state.clientWidth;
      window.lastHeight = state.clientHeight;
    }
    window.shown = true;
    auto& controls = state.controls();
    for (std::size_t i = 0; i < window.widgets.size() && i < controls.size(); ++i) {
      SyncControl(window, window.widgets[i], controls[i]);
    }
    if (showForms_ && window.hwnd != nullptr && state.visible != window.lastVisible) {
      if (state.visible) Place(window);
      ShowWindow(window.hwnd, state.visible ? SW_SHOW : SW_HIDE);
      window.lastVisible = state.visible;
    }
  }

  void SyncControl(Window& window, Widget& widget, ControlState& state) {
    const Control& control = *widget.description;
    const bool all = !widget.shown;
    ControlState& last = widget.last;
    if (control.kind == Kind::kTimer) {
      const bool run = !picture_ && state.enabled && state.interval > 0;
      if (run != widget.timerRunning || (run && state.interval != last.interval)) {
        const UINT_PTR id = Index(window, widget) + 1;
        if (run) {
          SetTimer(window.hwnd, id, static_cast<UINT>(state.interval), nullptr);
        } else {
          KillTimer(window.hwnd, id);
        }
        widget.timerRunning = run;
      }
      last.interval = state.interval;
      return;
    }
    const HWND hwnd = widget.hwnd;
    if (hwnd == nullptr || control.kind == Kind::kTab) return;  // pages follow their tab control

    if (all || state.fontName != last.fontName || state.fontHeight != last.fontHeight) {
      SetFont(window, widget, state);
    }
    if (all || state.left != last.left || state.top != last.top || state.width != last.width ||
        state.height != last.height) {
      MoveWindow(hwnd, state.left, state.top, state.width, state.height, TRUE);
    }
    if (all || state.caption != last.caption) ShowCaption(widget, state.caption);
    if (all || state.hint != last.hint) ShowHint(window, widget, state.hint);
    if (all || state.enabled != last.enabled) EnableWindow(hwnd, state.enabled);
    if (all || state.visible != last.visible) ShowWindow(hwnd, state.visible ? SW_SHOWNA : SW_HIDE);
    if (control.kind == Kind::kCheckBox && (all || state.checked != last.checked)) {
      SendMessageA(hwnd, BM_SETCHECK, state.checked ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    if (control.kind == Kind::kProgressBar) {
      if (all || state.min != last.min || state.max != last.max) {
        SendMessageA(hwnd, PBM_SETRANGE32, static_cast<WPARAM>(state.min), state.max);
      }
      if (all || state.min != last.min || state.max != last.max ||
          state.position != last.position) {
        SendMessageA(hwnd, PBM_SETPOS, static_cast<WPARAM>(state.position), 0);
      }
    }
    const bool moved = all || state.left != last.left || state.top != last.top ||
                       state.width != last.width || state.height != last.height ||
                       state.fontHeight != last.fontHeight || state.fontName != last.fontName;
    // The pages' own state is read here, before `last` forgets what changed.
    if (control.kind == Kind::kTabControl) SyncTabs(window, widget, state, moved);
    last = state;
    widget.shown = true;
  }

  void SetFont(Window& window, Widget& widget, const ControlState& state) {
    const Form& form = *window.form;
    const std::string name = state.fontName.empty() ? form.font.name : state.fontName;
    const int height = state.fontHeight != 0 ? state.fontHeight : form.font.height;
    HFONT font = window.font;
    if (name != form.font.name || height != form.font.height) font = MakeFont(name, height);
    SendMessageA(widget.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    if (widget.font != nullptr) DeleteObject(widget.font);  // no longer selected anywhere
    widget.font = font != window.font ? font : nullptr;
  }

  void ShowCaption(Widget& widget, const std::string& caption) {
    switch (widget.description->kind) {
      case Kind::kPanel: {
        std::string_view text(caption);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
        SetWindowTextA(widget.hwnd, std::string(text).c_str());
        break;
      }
      case Kind::kMemo: {
        const std::string& before = widget.last.caption;
        if (widget.shown && !before.empty() && caption.starts_with(before)) {
          // Appended: add the new text only, at the end, and keep the end in view.
          const std::string added =
              WithCrLf(std::string_view(caption).substr(before.size()), before.back());
          const LRESULT end = SendMessageA(widget.hwnd, WM_GETTEXTLENGTH, 0, 0);
          SendMessageA(widget.hwnd, EM_SETSEL, static_cast<WPARAM>(end), end);
          SendMessageA(widget.hwnd, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(added.c_str()));
        } else {
          SetWindowTextA(widget.hwnd, WithCrLf(caption).c_str());
          const LRESULT end = SendMessageA(widget.hwnd, WM_GETTEXTLENGTH, 0, 0);
          SendMessageA(widget.hwnd, EM_SETSEL, static_cast<WPARAM>(end), end);
        }
        SendMessageA(widget.hwnd, EM_SCROLLCARET, 0, 0);
        break;
      }
      case Kind::kLabel:
      case Kind::kButton:
      case Kind::kEdit:
      case Kind::kCheckBox: SetWindowTextA(widget.hwnd, caption.c_str()); break;
      default: break;
    }
  }

  void ShowHint(const Window& window, const Widget& widget, const std::string& hint) {
    if (window.tooltip == nullptr) return;
    TOOLINFOA tool{};
    tool.cbSize = TTTOOLINFOA_V2_SIZE;  // understood by every version of the common controls
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = GetParent(widget.hwnd);
    tool.uId = reinterpret_cast<UINT_PTR>(widget.hwnd);
    tool.lpszText = const_cast<char*>(hint.c_str());
    const bool had = widget.shown && !widget.last.hint.empty();
    if (hint.empty()) {
      if (had) SendMessageA(window.tooltip, TTM_DELTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
    } else {
      SendMessageA(window.tooltip, had ? TTM_UPDATETIPTEXTA : TTM_ADDTOOLA, 0,
                   reinterpret_cast<LPARAM>(&tool));
    }
  }

  // A tab control lists its visible tabs and shows the page of the active one.
  void SyncTabs(Window& window, Widget& tabControl, ControlState& state, bool moved) {
    const std::string_view name = tabControl.description->name;
    FormState& form = window.logic->State();
    std::vector<std::pair<std::string, std::string>> listed;
    std::vector<Widget*> pages;
    for (std::size_t i = 0; i < window.widgets.size(); ++i) {
      Widget& page = window.widgets[i];
      if (page.description->kind != Kind::kTab || page.description->parent != name) continue;
      pages.push_back(&page);
      const ControlState& tab = form.controls()[i];
      if (tab.tabVisible) listed.emplace_back(page.description->name, tab.caption);
    }
    const bool relisted = !tabControl.shown || listed != tabControl.listed;
    if (relisted) {
      SendMessageA(tabControl.hwnd, TCM_DELETEALLITEMS, 0, 0);
      for (std::size_t i = 0; i < listed.size(); ++i) {
        TCITEMA item{};
        item.mask = TCIF_TEXT;
        item.pszText = listed[i].second.data();
        SendMessageA(tabControl.hwnd, TCM_INSERTITEMA, i, reinterpret_cast<LPARAM>(&item));
      }
      tabControl.listed = std::move(listed);
    }
    if (relisted || moved) {  // the page area depends on the size, font and rows of tabs
      RECT area;
      GetClientRect(tabControl.hwnd, &area);
      SendMessageA(tabControl.hwnd, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&area));
      for (Widget* page : pages) {
        MoveWindow(page->hwnd, area.left, area.top, area.right - area.left, area.bottom - area.top,
                   TRUE);
      }
    }
    // The page shown must be a listed one; otherwise the first listed takes its place.
    const auto& shownTabs = tabControl.listed;
    auto active = std::find_if(shownTabs.begin(), shownTabs.end(),
                               [&](const auto& tab) { return tab.first == state.activePage; });
    if (active == shownTabs.end() && !shownTabs.empty()) {
      active = shownTabs.begin();
      state.activePage = active->first;
    }
    if (relisted || state.activePage != tabControl.last.activePage) {
      const auto selected = active == shownTabs.end() ? -1 : active - shownTabs.begin();
      SendMessageA(tabControl.hwnd, TCM_SETCURSEL, static_cast<WPARAM>(selected), 0);
    }
    for (Widget* page : pages) {
      const bool show = active != shownTabs.end() && active->first == page->description->name;
      if (show != page->pageShown || !page->shown) {
        ShowWindow(page->hwnd, show ? SW_SHOWNA : SW_HIDE);
        page->pageShown = show;
        page->shown = true;
      }
    }
  }

  // The client area as it is on the screen, as RGB rows.
  static bool Capture(HWND hwnd, std::uint32_t* width, std::uint32_t* height,
                      std::vector<std::uint8_t>* rgb) {
    RedrawWindow(hwnd, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    GdiFlush();
    RECT client;
    GetClientRect(hwnd, &client);
    if (client.right <= 0 || client.bottom <= 0) return false;
    *width = static_cast<std::uint32_t>(client.right);
    *height = static_cast<std::uint32_t>(client.bottom);

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = client.right;
    info.bmiHeader.biHeight = -client.bottom;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    const HDC screen = GetDC(hwnd);
    if (screen == nullptr) return false;
    void* bits = nullptr;
    const HDC memory = CreateCompatibleDC(screen);
    const HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool copied = false;
    if (memory != nullptr && bitmap != nullptr) {
      const HGDIOBJ old = SelectObject(memory, bitmap);
      copied = BitBlt(memory, 0, 0, client.right, client.bottom, screen, 0, 0, SRCCOPY) != FALSE;
      GdiFlush();
      SelectObject(memory, old);
    }
    if (copied) {
      const auto* pixels = static_cast<const std::uint8_t*>(bits);  // B, G, R, unused
      const std::size_t count = std::size_t{*width} * *height;
      rgb->resize(count * 3);
      for (std::size_t i = 0; i < count; ++i) {
        (*rgb)[i * 3] = pixels[i * 4 + 2];
        (*rgb)[i * 3 + 1] = pixels[i * 4 + 1];
        (*rgb)[i * 3 + 2] = pixels[i * 4];
      }
    }
    if (bitmap != nullptr) DeleteObject(bitmap);
    if (memory != nullptr) DeleteDC(memory);
    ReleaseDC(hwnd, screen);
    return copied;
  }

  std::vector<std::unique_ptr<Window>> windows_;
  std::string title_;
  bool running_ = false;    // Run's loop: closing the main window ends it
  bool showForms_ = false;  // the forms' own visibility applies (after every Created())
  bool picture_ = false;    // SavePicture: nothing interactive, timers stay off
  bool syncing_ = false;    // our own texts going in: not the user typing
  std::string pictureError_;
};

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

}  // namespace

std::unique_ptr<View> CreateToolkitView(std::string* error) {
  INITCOMMONCONTROLSEX classes{sizeof classes,
                               ICC_TAB_CLASSES | ICC_PROGRESS_CLASS | ICC_BAR_CLASSES};
  if (!InitCommonControlsEx(&classes)) {
    if (error != nullptr) *error = "the common controls are not available";
    return nullptr;
  }
  return std::make_unique<Win32View>();
}

}  // namespace loader::forms
#endif  // _WIN32

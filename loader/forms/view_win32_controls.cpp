// The Win32 view's building: a window per form and a control per description,
// their window classes, styles and fonts.
#if defined(_WIN32)
#include <windows.h>
// The common controls need windows.h first.
#include <commctrl.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "loader/forms/view_win32_internal.h"

namespace loader::forms::win32_view {
namespace {

constexpr char kPageClass[] = "FlashwrightTabPage";
// Below these, IsDialogMessage's IDOK and IDCANCEL stay apart from our controls.
constexpr int kFirstControlId = 100;

DWORD FormStyle(const Form& form) {
  DWORD style = WS_CAPTION | WS_CLIPCHILDREN;
  if (form.borderIcons)
    style |= WS_SYSMENU | WS_MINIMIZEBOX | (form.fixedBorder ? 0 : WS_MAXIMIZEBOX);
  if (!form.fixedBorder) style |= WS_THICKFRAME;
  return style | WS_POPUP;
}

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

}  // namespace

HFONT MakeFont(const std::string& name, int height) {
  return CreateFontA(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, name.c_str());
}

Window* Win32View::Build(FormLogic& logic, bool main, std::string* error) {
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
bool Win32View::CreateControl(Window& window, Widget& widget, std::string* error, int depth) {
  const Control& control = *widget.description;
  if (widget.hwnd != nullptr) return true;
  HWND parent = window.hwnd;
  if (const Control* named = window.form->Find(control.parent)) {
    Widget& parentWidget = window.widgets[static_cast<std::size_t>(named - window.form->controls)];
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
      style |= SS_SUNKEN | SS_CENTER | SS_CENTERIMAGE | SS_NOTIFY;  // notify: hints need the mouse
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
    *error = std::string("cannot create the control ") + control.name + " of " + window.form->name +
             ": " + LastErrorText();
    return false;
  }
  // Edit controls refuse appended text beyond 30000 characters unless told otherwise.
  if (control.kind == Kind::kMemo) SendMessageA(widget.hwnd, EM_SETLIMITTEXT, 0, 0);
  return true;
}

// A label wraps its words when it has room for more than one line.
bool Win32View::IsMultiLine(const Window& window, const Control& control) {
  const int fontHeight = control.font.height != 0 ? control.font.height : window.form->font.height;
  return control.height >= 2 * std::abs(fontHeight);
}

}  // namespace loader::forms::win32_view
#endif  // _WIN32

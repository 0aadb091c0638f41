// The Win32 view's showing of the forms' state: after every event, control by
// control and only where it changed (100 ms timers must not make them flicker).
#if defined(_WIN32)
#include <windows.h>
// The common controls need windows.h first.
#include <commctrl.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "loader/forms/view_win32_internal.h"

namespace loader::forms::win32_view {
namespace {

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

}  // namespace

// Where a window not yet shown goes: centred on the screen, or where the form says.
void Win32View::Place(Window& window) {
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
void Win32View::Sync(Window& window) {
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

void Win32View::SyncControl(Window& window, Widget& widget, ControlState& state) {
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
    if (all || state.min != last.min || state.max != last.max || state.position != last.position) {
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

void Win32View::SetFont(Window& window, Widget& widget, const ControlState& state) {
  const Form& form = *window.form;
  const std::string name = state.fontName.empty() ? form.font.name : state.fontName;
  const int height = state.fontHeight != 0 ? state.fontHeight : form.font.height;
  HFONT font = window.font;
  if (name != form.font.name || height != form.font.height) font = MakeFont(name, height);
  SendMessageA(widget.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  if (widget.font != nullptr) DeleteObject(widget.font);  // no longer selected anywhere
  widget.font = font != window.font ? font : nullptr;
}

void Win32View::ShowCaption(Widget& widget, const std::string& caption) {
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

void Win32View::ShowHint(const Window& window, const Widget& widget, const std::string& hint) {
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
void Win32View::SyncTabs(Window& window, Widget& tabControl, ControlState& state, bool moved) {
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

}  // namespace loader::forms::win32_view
#endif  // _WIN32

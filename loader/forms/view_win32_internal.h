// What the Win32 view's files share: the form windows and their controls as built,
// and the view that builds them, runs their messages and shows the forms' state.
#pragma once

#if defined(_WIN32)
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "loader/forms/view.h"

namespace loader::forms::win32_view {

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

std::string LastErrorText();
HFONT MakeFont(const std::string& name, int height);
LRESULT CALLBACK FormProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

class Win32View final : public View {
 public:
  ~Win32View() override { Teardown(); }

  BoxAnswer ShowBox(const std::string& text, const std::string& title, unsigned flags) override;
  bool ChooseFile(const Control& dialog, std::string* fileName) override;
  void CloseWindow(FormLogic& form) override;
  void Run(const char* applicationTitle, FormLogic& main, FormLogic& diagnostics) override;
  bool SavePicture(FormLogic& form, const std::string& path, std::string* error) override;

  // A form window's messages.
  LRESULT FormMessage(Window& window, UINT message, WPARAM wParam, LPARAM lParam);
  void ReportError(const char* text);

 private:
  static bool Fail(std::string* error, const std::string& reason);

  static void ExplainWait(Window& window, bool waiting);

  void Teardown();

  bool Owns(HWND hwnd) const;

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

  // Building the windows and their controls (view_win32_controls.cpp).
  Window* Build(FormLogic& logic, bool main, std::string* error);
  bool CreateControl(Window& window, Widget& widget, std::string* error, int depth = 0);
  static bool IsMultiLine(const Window& window, const Control& control);

  // The user's doing, handed to the form's logic (view_win32.cpp, with the messages).
  void Command(Window& window, HWND from, WORD code);
  void PageSelected(Window& window, HWND tabControl);
  static Widget* WidgetOf(Window& window, HWND hwnd);

  static std::size_t Index(const Window& window, const Widget& widget) {
    return static_cast<std::size_t>(&widget - window.widgets.data());
  }

  // Showing the forms' state (view_win32_sync.cpp).
  static void Place(Window& window);
  void Sync(Window& window);
  void SyncControl(Window& window, Widget& widget, ControlState& state);
  void SetFont(Window& window, Widget& widget, const ControlState& state);
  void ShowCaption(Widget& widget, const std::string& caption);
  void ShowHint(const Window& window, const Widget& widget, const std::string& hint);
  void SyncTabs(Window& window, Widget& tabControl, ControlState& state, bool moved);

  // Pictures of a window (view_win32_picture.cpp).
  static bool Capture(HWND hwnd, std::uint32_t* width, std::uint32_t* height,
                      std::vector<std::uint8_t>* rgb);

  std::vector<std::unique_ptr<Window>> windows_;
  std::string title_;
  bool running_ = false;    // Run's loop: closing the main window ends it
  bool showForms_ = false;  // the forms' own visibility applies (after every Created())
  bool picture_ = false;    // SavePicture: nothing interactive, timers stay off
  bool syncing_ = false;    // our own texts going in: not the user typing
  std::string pictureError_;
};

}  // namespace loader::forms::win32_view
#endif  // _WIN32

// What a form's logic and its view share: the controls' live state, the events a
// view forwards, and the few services a handler asks of the view (message box, file
// dialog, closing the window). No toolkit appears here.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "loader/forms/forms.h"

namespace loader::forms {

// Everything a handler may change about one control. Views show it; the logic
// reads back what the user changed (an edit's text, a check box).
struct ControlState {
  std::string caption;  // caption, or an edit's or memo's text
  std::string hint;
  std::string fontName;  // "" : the form's font
  int fontHeight = 0;
  int left = 0, top = 0, width = 0, height = 0;
  bool visible = true;
  bool enabled = true;     // timers: running
  bool tabVisible = true;  // tabs: the tab itself is listed
  bool checked = false;
  int interval = 0;
  int position = 0, min = 0, max = 0;
  std::string activePage;  // tab controls: the name of the page shown
};

class FormState {
 public:
  explicit FormState(const Form& form);

  const Form& description() const { return *form_; }
  // The state of a named control; an unknown name is a programming error and
  // throws std::out_of_range.
  ControlState& operator[](std::string_view name);
  const ControlState& operator[](std::string_view name) const;
  // In the description's order, one per control (unnamed ones included).
  std::vector<ControlState>& controls() { return controls_; }
  const std::vector<ControlState>& controls() const { return controls_; }

  std::string caption;
  int clientWidth = 0, clientHeight = 0;
  bool visible = false;

 private:
  const Form* form_;
  std::vector<ControlState> controls_;
};

// The platform's flags for a message box, as the window's texts are shown with them.
inline constexpr unsigned kBoxOk = 0x0;
inline constexpr unsigned kBoxOkCancel = 0x1;
inline constexpr unsigned kBoxServiceNotification = 0x00200000;

enum class BoxAnswer { kOk, kCancel };

// One window's behaviour. A view calls these on the main thread; before a click or
// a close it has copied what the user changed (edit text, check state, the page
// shown) into State(), and after each call it shows State() again.
class FormLogic {
 public:
  virtual ~FormLogic() = default;
  virtual FormState& State() = 0;
  virtual void Created() {}                              // OnCreate, once the widgets exist
  virtual void Clicked(std::string_view /*control*/) {}  // buttons and check boxes
  virtual void TimerFired(std::string_view /*timer*/) {}
  virtual bool CloseQuery() { return true; }  // any attempt to close
  // The user's session is ending (log-off, shut-down), which closes no window the
  // usual way. Asked first, without a box (nobody may be there to answer one):
  // false asks the system to wait. Then told, when it ends all the same.
  virtual bool QueryEndSession() { return true; }
  virtual void EndSession() {}
};

// What handlers ask of the view. Boxes are shown without an owner window.
class UiService {
 public:
  virtual ~UiService() = default;
  virtual BoxAnswer ShowBox(const std::string& text, const std::string& title, unsigned flags) = 0;
  // An open-file dialog as `dialog` describes it (filter, read-only box,
  // resizable); `fileName` presets the name and receives the choice. False when
  // the user cancelled.
  virtual bool ChooseFile(const Control& dialog, std::string* fileName) = 0;
  // The form's close was allowed: its window goes; the main window's ends the loop.
  virtual void CloseWindow(FormLogic& form) = 0;
};

// A toolkit's windows. Created before the forms (they need its UiService), then run
// once: it builds both windows from their descriptions, calls Created() on each,
// shows the visible ones, runs their timers and forwards events until the main
// window has closed. An exception a handler throws is shown in a box and the loop
// goes on.
class View : public UiService {
 public:
  virtual void Run(const char* applicationTitle, FormLogic& main, FormLogic& diagnostics) = 0;
  // For tests and the demo: builds the form's window, calls Created(), and saves a
  // picture of it as PNG without running the loop. False with a reason in `error`.
  virtual bool SavePicture(FormLogic& form, const std::string& path, std::string* error) = 0;
};

// Null with the reason when no window can be shown (no display, on Linux).
using ViewFactory = std::unique_ptr<View> (*)(std::string* error);

}  // namespace loader::forms

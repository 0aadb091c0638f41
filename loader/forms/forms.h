// Flashwright's two windows as data: every control with its kind, name, parent,
// geometry, caption, hint and font, and the forms' own properties. The logic
// (loader/Main, loader/Diag) changes the controls' state; a view builds its widgets
// from these descriptions and shows that state.
#pragma once

#include <cstddef>
#include <string_view>

namespace loader::forms {

enum class Kind {
  kPanel,  // sunken box showing a text
  kLabel,  // static text; word-wrapped when wider text than the control
  kButton,
  kEdit,  // one-line text entry
  kMemo,  // multi-line text box with a vertical scroll bar
  kCheckBox,
  kProgressBar,
  kTabControl,  // holds the tabs whose parent it is
  kTab,         // a page of a tab control: caption is the tab's title
  kDivider,     // horizontal line
  kTimer,       // no widget: interval and enabled only
  kOpenDialog,  // no widget: caption holds the filter "Text|pattern"
};

struct Font {
  const char* name = nullptr;  // null: the form's font
  int height = 0;              // negative: character height in pixels
};

struct Control {
  Kind kind;
  const char* name;              // "" for the unnamed static texts and the divider
  const char* parent;            // "" for the form itself, else a tab's or the tab control's name
  int left, top, width, height;  // relative to the parent's client area
  const char* caption;           // caption, edit text, or a dialog's filter
  const char* hint;              // "" when none
  Font font;
  bool visible;
  bool enabled;  // timers: running from the start
  int interval;  // timers, in milliseconds
  int max;       // progress bars (minimum 0)
};

struct Form {
  const char* name;
  const char* caption;
  int left, top;  // where not centred
  int clientWidth, clientHeight;
  bool centred;
  bool fixedBorder;  // single fixed border: not resizable
  bool borderIcons;  // system menu, minimise and close boxes
  bool visible;      // shown when the window mode starts
  Font font;
  const Control* controls;  // in declaration order
  std::size_t count;

  // The control of that name; null when there is none.
  const Control* Find(std::string_view controlName) const;
};

extern const Form kTheForm;
extern const Form kDiagForm;

}  // namespace loader::forms

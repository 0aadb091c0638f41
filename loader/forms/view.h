// The program's window toolkit: native Win32 controls on Windows, Qt Widgets on Linux.
// One factory, one backend per platform (view_win32.cpp / view_qt.cpp).
#pragma once

#include <memory>
#include <string>

#include "loader/forms/ui.h"

namespace loader::forms {

// Null with the reason when no window can be shown (on Linux: no display).
std::unique_ptr<View> CreateToolkitView(std::string* error);

}  // namespace loader::forms

// The full path of the running program's own file (the loader reads its appended
// firmware image from it).
#pragma once

#include <string>

namespace platform {

std::string OwnProgramPath();

}  // namespace platform

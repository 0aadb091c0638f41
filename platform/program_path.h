// The full path of the running program's own file (the loader reads its appended
// firmware image from it).
#pragma once

#include <string>

namespace platform {

std::string OwnProgramPath();

// What program file names end in: ".exe" on Windows, nothing on POSIX.
const char* ProgramFileSuffix();

}  // namespace platform

// The console: that of a window program started from a shell, and whether standard
// output is one.
#pragma once

#include <cstdio>
#include <string>

namespace platform {

// When standard output is not usable (a window program started from a command
// prompt has none) and the system offers AttachConsole, attaches to the parent's
// console and returns an unbuffered text stream on its output. Returns nullptr
// when nothing was attached: standard output is then the place to write. POSIX
// programs always have their terminal as standard output, so nothing is attached.
std::FILE* AttachParentConsole();

// The current working directory as the shell shows it in its prompt.
std::string CurrentDirectory();

// Whether standard output is an interactive console (a terminal) rather than a
// file or a pipe: a program may then redraw a line in place.
bool StandardOutputIsTerminal();

}  // namespace platform

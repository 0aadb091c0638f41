// The console: that of a window program started from a shell, whether standard
// output is one, and the requests to end that reach a program through it.
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

// Whether standard output is a terminal that takes the cursor-up and erase-line
// escape sequences (on Windows: switched on here, where the console offers them).
bool EnableLineRedraw();

// Has `onEnd` run once, on a thread of its own, when the process is asked to end
// from outside: Ctrl-C, its terminal or console window closing, a polite kill
// (POSIX: SIGINT, SIGHUP, SIGTERM; Windows: the console's Ctrl and close events).
// The rest of the process runs on meanwhile; once `onEnd` returns, the request
// ends the process as it would have without us. Call it before any other thread
// starts (POSIX: the threads inherit the signals held back for the watcher).
void OnEndRequest(void (*onEnd)());

}  // namespace platform

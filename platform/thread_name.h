// Names the calling thread for debuggers and crash reports. Best effort: a system
// without the service leaves the thread unnamed, with no effect on behaviour.
#pragma once

namespace platform {

void NameCurrentThread(const char* name);

}  // namespace platform

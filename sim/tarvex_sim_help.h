// tarvex-sim's --help text, apart from the program so that the program reads in one
// sitting.
#pragma once

namespace sim {

extern const char* const kTarvexSimHelp;

}  // namespace sim

// Flashwright's main(): the one place the process ends, bar an end asked from outside.
#include <atomic>
#include <string>
#include <vector>

#include "loader/forms/view.h"
#include "loader/startup.h"
#include "platform/console.h"

namespace {

std::atomic<loader::LoaderState*> running{nullptr};

// A terminal closing or a kill must not leave the unit to us: hosts would be kept
// out (open result 170) until Flashwright ran again.
void HandBackOnEnd() {
  if (loader::LoaderState* state = running.load()) loader::HandBackUnit(*state);
}

}  // namespace

int main(int argc, char** argv) {
  // First, before any thread starts: the watcher takes the end requests for all.
  platform::OnEndRequest(&HandBackOnEnd);
  // One state for the life of the process; the code that uses it takes it by reference.
  // The window mode runs on the platform's toolkit.
  static loader::LoaderState state(
      loader::LoaderServices{.CreateView = &loader::forms::CreateToolkitView});
  running = &state;
  std::vector<std::string> args(argv + 1, argv + argc);
  const int code = loader::RunFlashwright(state, args);
  running = nullptr;  // handed back already by the exit path
  return code;
}

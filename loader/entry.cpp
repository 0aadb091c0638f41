// Flashwright's main(): the one place the process ends.
#include <string>
#include <vector>

#include "loader/forms/view.h"
#include "loader/startup.h"

int main(int argc, char** argv) {
  // One state for the life of the process; the code that uses it takes it by reference.
  // The window mode runs on the platform's toolkit.
  static loader::LoaderState state(
      loader::LoaderServices{.CreateView = &loader::forms::CreateToolkitView});
  std::vector<std::string> args(argv + 1, argv + argc);
  return loader::RunFlashwright(state, args);
}

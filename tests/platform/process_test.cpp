// The program's own path and the current directory as the shell shows it.
#include <gtest/gtest.h>

#include <filesystem>
#include <system_error>

#include "platform/console.h"
#include "platform/program_path.h"
#include "test_names.h"

namespace {

namespace fs = std::filesystem;

TEST(ProgramPath, IsThisTestProgram) {
  const fs::path path = platform::OwnProgramPath();
  EXPECT_TRUE(path.is_absolute()) << path;
  EXPECT_EQ(path.stem(), "platform_tests") << path;
  EXPECT_TRUE(fs::is_regular_file(path)) << path;
}

TEST(CurrentDirectory, FollowsTheWorkingDirectory) {
  const fs::path original = fs::current_path();
  EXPECT_EQ(platform::CurrentDirectory(), original.string());

  const fs::path other = fs::temp_directory_path() / platform_test::UniqueName("tarvex-cwd-");
  fs::create_directories(other);
  fs::current_path(other);
  const std::string seen = platform::CurrentDirectory();
  const fs::path expected = fs::current_path();
  fs::current_path(original);
  std::error_code ignored;
  fs::remove(other, ignored);

  EXPECT_EQ(seen, expected.string());
  EXPECT_NE(seen, original.string());
}

// Nothing to attach when the program already has a standard output (as a test run does).
TEST(Console, NothingAttachedWithAUsableOutput) {
  EXPECT_EQ(platform::AttachParentConsole(), nullptr);
}

}  // namespace

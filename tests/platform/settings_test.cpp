// Stored settings against the real system: on POSIX the settings file and the
// autostart entry, under fresh XDG folders per test; on Windows the registry of the
// build's Wine prefix, cleared before and after each test.
#include "platform/settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdlib>
#endif

#include "test_names.h"

namespace {

namespace fs = std::filesystem;
using platform::SettingStatus;

// Paths a user may well have, and the characters every layer of quoting must survive.
const char* const kAwkwardPaths[] = {
    "/opt/qmx/flashwright",       "/home/me/My Programs/flash wright",
    "/tmp/it's \"quoted\"",       "C:\\Program Files\\QMX\\Flashwright.exe",
    "/tmp/$HOME/`id`/100%/%f %%", "/tmp/two  blanks/trailing ",
    " /leading blank\\\\$\"`",    "/tmp/\xC3\xBCmlaut;&|<>*?#~()=[x]\t",
};

#ifdef _WIN32
constexpr const char* kProgrammerKey = "Software\\Quillmark\\Programmer";

class Settings : public testing::Test {
 protected:
  void SetUp() override { Forget(); }
  void TearDown() override { Forget(); }
  static void Forget() {
    RegDeleteKeyA(HKEY_CURRENT_USER, kProgrammerKey);
    HKEY run = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", 0,
                      KEY_SET_VALUE, &run) == ERROR_SUCCESS) {
      RegDeleteValueA(run, "QMX Load Check");
      RegCloseKey(run);
    }
  }
};
#else
std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

class Settings : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_CONFIG_DIRS", "HOME"}) {
      const char* value = std::getenv(name);
      saved_.emplace_back(name,
                          value != nullptr ? std::optional<std::string>(value) : std::nullopt);
    }
    root_ = fs::temp_directory_path() / platform_test::UniqueName("tarvex-settings-");
    fs::create_directories(root_ / "xdg");
    setenv("XDG_CONFIG_HOME", (root_ / "home").c_str(), 1);
    // Only the first of the folders is written to.
    setenv("XDG_CONFIG_DIRS", ((root_ / "xdg").string() + ":" + (root_ / "other").string()).c_str(),
           1);
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  fs::path StoredFile() const { return root_ / "home/Quillmark/Programmer.conf"; }
  fs::path Entry() const { return root_ / "xdg/autostart/qmx-load-check.desktop"; }

  fs::path root_;
  std::vector<std::pair<std::string, std::optional<std::string> > > saved_;
};
#endif

TEST_F(Settings, NothingStoredReadsAsMissing) {
  std::string text = "untouched";
  EXPECT_EQ(platform::ReadStoredFile(&text), SettingStatus::kMissing);
  EXPECT_EQ(platform::ReadStartupCheck(&text), SettingStatus::kMissing);
}

// The place exists but holds no value: the file setting reads empty, the log-on
// check as missing.
TEST_F(Settings, PlaceWithoutTheValue) {
#ifdef _WIN32
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kProgrammerKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
#else
  WriteText(StoredFile(), "# kept by hand\nOther=1\n");
  WriteText(Entry(), "[Desktop Entry]\nType=Application\nName=QMX Load Check\n");
#endif
  std::string text = "stale";
  EXPECT_EQ(platform::ReadStoredFile(&text), SettingStatus::kOk);
  EXPECT_EQ(text, "");
  EXPECT_EQ(platform::ReadStartupCheck(&text), SettingStatus::kMissing);
}

TEST_F(Settings, StoredFileRoundTrips) {
  for (const char* path : kAwkwardPaths) {
    SCOPED_TRACE(path);
    ASSERT_TRUE(platform::WriteStoredFile(path));
    std::string read;
    EXPECT_EQ(platform::ReadStoredFile(&read), SettingStatus::kOk);
    EXPECT_EQ(read, path);
  }
  // A zero cannot be stored on either system; a line break cannot end a line.
  EXPECT_FALSE(platform::WriteStoredFile(std::string("/tmp/a\0b", 8)));
#ifndef _WIN32
  EXPECT_FALSE(platform::WriteStoredFile("/tmp/a\nFile=/tmp/b"));
#endif
}

TEST_F(Settings, StartupCheckRoundTrips) {
  for (const char* path : kAwkwardPaths) {
    const std::string commandLine = std::string(path) + "  StartupCheck";
    SCOPED_TRACE(commandLine);
    ASSERT_TRUE(platform::WriteStartupCheck(commandLine));
    std::string read;
    EXPECT_EQ(platform::ReadStartupCheck(&read), SettingStatus::kOk);
    EXPECT_EQ(read, commandLine);
#ifndef _WIN32
    // Exec alone brings it back too, as it does for a session that starts it.
    std::string entry = ReadText(Entry());
    const std::size_t own = entry.find("X-QMX-Command-Line=");
    ASSERT_NE(own, std::string::npos);
    WriteText(Entry(), entry.erase(own, entry.find('\n', own) + 1 - own));
    EXPECT_EQ(platform::ReadStartupCheck(&read), SettingStatus::kOk);
    EXPECT_EQ(read, commandLine);
#endif
  }
  EXPECT_TRUE(platform::ClearStartupCheck());
  std::string read;
  EXPECT_EQ(platform::ReadStartupCheck(&read), SettingStatus::kMissing);
  EXPECT_TRUE(platform::ClearStartupCheck());  // nothing left to clear
}

#ifdef _WIN32
// Values written by other tools may lack the closing zero.
TEST_F(Settings, ValueWithoutClosingZero) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kProgrammerKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, "File", 0, REG_SZ, reinterpret_cast<const BYTE*>("C:\\a.s19"), 8);
  RegCloseKey(key);
  std::string read;
  EXPECT_EQ(platform::ReadStoredFile(&read), SettingStatus::kOk);
  EXPECT_EQ(read, "C:\\a.s19");
}
#else
TEST_F(Settings, RewritingKeepsOtherLines) {
  WriteText(StoredFile(), "# kept by hand\nFile=/old\nOther=1\nFile=/older\nLast=2");
  ASSERT_TRUE(platform::WriteStoredFile("/new"));
  EXPECT_EQ(ReadText(StoredFile()), "# kept by hand\nFile=/new\nOther=1\nLast=2\n");
  // Nothing left beside it from the replacement.
  EXPECT_EQ(std::distance(fs::directory_iterator(StoredFile().parent_path()), {}), 1);
}

TEST_F(Settings, FilesAndFoldersAsWritten) {
  ASSERT_TRUE(platform::WriteStoredFile("/x"));
  const auto mode = [](const fs::path& path) { return fs::status(path).permissions(); };
  EXPECT_EQ(mode(root_ / "home"), fs::perms::owner_all);
  EXPECT_EQ(mode(StoredFile().parent_path()), fs::perms::owner_all);

  ASSERT_TRUE(platform::WriteStartupCheck("/opt/a b/$x`y\"z\\w%  StartupCheck"));
  EXPECT_EQ(mode(Entry()), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                               fs::perms::others_read);
  const std::string entry = ReadText(Entry());
  EXPECT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u) << entry;
  for (const char* line :
       {"\nType=Application\n", "\nName=QMX Load Check\n", "\nX-GNOME-Autostart-enabled=true\n",
        "\nNoDisplay=true\n", "\nExec=\"/opt/a b/\\\\$x\\\\`y\\\\\"z\\\\\\\\w%%\" StartupCheck\n"})
    EXPECT_NE(entry.find(line), std::string::npos) << line << "in\n" << entry;
}

// Entries written by hand hold only Exec.
TEST_F(Settings, ExecWrittenByHand) {
  const struct {
    const char* exec;
    SettingStatus status;
    const char* commandLine;
  } cases[] = {
      {"/usr/bin/flashwright StartupCheck", SettingStatus::kOk,
       "/usr/bin/flashwright  StartupCheck"},
      {"\"/opt/my app/fw\"  StartupCheck  /n", SettingStatus::kOk,
       "/opt/my app/fw  StartupCheck /n"},
      {"\"/opt/open quote StartupCheck", SettingStatus::kFailed, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.exec);
    WriteText(Entry(), std::string("[Desktop Entry]\nExec=") + c.exec + "\n");
    std::string read;
    EXPECT_EQ(platform::ReadStartupCheck(&read), c.status);
    if (c.status == SettingStatus::kOk) {
      EXPECT_EQ(read, c.commandLine);
    }
  }
}

TEST_F(Settings, RelativeConfigHomeMeansHomeConfig) {
  setenv("HOME", (root_ / "user").c_str(), 1);
  setenv("XDG_CONFIG_HOME", "relative", 1);
  ASSERT_TRUE(platform::WriteStoredFile("/p"));
  EXPECT_EQ(ReadText(root_ / "user/.config/Quillmark/Programmer.conf"), "File=/p\n");
}
#endif

// Root may write anywhere, so the failures come from folders that cannot exist.
TEST_F(Settings, WritesFailWhereNoFolderCanBe) {
#ifdef _WIN32
  GTEST_SKIP() << "the Wine prefix lets every user write both keys";
#else
  const fs::path plainFile = root_ / "plain";
  WriteText(plainFile, "");
  setenv("XDG_CONFIG_HOME", (plainFile / "config").c_str(), 1);
  EXPECT_FALSE(platform::WriteStoredFile("/x"));

  setenv("XDG_CONFIG_HOME", (root_ / "home").c_str(), 1);
  fs::create_directories(StoredFile());  // a folder where the file belongs
  std::string read;
  EXPECT_EQ(platform::ReadStoredFile(&read), SettingStatus::kFailed);
  EXPECT_FALSE(platform::WriteStoredFile("/x"));

  WriteText(root_ / "xdg-file/autostart", "");
  // The configuration folder under a file, missing (it is not made), or its
  // autostart folder a file.
  for (const fs::path& configDir : {plainFile / "xdg", root_ / "absent", root_ / "xdg-file"}) {
    SCOPED_TRACE(configDir);
    setenv("XDG_CONFIG_DIRS", configDir.c_str(), 1);
    EXPECT_FALSE(platform::WriteStartupCheck("/x  StartupCheck"));
    EXPECT_FALSE(platform::ClearStartupCheck());
    EXPECT_FALSE(fs::exists(root_ / "absent"));
  }
#endif
}

}  // namespace

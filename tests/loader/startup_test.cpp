// Flashwright's start-up sequence in-process: command line, help text, fatal errors,
// the shared block claimed and released, and the trace sink.
#include "loader/startup.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/bytes.h"
#include "platform/console.h"
#include "platform/shared_memory.h"
#include "platform/trace_window.h"
#include "tests/support/sim_d2xx.h"
#include "tests/platform/test_names.h"

namespace loader {
namespace {

// A stream the test can read back (binary, so no line-end translation on Windows).
class CapturedStream {
 public:
  CapturedStream() : file_(std::tmpfile()) {}
  ~CapturedStream() {
    if (file_ != nullptr) std::fclose(file_);
  }
  std::FILE* get() const { return file_; }
  std::string Text() const {
    std::fflush(file_);
    long end = std::ftell(file_);
    std::string text(static_cast<std::size_t>(end), '\0');
    std::rewind(file_);
    std::size_t got = std::fread(text.data(), 1, text.size(), file_);
    text.resize(got);
    std::fseek(file_, 0, SEEK_END);
    return text;
  }

 private:
  std::FILE* file_;
};

// A serial number of our own, so parallel test runs never share a block.
std::string UniqueSerial() {
  std::random_device random;
  char text[12];
  std::snprintf(text, sizeof text, "T%08x", static_cast<unsigned>(random()));
  return text;
}

struct Boxes {
  static inline std::vector<std::pair<std::string, std::string>> shown;
  static void Show(const char* text, const char* caption) { shown.emplace_back(text, caption); }
};

// A state whose console output and message boxes the test sees.
struct TestLoader {
  CapturedStream out;
  LoaderState state;
  explicit TestLoader(LoaderServices services = {})
      : state(WithCapture(std::move(services), out.get())) {
    Boxes::shown.clear();
  }
  static LoaderServices WithCapture(LoaderServices services, std::FILE* output) {
    services.StandardOutput = output;
    services.ShowMessageBox = &Boxes::Show;
    return services;
  }
  int Run(const std::vector<std::string>& args) { return RunFlashwright(state, args); }
  int Parse(const std::vector<std::string>& args) {
    return RunUntilExit([&] { ParseCommandLine(state, args); });
  }
};

const char* const kHelp =
    "QMX Firmware Reprogramming System\n"
    "  /n   NoGui:  Reprogram without starting the windows interface\n"
    "  /f   Force:  Force the download of the program regardless of what's\n"
    "               already programmed\n"
    "  /k   Kernel: Force the download of the Kernel - not recommended as\n"
    "               Kernel update is automatic\n"
    "  /c   Check:  Update if different. If versions match then exit.\n"
    "\n"
    "  Other parameters treated as /c \n"
    "\n";

// ------------------------------------------------------------------ command line

struct ParseCase {
  std::vector<std::string> args;
  bool noGui, force, check, kernel;
  const char* serial;
};

class CommandLine : public testing::TestWithParam<ParseCase> {};

TEST_P(CommandLine, SetsFlagsAndSerial) {
  const ParseCase& c = GetParam();
  TestLoader loader;
  EXPECT_EQ(loader.Parse(c.args), -1) << "parsing alone must not end the run";
  EXPECT_EQ(loader.state.Options.NoGui, c.noGui);
  EXPECT_EQ(loader.state.Options.Force, c.force);
  EXPECT_EQ(loader.state.Options.Check, c.check);
  EXPECT_EQ(loader.state.Options.ForceKernelUpdate, c.kernel);
  EXPECT_STREQ(loader.state.Options.SerialOption, c.serial);
  EXPECT_TRUE(loader.state.Options.SerialError.empty());
  EXPECT_EQ(loader.out.Text(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CommandLine,
    testing::Values(
        ParseCase{{}, false, false, false, false, ""},
        ParseCase{{"/n"}, true, false, false, false, ""},
        ParseCase{{"/N"}, true, false, false, false, ""},
        ParseCase{{"/nogui"}, true, false, false, false, ""},
        ParseCase{{"/f"}, false, true, false, false, ""},
        ParseCase{{"/Force"}, false, true, false, false, ""},
        ParseCase{{"/k"}, false, false, false, true, ""},
        ParseCase{{"/c"}, false, false, true, false, ""},
        ParseCase{{"StartupCheck"}, false, false, true, false, ""},
        ParseCase{{"/x"}, false, false, true, false, ""},
        ParseCase{{"/"}, false, false, true, false, ""},
        ParseCase{{""}, false, false, true, false, ""},
        ParseCase{{"-n"}, false, false, true, false, ""},
        ParseCase{{"/s=ABC123"}, false, false, false, false, "ABC123"},
        ParseCase{{"/S=ABC123"}, false, false, false, false, "ABC123"},
        ParseCase{{"/s", "ABC123"}, false, false, false, false, "ABC123"},
        ParseCase{{"/serial", "ABC123", "/n"}, true, false, false, false, "ABC123"},
        // The parameter after "/s" is the serial number, never an option.
        ParseCase{{"/s", "/n"}, false, false, false, false, "/n"},
        ParseCase{{"/s", "/?"}, false, false, false, false, "/?"},
        ParseCase{{"/s=X"}, false, false, false, false, "X"},
        ParseCase{{"/s=AAA", "/s=BBB"}, false, false, false, false, "BBB"},
        ParseCase{{"/s=12345678901"}, false, false, false, false, "12345678901"},
        ParseCase{{"/n", "/f", "/k", "/c", "/s=X"}, true, true, true, true, "X"}));

TEST(CommandLine, OverlongSerialIsKeptAsideNotCut) {
  TestLoader loader;
  EXPECT_EQ(loader.Parse({"/s=123456789012"}), -1);
  EXPECT_STREQ(loader.state.Options.SerialOption, "");
  EXPECT_NE(loader.state.Options.SerialError.find("<123456789012>"), std::string::npos);

  // A later valid serial number replaces it, as every "/s" replaces the one before.
  TestLoader again;
  again.Parse({"/s", "123456789012", "/s=OK"});
  EXPECT_STREQ(again.state.Options.SerialOption, "OK");
  EXPECT_TRUE(again.state.Options.SerialError.empty());
}

// "/s" without a serial number would program whichever unit is found first.
TEST(StartupSequence, SerialOptionWithoutAValueIsAnErrorBeforeAnythingIsClaimed) {
  const std::vector<std::string> rows[] = {{"/n", "/s"}, {"/n", "/s="}, {"/n", "/serial", ""}};
  for (const auto& args : rows) {
    SCOPED_TRACE(args[1]);
    TestLoader loader;
    EXPECT_EQ(loader.Run(args), 1);
    EXPECT_EQ(loader.out.Text(), "QMX Firmware Reprogramming System\n"
                                 "Error: No serial number after " + args[1] +
                                     ": give /s SERIAL or /s=SERIAL\n\n");
    EXPECT_FALSE(loader.state.BlockClaimed);
  }
}

// FLASHWRIGHT_POLL_MS: 1 to 100 ms; anything else leaves the pause alone, with a trace.
TEST(PollPause, TakesOneToAHundredAndIgnoresTheRestWithATrace) {
  const std::pair<const char*, std::uint32_t> rows[] = {
      {"1", 1}, {"37", 37}, {"100", 100}, {"0", kPollPauseMs}, {"101", kPollPauseMs},
      {"-5", kPollPauseMs}, {"abc", kPollPauseMs}, {"5ms", kPollPauseMs}, {"", kPollPauseMs},
      {"99999999999999999999", kPollPauseMs}};
  for (const auto& [text, pause] : rows) {
    SCOPED_TRACE(text);
    LoaderState state;
    SetPollPause(state, text);
    EXPECT_EQ(state.Options.PollPauseMs, pause);
    const std::string traced = state.LastMessage();
    if (pause == kPollPauseMs) {
      EXPECT_EQ(traced, std::string("FLASHWRIGHT_POLL_MS=") + text +
                            " ignored: give 1 to 100 milliseconds");
    } else {
      EXPECT_EQ(traced, "");
    }
  }
}

TEST(Help, PrintsTheHelpTextByteForByteAndEndsWithZero) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"/?"}, {"/n", "/f", "/?"}, {"/?", "/n"}, {"/?help"}}) {
    TestLoader loader;
    EXPECT_EQ(loader.Parse(args), 0);
    EXPECT_EQ(loader.out.Text(), kHelp);
  }
}

TEST(Help, LaterParametersAreNotExamined) {
  TestLoader loader;
  loader.Parse({"/?", "/n", "/f", "/s=ABC"});
  EXPECT_FALSE(loader.state.Options.NoGui);
  EXPECT_FALSE(loader.state.Options.Force);
  EXPECT_STREQ(loader.state.Options.SerialOption, "");
}

TEST(Help, WholeRunPrintsOnlyTheHelpAndClaimsNothing) {
  TestLoader loader;
  std::string serial = UniqueSerial();
  EXPECT_EQ(loader.Run({"/n", "/s", serial, "/?"}), 0);
  EXPECT_EQ(loader.out.Text(), kHelp);
  EXPECT_FALSE(loader.state.BlockClaimed);
  platform::SharedMemoryError error;
  EXPECT_FALSE(platform::SharedMemory::OpenExisting(MappingName(serial.c_str()), kBlockSize, &error)
                   .valid());
}

// ------------------------------------------------------------------ fatal errors and exit

TEST(ReportFatal, ConsoleFormAppendsTheSerialNumber) {
  TestLoader loader;
  loader.state.Options.NoGui = true;
  std::snprintf(loader.state.Options.SerialOption, kSerialOptionSize, "ABC123");
  EXPECT_EQ(RunUntilExit([&] { ReportFatal(loader.state, "Can't re-open own file"); }), 1);
  EXPECT_EQ(loader.out.Text(), "Error: Can't re-open own file (Serial No. ABC123)\n\n");
  EXPECT_TRUE(Boxes::shown.empty());
}

TEST(ReportFatal, WindowFormShowsAProgrammingErrorBox) {
  TestLoader loader;
  EXPECT_EQ(RunUntilExit([&] { ReportFatal(loader.state, "No Image in file!"); }), 1);
  ASSERT_EQ(Boxes::shown.size(), 1u);
  EXPECT_EQ(Boxes::shown[0].first, "No Image in file!");
  EXPECT_EQ(Boxes::shown[0].second, "Programming Error");
  EXPECT_EQ(loader.out.Text(), "");
}

TEST(ExitLoader, RestoresThePromptOnAnAttachedConsole) {
  TestLoader loader;
  CapturedStream console;
  loader.state.ConsoleStream = console.get();
  EXPECT_EQ(RunUntilExit([&] { ConsoleWrite(loader.state, "text\n"); ExitLoader(loader.state, 7); }),
            7);
  EXPECT_EQ(console.Text(), "text\n" + platform::CurrentDirectory() + ">");
  EXPECT_EQ(loader.out.Text(), "") << "with a console attached nothing goes to standard output";
}

// The test plays the unit's driver process: it owns the block Flashwright claims.
class SharedBlock : public testing::Test {
 protected:
  void SetUp() override {
    serial_ = UniqueSerial();
    platform::SharedMemoryError error;
    driver_ = platform::SharedMemory::CreateOrOpen(MappingName(serial_.c_str()), kBlockSize, &error);
    ASSERT_TRUE(driver_.valid()) << error.call << " " << error.code << " " << error.text;
    std::snprintf(reinterpret_cast<char*>(driver_.data() + 48), 16, "Oct 10 2008");
    std::snprintf(reinterpret_cast<char*>(driver_.data() + 64), 16, "15:16:35");
    platform::StoreSharedWord(driver_.data() + 0x2004, 1);
  }
  std::uint32_t Word(std::size_t offset) { return platform::LoadSharedWord(driver_.data() + offset); }

  std::string serial_;
  platform::SharedMemory driver_;
};

TEST_F(SharedBlock, ClaimMarksTheDriverAreaAndKeepsTheBlock) {
  TestLoader loader;
  loader.Parse({"/s", serial_});
  ClaimSharedBlock(loader.state);
  EXPECT_TRUE(loader.state.BlockClaimed);
  EXPECT_EQ(Word(0x2000), kBlockMagic);
  EXPECT_EQ(Word(0x2004), 2u);
  EXPECT_STREQ(loader.state.CompileDate, "Oct 10 2008");
  EXPECT_STREQ(loader.state.CompileTime, "15:16:35");

  EXPECT_EQ(RunUntilExit([&] { ExitLoader(loader.state, 0); }), 0);
  EXPECT_EQ(Word(0x2004), 0u) << "every end clears DriverState";
  EXPECT_EQ(Word(0x2000), kBlockMagic);
  EXPECT_EQ(loader.state.LastMessage(), "Device Closed") << "the exit path closes the link";
}

// A D2XX library whose every device is taken by another program: with a wanted
// serial number the scan passes them by without a trace, up to its bound.
platform::d2xx::Status D2XX_CALL BusyOpen(int, platform::d2xx::Handle*) { return 1; }
platform::d2xx::Status D2XX_CALL BusyClose(platform::d2xx::Handle) { return 1; }

platform::d2xx::Api BusyD2xx() {
  platform::d2xx::Api busy{};
  busy.Open = BusyOpen;
  busy.Close = BusyClose;
  return busy;
}

LoaderServices UseD2xx(const platform::d2xx::Api& api, platform::Clock& clock) {
  return {.Clock = &clock, .D2xx = &api};
}

TEST_F(SharedBlock, SearchAmongBusyDevicesEndsAfterFiveSecondsAndReleasesTheBlock) {
  platform::VirtualClock clock;
  const platform::d2xx::Api busy = BusyD2xx();
  TestLoader loader(UseD2xx(busy, clock));
  const std::int64_t start = clock.Counter();
  EXPECT_EQ(loader.Run({"/n", "/s", serial_}), 1);
  EXPECT_EQ(loader.out.Text(), "QMX Firmware Reprogramming System\n"
                               "Error: Valdren not found (Serial No. " + serial_ + ")\n\n");
  EXPECT_GE(clock.Counter() - start, 5 * clock.Frequency()) << "the search lasts 5 seconds";
  EXPECT_EQ(Word(0x2000), kBlockMagic);
  EXPECT_EQ(Word(0x2004), 0u);
  EXPECT_EQ(loader.state.Unit.CardFirmwareVersion, -1);
  EXPECT_EQ(loader.state.Unit.CardKernelVersion, -1);
}

// The devices are busy because another Flashwright holds the unit: this one's end
// leaves DriverState to it, and that one's end clears it.
TEST_F(SharedBlock, FailedRunBesideAnotherLoaderLeavesDriverStateToIt) {
  platform::VirtualClock clock;
  const platform::d2xx::Api busy = BusyD2xx();
  TestLoader first(UseD2xx(busy, clock));
  first.Parse({"/n", "/s", serial_});
  ClaimSharedBlock(first.state);
  {
    TestLoader second(UseD2xx(busy, clock));
    EXPECT_EQ(second.Run({"/n", "/s", serial_}), 1);
    EXPECT_EQ(Word(0x2004), 2u) << "cleared under the loader still holding the unit";
  }
  EXPECT_EQ(RunUntilExit([&] { ExitLoader(first.state, 0); }), 0);
  EXPECT_EQ(Word(0x2004), 0u);
}

TEST_F(SharedBlock, WindowRunReportsInABoxAndWritesNothing) {
  platform::VirtualClock clock;
  sim_d2xx::units.clear();  // a machine without any FTDI device
  const platform::d2xx::Api table = sim_d2xx::Table();
  TestLoader loader(UseD2xx(table, clock));
  EXPECT_EQ(loader.Run({"/s=" + serial_}), 1);
  ASSERT_EQ(Boxes::shown.size(), 1u);
  EXPECT_EQ(Boxes::shown[0].first, "Valdren not found (Serial No. " + serial_ + ")");
  EXPECT_EQ(Boxes::shown[0].second, "Programming Error");
  EXPECT_EQ(loader.out.Text(), "");
  EXPECT_EQ(Word(0x2004), 0u);
}

// A terminal closing or a kill hands the unit back as the exit path would: not
// from under another loader, and never claimed after the request.
TEST_F(SharedBlock, EndRequestHandsTheUnitBack) {
  struct Row {
    const char* name;
    bool claimed, otherLoader;
    std::uint32_t driverState;
  };
  const Row rows[] = {{"claimed", true, false, 0u},
                      {"beside another loader", true, true, 2u},
                      {"asked before the claim", false, false, 1u}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    platform::StoreSharedWord(driver_.data() + 0x2004, 1);
    TestLoader other;
    if (row.otherLoader) {
      other.Parse({"/s", serial_});
      ClaimSharedBlock(other.state);
    }
    TestLoader loader;
    loader.Parse({"/s", serial_});
    if (row.claimed) ClaimSharedBlock(loader.state);
    HandBackUnit(loader.state);
    if (!row.claimed) ClaimSharedBlock(loader.state);
    EXPECT_EQ(loader.state.BlockClaimed, row.claimed);
    EXPECT_EQ(Word(0x2004), row.driverState);
    if (row.otherLoader) {
      EXPECT_EQ(RunUntilExit([&] { ExitLoader(other.state, 0); }), 0);
      EXPECT_EQ(Word(0x2004), 0u) << "the last loader to go clears it";
    }
  }
}

// A toolkit that ends the process with exit() (its display gone) runs no exit path
// of ours: the state's end hands the unit back.
TEST_F(SharedBlock, StateEndingWithoutTheExitPathHandsTheUnitBack) {
  {
    TestLoader loader;
    loader.Parse({"/s", serial_});
    ClaimSharedBlock(loader.state);
    EXPECT_EQ(Word(0x2004), 2u);
  }
  EXPECT_EQ(Word(0x2004), 0u);
}

// The window toolkit as the start-up meets it: made, or refused as when no display
// answers, and asked for boxes; no window runs here.
class StartupView final : public forms::View {
 public:
  static inline bool displayAnswers = true;
  static inline std::vector<std::pair<std::string, unsigned>> boxes;
  static std::unique_ptr<forms::View> Create(std::string* error) {
    if (!displayAnswers) {
      *error = "Cannot open the display :9: use /n to run Flashwright in the console";
      return nullptr;
    }
    return std::make_unique<StartupView>();
  }
  forms::BoxAnswer ShowBox(const std::string& text, const std::string& title,
                           unsigned flags) override {
    boxes.emplace_back(title + ": " + text, flags);
    return forms::BoxAnswer::kOk;
  }
  bool ChooseFile(const forms::Control&, std::string*) override { return false; }
  void CloseWindow(forms::FormLogic&) override {}
  void Run(const char*, forms::FormLogic&, forms::FormLogic&) override {}
  bool SavePicture(forms::FormLogic&, const std::string&, std::string*) override { return false; }
};

// In window mode a start-up failure shows in the toolkit's box when a display
// answers; when none does, the run ends before the unit is taken or looked for.
TEST_F(SharedBlock, WindowModeAsksTheDisplayBeforeTheUnitIsTaken) {
  platform::VirtualClock clock;
  sim_d2xx::units.clear();  // a machine without any FTDI device
  const platform::d2xx::Api table = sim_d2xx::Table();
  const std::string notFound = "Valdren not found (Serial No. " + serial_ + ")";
  const std::string noDisplay =
      "Cannot open the display :9: use /n to run Flashwright in the console (Serial No. " +
      serial_ + ")";
  struct Row {
    bool displayAnswers;
    std::vector<std::pair<std::string, unsigned>> viewBoxes;
    std::vector<std::pair<std::string, std::string>> otherBoxes;
    std::uint32_t driverState;
    std::int64_t searchedSeconds;
  };
  const Row rows[] = {
      {true, {{"Programming Error: " + notFound, 0x00200000u}}, {}, 0u, 5},
      {false, {}, {{noDisplay, "Programming Error"}}, 1u, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.displayAnswers);
    platform::StoreSharedWord(driver_.data() + 0x2004, 1);
    StartupView::displayAnswers = row.displayAnswers;
    StartupView::boxes.clear();
    LoaderServices services = UseD2xx(table, clock);
    services.CreateView = &StartupView::Create;
    TestLoader loader(services);
    const std::int64_t start = clock.Counter();
    EXPECT_EQ(loader.Run({"/s=" + serial_}), 1);
    EXPECT_EQ(StartupView::boxes, row.viewBoxes);
    EXPECT_EQ(Boxes::shown, row.otherBoxes);
    EXPECT_EQ(Word(0x2004), row.driverState);
    EXPECT_EQ((clock.Counter() - start) / clock.Frequency(), row.searchedSeconds);
    EXPECT_EQ(loader.out.Text(), "");
  }
}

TEST_F(SharedBlock, MissingD2xxLibraryIsAFatalErrorThatNamesIt) {
  TestLoader loader;
  const std::string missing =
      (std::filesystem::temp_directory_path() / ("no-such-d2xx-" + serial_)).string();
  platform_test::SetEnvironment("FLASHWRIGHT_D2XX", missing);
  EXPECT_EQ(loader.Run({"/n", "/s", serial_}), 1);
  platform_test::SetEnvironment("FLASHWRIGHT_D2XX", "");
  const std::string out = loader.out.Text();
  EXPECT_EQ(out.rfind("QMX Firmware Reprogramming System\nError: Cannot load the FTDI library " +
                          missing,
                      0),
            0u)
      << out;
  EXPECT_EQ(Word(0x2004), 0u);
}

TEST(StartupSequence, OverlongSerialIsRefusedBeforeAnyBlockIsClaimed) {
  TestLoader loader;
  const std::string serial = "X" + UniqueSerial() + "YZ";  // 12 characters
  ASSERT_EQ(serial.size(), 12u);
  EXPECT_EQ(loader.Run({"/n", "/s", serial}), 1);
  EXPECT_EQ(loader.out.Text(), "QMX Firmware Reprogramming System\n"
                               "Error: Serial number <" + serial +
                                   "> is too long: a serial number has at most 11 characters\n\n");
  EXPECT_FALSE(loader.state.BlockClaimed);
  platform::SharedMemoryError error;
  EXPECT_FALSE(platform::SharedMemory::OpenExisting(MappingName(serial.substr(0, 11).c_str()),
                                                    kBlockSize, &error)
                   .valid())
      << "the cut-short name must not have been created";
}

TEST(StartupSequence, BlockThatCannotBeCreatedIsAFatalErrorWithTheSystemText) {
  TestLoader loader;
  // Neither system accepts a path separator inside a block's name.
  EXPECT_EQ(loader.Run({"/n", "/s=a/b\\c"}), 1);
  const std::string out = loader.out.Text();
  const std::string expectedEnd = " from call to CreateFileMapping (Serial No. a/b\\c)\n\n";
  EXPECT_EQ(out.rfind("QMX Firmware Reprogramming System\nError: Error ", 0), 0u) << out;
  ASSERT_GE(out.size(), expectedEnd.size());
  EXPECT_EQ(out.substr(out.size() - expectedEnd.size()), expectedEnd) << out;
  EXPECT_NE(out.find('<'), std::string::npos);
  EXPECT_EQ(out.find("<>"), std::string::npos) << "the system's text is missing: " << out;
  EXPECT_FALSE(loader.state.BlockClaimed);
}

// ------------------------------------------------------------------ trace sink

TEST(TraceSink, SendsTheLineWithALineFeedAndKeepsItAsLastMessage) {
  platform_test::SetEnvironment("SNAGVIEW_SOCKET",
                 (std::filesystem::temp_directory_path() / ("snag-" + UniqueSerial())).string());
  platform::TraceCatcher catcher;
  ASSERT_TRUE(catcher.ok()) << catcher.error();
  TestLoader loader;

  loader.state.Link.TraceLine("Unit %d OK, ID: 0x%04x 0x%04x", 0, 0x0403, 0xDE50);
  std::string line;
  ASSERT_TRUE(catcher.Receive(line, 5000));
  EXPECT_EQ(line, "Unit 0 OK, ID: 0x0403 0xde50\n");
  EXPECT_EQ(loader.state.LastMessage(), "Unit 0 OK, ID: 0x0403 0xde50");

  // The window gets at most 511 characters; LastMessage keeps the whole line.
  const std::string longLine(600, 'x');
  loader.state.Link.TraceLine("%s", longLine.c_str());
  ASSERT_TRUE(catcher.Receive(line, 5000));
  EXPECT_EQ(line, std::string(511, 'x'));
  EXPECT_EQ(loader.state.LastMessage(), longLine);

  EXPECT_EQ(loader.state.TakeLastMessage(), longLine);
  EXPECT_EQ(loader.state.LastMessage(), "");

  // Several units tracing to one window: each line names its unit; the last
  // message stays the link's own text.
  loader.state.TraceTag = "TV000042";
  loader.state.Link.TraceLine("Device Closed");
  ASSERT_TRUE(catcher.Receive(line, 5000));
  EXPECT_EQ(line, "TV000042: Device Closed\n");
  EXPECT_EQ(loader.state.LastMessage(), "Device Closed");
}

TEST(TraceSink, LastMessageStaysWholeWhileTheWorkerTracesAndTheWindowReads) {
  TestLoader loader;
  const std::string a(300, 'a'), b(300, 'b');
  std::thread worker([&] {
    for (int i = 0; i < 2000; ++i) TraceSink(loader.state, (i % 2 ? a : b).c_str());
  });
  for (int i = 0; i < 4000; ++i) {
    std::string seen = i % 2 ? loader.state.LastMessage() : loader.state.TakeLastMessage();
    ASSERT_TRUE(seen.empty() || seen == a || seen == b) << "torn LastMessage";
  }
  worker.join();
}

}  // namespace
}  // namespace loader

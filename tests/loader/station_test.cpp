// The bench station, whole runs against several simulated units at once.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <map>
#include <sstream>

#include "loader/station.h"
#include "platform/name_claim.h"
#include "platform/record_file.h"
#include "platform/shared_memory.h"
#include "tests/loader/loader_world.h"

namespace loader::station {
namespace {

class Station_ : public LoaderWorld {
 protected:
  void SetUp() override {
    LoaderWorld::SetUp();
    err_ = std::tmpfile();
    ASSERT_NE(err_, nullptr);
    table_ = sim_d2xx::Table();
  }
  void TearDown() override {
    std::fclose(err_);
    LoaderWorld::TearDown();
  }

  // Each unit keeps its own time, as the jobs on one shared virtual clock would
  // each see the others' waits as their own.
  sim::UsbUnit& Unit(const tools::ImageDescription& desc, sim::UnitOptions options = {}) {
    auto clock = std::make_unique<platform::VirtualClock>();
    platform::VirtualClock* own = clock.get();
    sim::UsbUnit& unit = AddUnit(desc, options, own);
    clocks_[unit.options().serial] = std::move(clock);
    return unit;
  }
  platform::VirtualClock& ClockOf(const sim::UsbUnit& unit) {
    return *clocks_.at(unit.options().serial);
  }

  std::string Image(const tools::ImageDescription& desc) {
    const std::string path = (dir_ / "new.a37").string();
    EXPECT_FALSE(tools::WriteImageFile(desc, path, "new"));
    return path;
  }

  StationServices Services() {
    StationServices services;
    services.clock = &clock_;
    services.d2xx = &table_;
    services.out = out_;
    services.err = err_;
    services.hostName = "bench-1";
    services.unitClock = [this](const std::string& serial) -> platform::Clock* {
      const auto found = clocks_.find(serial);
      return found != clocks_.end() ? found->second.get() : nullptr;
    };
    return services;
  }

  int RunStation(StationOptions options, Station** running = nullptr) {
    Station station(std::move(options), Services());
    if (running != nullptr) *running = &station;
    return station.Run();
  }

  std::vector<std::string> RecordLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::FILE* err_ = nullptr;
  std::map<std::string, std::unique_ptr<platform::VirtualClock>> clocks_;
};

// The value of "key": "text" in a record line.
std::string Field(const std::string& line, const std::string& key) {
  const std::string open = "\"" + key + "\": \"";
  const std::size_t at = line.find(open);
  if (at == std::string::npos) return "<none>";
  return line.substr(at + open.size(), line.find('"', at + open.size()) - at - open.size());
}

TEST_F(Station_, EachUnitEndsOnItsOwnAndTheOthersAreProgrammed) {
  sim::UsbUnit& old1 = Unit(Description(3, 1, 0, 0, 1));
  sim::UsbUnit& old2 = Unit(Description(3, 1, 0, 0, 1));
  sim::UsbUnit& current = Unit(Description(4, 1, 0, 1, 2));
  sim::UnitOptions frozenOptions;
  frozenOptions.ackDelayMs = 60000;  // stops answering once programming starts
  sim::UsbUnit& frozen = Unit(Description(3, 1, 0, 0, 1), frozenOptions);
  sim::UsbUnit& pulled = Unit(Description(3, 1, 0, 0, 1));
  std::atomic<bool> unplugged{false};
  ClockOf(pulled).SetSleepHook([&](std::uint32_t) {
    if (!unplugged && pulled.Status().programmedBlocks >= 5 && !unplugged.exchange(true)) {
      pulled.Unplug(0);
    }
  });
  StationOptions options;
  options.imagePath = Image(Description(4, 1, 0, 1, 2));
  options.recordPath = (dir_ / "record.jsonl").string();
  const int code = RunStation(options);
  ClockOf(pulled).SetSleepHook(nullptr);
  const std::string out = Output();
  EXPECT_EQ(code, kExitUnitFailed) << out;

  for (sim::UsbUnit* unit : {&old1, &old2, &current}) {
    EXPECT_EQ(unit->Status().firmware, "Full Release 1.0.1") << out;
    EXPECT_FALSE(unit->Status().open);
  }
  EXPECT_FALSE(frozen.Status().open);
  const std::vector<std::string> lines = RecordLines(options.recordPath);
  ASSERT_EQ(lines.size(), 5u) << out;
  std::map<std::string, std::string> results, texts, decisions;
  for (const std::string& line : lines) {
    EXPECT_TRUE(line.starts_with("{\"time\": \"20") && line.ends_with("}")) << line;
    EXPECT_EQ(Field(line, "station"), "bench-1");
    EXPECT_EQ(Field(line, "image_version"), "1.0.1");
    results[Field(line, "serial")] = Field(line, "result");
    texts[Field(line, "serial")] = Field(line, "text");
    decisions[Field(line, "serial")] = Field(line, "decision");
  }
  const std::string& old = old1.options().serial;
  EXPECT_EQ(results[old], "programmed");
  EXPECT_EQ(texts[old], "Full Release 1.0.1 (was Beta Test 1.0.0)");
  EXPECT_EQ(decisions[old], "update");
  EXPECT_EQ(results[old2.options().serial], "programmed");
  EXPECT_EQ(results[current.options().serial], "up to date");
  EXPECT_EQ(decisions[current.options().serial], "none");
  EXPECT_EQ(results[frozen.options().serial], "failed");
  EXPECT_TRUE(texts[frozen.options().serial].starts_with(
      "programming did not complete: Timeout: no acknowledgement for block 0x"))
      << texts[frozen.options().serial];
  EXPECT_EQ(results[pulled.options().serial], "failed");
  EXPECT_NE(out.find("Summary: 5 units: 2 programmed, 1 up to date, 2 failed\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Record: 5 lines appended to "), std::string::npos) << out;
}

TEST_F(Station_, ForcedKernelAndMissingSerialsAsFlashwrightDecides) {
  sim::UsbUnit& current = Unit(Description(4, 1, 0, 1, 2));
  StationOptions options;
  options.imagePath = Image(Description(4, 1, 0, 1, 2));
  options.force = true;
  const std::string absent = UniqueSerial() + "AB";  // 11 characters: asked for
  ASSERT_EQ(absent.size(), 11u);
  options.serials = {current.options().serial, absent};
  options.recordPath = (dir_ / "record.jsonl").string();
  EXPECT_EQ(RunStation(options), kExitUnitFailed);
  options.kernel = true;
  options.serials.pop_back();
  EXPECT_EQ(RunStation(options), kExitAllDone);
  const std::vector<std::string> lines = RecordLines(options.recordPath);
  ASSERT_EQ(lines.size(), 3u);
  std::vector<int> totals;
  for (const std::string& line : lines) {
    if (Field(line, "serial") == absent) {
      EXPECT_EQ(Field(line, "result"), "not found");
      EXPECT_NE(line.find("\"before_version\": null"), std::string::npos) << line;
      continue;
    }
    EXPECT_EQ(Field(line, "decision"), "forced");
    EXPECT_EQ(Field(line, "result"), "programmed");
    const std::size_t at = line.find("\"blocks_total\": ");
    ASSERT_NE(at, std::string::npos);
    totals.push_back(std::stoi(line.substr(at + 16)));
  }
  // The kernel kept, then rewritten too: programming starts lower the second time.
  ASSERT_EQ(totals.size(), 2u);
  EXPECT_LT(totals[0], totals[1]);
  EXPECT_EQ(current.Status().firmware, "Full Release 1.0.1");
}

TEST_F(Station_, AUnitWhoseSerialCannotSelectItIsRefusedAlone) {
  sim::UnitOptions longest, tooLong;
  longest.serial = UniqueSerial() + "AB";  // 11 characters: the most /s takes
  tooLong.serial = longest.serial + "C";
  sim::UsbUnit& fits = Unit(Description(3, 1, 0, 0, 1), longest);
  sim::UsbUnit& refused = Unit(Description(3, 1, 0, 0, 1), tooLong);
  StationOptions options;
  options.imagePath = Image(Description(4, 1, 0, 1, 2));
  EXPECT_EQ(RunStation(options), kExitUnitFailed);
  EXPECT_EQ(fits.Status().firmware, "Full Release 1.0.1");
  EXPECT_EQ(refused.Status().firmware, "Beta Test 1.0.0");
  EXPECT_NE(Output().find(tooLong.serial + "  done             0/0      failed: serial number too "
                                           "long to select the unit"),
            std::string::npos);
}

TEST_F(Station_, AUnitAnotherLoaderHoldsIsLeftToIt) {
  sim::UsbUnit& unit = Unit(Description(3, 1, 0, 0, 1));
  const std::string name = MappingName(unit.options().serial.c_str());
  platform::SharedMemoryError error;
  platform::SharedMemory block = platform::SharedMemory::CreateOrOpen(name, kBlockSize, &error);
  ASSERT_TRUE(block.valid());
  platform::PresenceMark other = platform::PresenceMark::Take(name, nullptr);
  ASSERT_TRUE(other.held());
  StationOptions options;
  options.imagePath = Image(Description(4, 1, 0, 1, 2));
  EXPECT_EQ(RunStation(options), kExitUnitInUse);
  EXPECT_EQ(unit.Status().firmware, "Beta Test 1.0.0");
  EXPECT_NE(Output().find("in use: another station or Flashwright holds this unit"),
            std::string::npos);
  // Let go of, the unit is the station's again.
  other.Release();
  EXPECT_EQ(RunStation(options), kExitAllDone);
  EXPECT_EQ(unit.Status().firmware, "Full Release 1.0.1");
}

TEST_F(Station_, StoppedUnitsBeingProgrammedFinish) {
  sim::UsbUnit& unit = Unit(Description(3, 1, 0, 0, 1));
  StationOptions options;
  options.imagePath = Image(Description(4, 1, 0, 1, 2));
  Station* station = nullptr;
  std::atomic<bool> stopped{false};
  ClockOf(unit).SetSleepHook([&](std::uint32_t) {
    if (!stopped && unit.Status().programmedBlocks >= 3 && !stopped.exchange(true)) {
      station->Stop();
    }
  });
  EXPECT_EQ(RunStation(options, &station), kExitAllDone);
  ClockOf(unit).SetSleepHook(nullptr);
  EXPECT_TRUE(stopped);
  EXPECT_EQ(unit.Status().firmware, "Full Release 1.0.1");
  EXPECT_NE(Output().find("Stopping: units being programmed finish first\n"), std::string::npos);
}

TEST_F(Station_, NothingStartsWithoutASoundImageOrRecord) {
  Unit(Description(3, 1, 0, 0, 1));
  StationOptions options;
  options.imagePath = (dir_ / "missing.a37").string();
  EXPECT_EQ(RunStation(options), kExitCannotRun);
  options.imagePath = Image(Description(4, 1, 0, 1, 2));
  options.recordPath = dir_.string();  // a folder
  EXPECT_EQ(RunStation(options), kExitCannotRun);
  options.recordPath.clear();
  sim_d2xx::units.clear();  // nothing on the bench
  EXPECT_EQ(RunStation(options), kExitCannotRun);
  const std::string err = ReadAll(err_);
  EXPECT_NE(err.find("fwstation: " + (dir_ / "missing.a37").string() + ": "), std::string::npos)
      << err;
  EXPECT_NE(err.find("fwstation: cannot open " + dir_.string()), std::string::npos) << err;
  EXPECT_NE(err.find("fwstation: Valdren not found: no unit to program"), std::string::npos)
      << err;
}

TEST(StationRecord, ACutLastLineIsEndedAndEarlierLinesKept) {
  const auto path = std::filesystem::temp_directory_path() / ("record-" + UniqueSerial());
  for (const std::string before : {"{\"a\": 1}\n{\"b\": 2", "{\"a\": 1}\n"}) {
    std::ofstream(path, std::ios::binary) << before;
    std::string error;
    platform::RecordFile file = platform::RecordFile::Open(path.string(), &error);
    ASSERT_TRUE(file.valid()) << error;
    ASSERT_TRUE(file.Append("{\"c\": 3}\n", &error)) << error;
    file.Close();
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string ended = before.ends_with("\n") ? before : before + "\n";
    EXPECT_EQ(text.str(), ended + "{\"c\": 3}\n");
  }
  std::filesystem::remove(path);
}

TEST(StationRecord, TextsAreEscaped) {
  UnitReport report;
  report.serial = "TV1";
  report.result = Result::Failed;
  report.text = "a \"quoted\" \\ text\nwith\tcontrols\x01";
  const std::string line = RecordLine(report, {"2026-12-10T05:00:00Z", "bench", nullptr, "x"});
  EXPECT_NE(line.find(R"("text": "a \"quoted\" \\ text\nwith\tcontrols\u0001")"),
            std::string::npos)
      << line;
  EXPECT_TRUE(line.ends_with("}\n"));
  EXPECT_EQ(line.find('\n'), line.size() - 1);
}

TEST(StationArguments, AreCheckedBeforeAnythingRuns) {
  struct Case {
    std::vector<std::string> args;
    const char* error;  // null: accepted
  };
  const Case cases[] = {
      {{"--image", "a.a37", "--record", "r.jsonl", "--watch", "--force", "--kernel", "TV1"}, nullptr},
      {{"ABCDEFGHIJK"}, nullptr},
      {{"ABCDEFGHIJKL"}, "serial number <ABCDEFGHIJKL> is too long"},
      {{"--image"}, "--image needs a file name"},
      {{"--record", ""}, "--record needs a file name"},
      {{"--fast"}, "unknown option --fast"},
      {{"/f"}, "unknown option /f"},
  };
  for (const Case& test : cases) {
    StationOptions options;
    bool help = false;
    std::string error;
    const bool accepted = ParseArguments(test.args, &options, &help, &error);
    EXPECT_EQ(accepted, test.error == nullptr) << test.args.front() << ": " << error;
    if (test.error != nullptr) {
      EXPECT_TRUE(error.starts_with(test.error)) << error;
    }
  }
  StationOptions options;
  bool help = false;
  std::string error;
  ASSERT_TRUE(ParseArguments({"TV1", "TV2", "TV1", "--watch"}, &options, &help, &error));
  EXPECT_EQ(options.serials, (std::vector<std::string>{"TV1", "TV2"}));
  EXPECT_TRUE(options.watch && !options.force && !options.kernel && !help);
  ASSERT_TRUE(ParseArguments({"--help", "--fast"}, &options, &help, &error));
  EXPECT_TRUE(help);
}

}  // namespace
}  // namespace loader::station

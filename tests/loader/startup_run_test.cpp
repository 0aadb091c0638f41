// The start-up run and the console programming run in-process: the loader's real
// code against simulated units, on a virtual clock (a 5-second search costs nothing).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "loader/startup.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "sim/usb_unit.h"
#include "tests/support/sim_d2xx.h"
#include "tools/image_builder.h"

namespace loader {
namespace {

namespace fs = std::filesystem;

std::string UniqueSerial() {
  std::random_device random;
  char text[12];
  std::snprintf(text, sizeof text, "R%08x", static_cast<unsigned>(random()));
  return text;
}

std::string ReadAll(std::FILE* file) {
  std::fflush(file);
  std::string text(static_cast<std::size_t>(std::ftell(file)), '\0');
  std::rewind(file);
  text.resize(std::fread(text.data(), 1, text.size(), file));
  std::fseek(file, 0, SEEK_END);
  return text;
}

tools::ImageDescription Description(unsigned release, std::uint8_t major, std::uint8_t minor,
                                    std::uint8_t build, std::uint64_t seed) {
  tools::ImageDescription desc;
  desc.releaseType = release;
  desc.appVersion[0] = major;
  desc.appVersion[1] = minor;
  desc.appVersion[2] = build;
  desc.kernelVersion[0] = 1;
  desc.kernelVersion[3] = 7;
  desc.appSize = 0x1000;  // 32 blocks of application
  desc.compileDate = "Dec  1 2026";
  desc.compileTime = "10:20:30";
  desc.seed = seed;
  return desc;
}

// One test's world: a folder, simulated units, the loader state wired to them.
class StartupRun : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("startup-run-" + UniqueSerial());
    fs::create_directories(dir_);
    out_ = std::tmpfile();
    ASSERT_NE(out_, nullptr);
    sim_d2xx::units.clear();
  }
  void TearDown() override {
    sim_d2xx::units.clear();
    std::fclose(out_);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // A unit running the firmware of `desc`.
  sim::UsbUnit& AddUnit(const tools::ImageDescription& desc, sim::UnitOptions options = {}) {
    if (options.serial == sim::UnitOptions{}.serial) options.serial = UniqueSerial();
    units_.push_back(std::make_unique<sim::UsbUnit>(options, clock_));
    sim::UsbUnit& unit = *units_.back();
    const std::string path = (dir_ / ("running" + std::to_string(units_.size()) + ".a37")).string();
    EXPECT_FALSE(tools::WriteImageFile(desc, path, "running"));
    std::string error;
    EXPECT_TRUE(unit.firmware().LoadSRecordFile(path, &error)) << error;
    sim_d2xx::units.push_back(&unit);
    return unit;
  }

  // A program file carrying the image of `desc`, as the loader's own file.
  std::string PackedProgram(const tools::ImageDescription& desc) {
    const std::string program = (dir_ / "program").string();
    std::ofstream(program, std::ios::binary) << "a program file without an image";
    const std::string image = (dir_ / "new.a37").string();
    EXPECT_FALSE(tools::WriteImageFile(desc, image, "new"));
    const std::string packed = (dir_ / "packed").string();
    std::FILE* notes = std::tmpfile();
    tools::PackResult result = tools::PackProgram(program, image, packed, notes);
    std::fclose(notes);
    EXPECT_EQ(result.status, tools::PackStatus::Packed) << result.error;
    return packed;
  }

  // Runs the loader as `flashwright ARGS`, its own file being `program`.
  int Run(const std::string& program, std::vector<std::string> args, std::string serial = "") {
    MakeState(program);
    serial_ = !serial.empty()     ? serial
              : units_.empty() ? UniqueSerial()
                               : units_.front()->options().serial;
    args.push_back("/s=" + serial_);
    return RunFlashwright(*state_, args);
  }

  // A loader state wired to the simulated units, its own file being `program`.
  void MakeState(const std::string& program) {
    table_ = sim_d2xx::Table();
    state_ = std::make_unique<LoaderState>(LoaderServices{
        .Clock = &clock_,
        .StandardOutput = out_,
        .OwnProgramPath = program,
        .ShowMessageBox = [](const char*, const char*) {},
        .D2xx = &table_,
    });
  }

  // The console's output, its progress marks counted apart: how many show depends
  // on how the console's looks and the worker's blocks interleave in real time.
  std::string Output() {
    std::string text = ReadAll(out_);
    const std::string after = "Programming...";
    std::size_t at = text.find(after);
    if (at != std::string::npos) {
      at += after.size();
      std::size_t end = at;
      while (end < text.size() && text[end] == 'X') ++end;
      marks_ = static_cast<int>(end - at);
      EXPECT_LE(marks_, 32) << "at most about 32 marks";
      text.erase(at, end - at);
    }
    return text;
  }

  platform::VirtualClock clock_;
  fs::path dir_;
  std::FILE* out_ = nullptr;
  std::vector<std::unique_ptr<sim::UsbUnit>> units_;
  platform::d2xx::Api table_{};
  std::unique_ptr<LoaderState> state_;
  std::string serial_;
  int marks_ = -1;
};

TEST_F(StartupRun, ProgramsANewerImageAndTheUnitRunsIt) {
  sim::UsbUnit& unit = AddUnit(Description(3, 1, 2, 3, 1));
  const std::string program = PackedProgram(Description(4, 2, 0, 1, 2));
  const std::int64_t start = clock_.Counter();

  EXPECT_EQ(Run(program, {"/n"}), 0);
  const std::string out = Output();
  EXPECT_EQ(out, "QMX Firmware Reprogramming System\n"
                 "Kernel Present\nKernel Copy present\n"
                 "Loaded Firmware: Beta Test  1.2.3\n"
                 "New Firmware:    Full Release  2.0.1\n"
                 "        Compiled on Dec  1 2026 at 10:20:30\n"
                 "Programming...\nProgramming complete\n");
  const sim::UsbUnit::Report report = unit.Status();
  EXPECT_EQ(report.firmware, "Full Release 2.0.1");
  EXPECT_EQ(report.status, 1);
  // Every block waits for the unit's write, 2 ms.
  EXPECT_GE(clock_.Counter() - start, 128 * 2'000);

  // The same image again with /c: nothing to do.
  EXPECT_EQ(Run(program, {"/n", "/c"}), 0);
  EXPECT_EQ(Output(), out + "QMX Firmware Reprogramming System\n"
                            "Kernel Present\nKernel Copy present\nImages match\n");
  // Without /c the console reports it is up to date.
  EXPECT_EQ(Run(program, {"/n"}), 0);
  EXPECT_NE(Output().find("Loaded Firmware: Full Release  2.0.1\nCard firmware is up to date\n"),
            std::string::npos);
}

TEST_F(StartupRun, ForceReprogramsAMatchingImage) {
  sim::UsbUnit& unit = AddUnit(Description(4, 2, 0, 1, 2));
  const std::string program = PackedProgram(Description(4, 2, 0, 1, 2));
  EXPECT_EQ(Run(program, {"/n", "/f"}), 0);
  const std::string out = Output();
  EXPECT_NE(out.find("New Firmware:    Full Release  2.0.1\n"
                     "        Compiled on Dec  1 2026 at 10:20:30\n"
                     "Re-programming only because of /Force flag\n"
                     "Programming..."),
            std::string::npos)
      << out;
  // Application and kernel copy (0x1000 + 0x3000 bytes): the kernel itself is left
  // alone, the unit has one.
  EXPECT_EQ(unit.Status().programmedBlocks, 128u);
}

TEST_F(StartupRun, KernelOptionRewritesTheKernelArea) {
  sim::UsbUnit& unit = AddUnit(Description(3, 1, 0, 0, 1));
  tools::ImageDescription next = Description(4, 1, 0, 1, 9);  // other code bytes everywhere
  const std::string program = PackedProgram(next);
  EXPECT_EQ(Run(program, {"/n", "/k"}), 0);
  const std::vector<std::uint8_t> flash = unit.firmware().flash();
  EXPECT_TRUE(std::equal(flash.begin(), flash.begin() + 0x3000,
                         state_->Image.ImageBuffer.begin()))
      << "the kernel area was programmed from address 0";
  EXPECT_EQ(unit.Status().status, 1);
}

TEST_F(StartupRun, WithoutKernelOptionTheKernelAreaIsLeftAlone) {
  sim::UsbUnit& unit = AddUnit(Description(3, 1, 0, 0, 1));
  const std::vector<std::uint8_t> before = unit.firmware().flash();
  const std::string program = PackedProgram(Description(4, 1, 0, 1, 9));
  EXPECT_EQ(Run(program, {"/n"}), 0);
  const std::vector<std::uint8_t> after = unit.firmware().flash();
  EXPECT_TRUE(std::equal(before.begin(), before.begin() + 0x8000, after.begin()));
}

TEST_F(StartupRun, NoUnitEndsAfterFiveSecondsWithTheLinksLastTrace) {
  const std::string program = PackedProgram(Description(4, 1, 0, 0, 1));
  const std::int64_t start = clock_.Counter();
  EXPECT_EQ(Run(program, {"/n"}), 1);
  EXPECT_EQ(Output(), "QMX Firmware Reprogramming System\n"
                      "Error: Valdren not found (Serial No. " + serial_ + ")\n\n");
  EXPECT_GE(clock_.Counter() - start, 5 * platform::VirtualClock::kFrequency);
  EXPECT_LT(clock_.Counter() - start, 6 * platform::VirtualClock::kFrequency);
}

TEST_F(StartupRun, WantedSerialThatNoUnitHas) {
  AddUnit(Description(4, 1, 0, 0, 1));
  const std::string program = PackedProgram(Description(4, 1, 0, 0, 1));
  const std::string wanted = UniqueSerial();
  EXPECT_EQ(Run(program, {"/n"}, wanted), 1);
  EXPECT_EQ(Output(), "QMX Firmware Reprogramming System\n"
                      "Error: Valdren not found (Serial No. " + wanted + ")\n\n");
  EXPECT_EQ(units_.front()->Status().programmedBlocks, 0u);
}

TEST_F(StartupRun, TwoUnitsTheLowerIndexIsTaken) {
  sim::UsbUnit& first = AddUnit(Description(3, 1, 0, 0, 1));
  sim::UsbUnit& second = AddUnit(Description(3, 1, 0, 0, 1));
  const std::string program = PackedProgram(Description(4, 1, 0, 1, 2));
  MakeState(program);
  EXPECT_EQ(RunFlashwright(*state_, {"/n"}), 0);
  EXPECT_EQ(first.Status().firmware, "Full Release 1.0.1");
  EXPECT_EQ(second.Status().firmware, "Beta Test 1.0.0");
}

TEST_F(StartupRun, UnitThatCannotBeReprogrammed) {
  sim::UnitOptions options;
  options.cannotReprogram = true;
  AddUnit(Description(3, 1, 0, 0, 1), options);
  const std::string program = PackedProgram(Description(4, 1, 0, 1, 2));
  EXPECT_EQ(Run(program, {"/n"}), 1);
  EXPECT_EQ(Output(), "QMX Firmware Reprogramming System\n"
                      "Error: Tarvex Lite cannot be re-programmed (Serial No. " + serial_ +
                          ")\n\n");
}

// An unhealthy unit after programming is a warning, each with its own text, and
// still the closing line.
TEST_F(StartupRun, UnhealthyStatusAfterProgrammingIsAWarningWithExitTwo) {
  const std::pair<std::uint32_t, const char*> rows[] = {
      {0x2C, "Warning: The unit is returning\n  a self test error code of 2c"},
      {0x200, "Warning: The reprogramming has failed!!\n"
              "The unit is returning a checksum failure status"},
  };
  for (const auto& [status, warning] : rows) {
    SCOPED_TRACE(status);
    sim::UnitOptions options;
    options.selfTestError = status;
    units_.clear();
    sim_d2xx::units.clear();
    AddUnit(Description(3, 1, 0, 0, 1), options);
    const std::string program = PackedProgram(Description(4, 1, 0, 1, 2));
    std::fclose(out_);
    out_ = std::tmpfile();  // this row's output alone
    EXPECT_EQ(Run(program, {"/n"}), kExitWarning);
    const std::string out = Output();
    EXPECT_NE(out.find(std::string("Programming...\n") + warning + "\nProgramming complete\n"),
              std::string::npos)
        << out;
  }
}

// The same version built from other code has another checksum: it is no match.
TEST_F(StartupRun, SameVersionWithAnotherChecksumIsProgrammedEvenWithCheck) {
  sim::UsbUnit& unit = AddUnit(Description(4, 2, 0, 1, 1));
  const std::string program = PackedProgram(Description(4, 2, 0, 1, 2));
  EXPECT_EQ(Run(program, {"/n", "/c"}), 0);
  const std::string out = Output();
  EXPECT_EQ(out.find("Images match"), std::string::npos) << out;
  EXPECT_NE(out.find("Programming...\nProgramming complete\n"), std::string::npos) << out;
  EXPECT_EQ(unit.Status().checksum,
            platform::ReadBE32(state_->Image.ImageBuffer.data() + 0x8000 + checksum_block::kChecksum));
}

TEST_F(StartupRun, ProgramWithoutImage) {
  AddUnit(Description(3, 1, 0, 0, 1));
  const std::string program = (dir_ / "plain").string();
  std::ofstream(program, std::ios::binary) << "no image here";
  EXPECT_EQ(Run(program, {"/n"}), 1);
  EXPECT_EQ(Output(), "QMX Firmware Reprogramming System\n"
                      "Error: No Image in file! (Serial No. " + serial_ + ")\n\n");
  // In window mode the run goes on to the window (for now: ends quietly).
  EXPECT_EQ(Run(program, {}), 0);
  EXPECT_FALSE(state_->UpdateRequired);
  EXPECT_FALSE(state_->AutoExit);
}

TEST_F(StartupRun, OwnFileThatCannotBeOpened) {
  AddUnit(Description(3, 1, 0, 0, 1));
  EXPECT_EQ(Run((dir_ / "missing").string(), {"/n"}), 1);
  EXPECT_NE(Output().find("Error: Can't re-open own file (Serial No. "), std::string::npos);
}

TEST_F(StartupRun, ImageFailingItsCheckIsFatal) {
  AddUnit(Description(3, 1, 0, 0, 1));
  std::string program = PackedProgram(Description(4, 1, 0, 1, 2));
  // Change one application byte of the packed image (address 0x8100).
  std::fstream file(program, std::ios::in | std::ios::out | std::ios::binary);
  file.seekg(-12, std::ios::end);
  std::uint8_t trailer[12];
  file.read(reinterpret_cast<char*>(trailer), 12);
  const std::streamoff imageStart =
      static_cast<std::streamoff>(file.tellg()) - 12 - platform::ReadLE32(trailer + 4);
  file.seekp(imageStart + 0x8100);
  file.put('\x5A');
  file.close();
  EXPECT_EQ(Run(program, {"/n"}), 1);
  const std::string out = Output();
  EXPECT_NE(out.find("Kernel Present\nError: Application Checksum error: Generated = "),
            std::string::npos)
      << out;
}

TEST_F(StartupRun, DecisionFlagsForTheWindow) {
  AddUnit(Description(4, 2, 0, 1, 2));
  const std::string program = PackedProgram(Description(4, 2, 0, 1, 2));
  EXPECT_EQ(Run(program, {}), 0);
  EXPECT_FALSE(state_->UpdateRequired) << "matching image";
  EXPECT_TRUE(state_->AutoExit) << "Full Release counts down to exit";
  EXPECT_EQ(Run(program, {"/f"}), 0);
  EXPECT_TRUE(state_->UpdateRequired) << "the window also programs when forced";

  const std::string beta = PackedProgram(Description(2, 2, 0, 1, 2));  // Alpha Test, differs
  EXPECT_EQ(Run(beta, {}), 0);
  EXPECT_TRUE(state_->UpdateRequired);
  EXPECT_TRUE(state_->AutoExit);
}

TEST_F(StartupRun, LinkFaultsDuringProgrammingAreRecovered) {
  sim::UsbUnit& unit = AddUnit(Description(3, 1, 0, 0, 1));
  const std::string program = PackedProgram(Description(4, 1, 0, 1, 2));
  // The search makes a few dozen calls of each kind; these land mid-programming.
  unit.InjectFault({sim::Call::QueueStatus, 400});
  unit.InjectFault({sim::Call::Write, 20});
  unit.InjectFault({sim::Call::Read, 15});
  unit.InjectFault({sim::Call::GetStatus, 25});
  unit.SetShortWrites(100);
  EXPECT_EQ(Run(program, {"/n"}), 0) << Output() << state_->LastMessage();
  EXPECT_EQ(unit.Status().firmware, "Full Release 1.0.1");
  EXPECT_EQ(unit.Status().status, 1);
}

TEST_F(StartupRun, UnplugLongerThanRecoveryEndsWithAWarningNotAHang) {
  sim::UsbUnit& unit = AddUnit(Description(3, 1, 0, 0, 1));
  const std::string program = PackedProgram(Description(4, 1, 0, 1, 2));
  // Unplugged for good once programming is under way (the hook runs on both the
  // console's and the worker's thread).
  std::atomic<bool> unplugged{false};
  clock_.SetSleepHook([&](std::uint32_t) {
    if (!unplugged && unit.Status().programmedBlocks >= 5 && !unplugged.exchange(true)) {
      unit.Unplug(0);
    }
  });
  const int code = Run(program, {"/n"});
  clock_.SetSleepHook(nullptr);
  EXPECT_EQ(code, kExitWarning);
  const std::string out = Output();
  EXPECT_NE(out.find("\nWarning: Timeout: no acknowledgement for block 0x"), std::string::npos)
      << out;
  // The last line says the job is not done.
  EXPECT_TRUE(out.ends_with("\nProgramming did not complete\n")) << out;
  EXPECT_EQ(out.find("Programming complete"), std::string::npos) << out;
}

}  // namespace
}  // namespace loader

// The start-up run and the console programming run in-process: the loader's real
// code against simulated units, on a virtual clock (a 5-second search costs nothing).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/bytes.h"
#include "tests/loader/loader_world.h"

namespace loader {
namespace {

using StartupRun = LoaderWorld;

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
  // A checksum failure of a unit whose application is the image's, its kernel
  // kept: the advice comes first.
  const std::pair<std::uint32_t, const char*> rows[] = {
      {0x2C, "Warning: The unit is returning\n  a self test error code of 2c"},
      {0x200, "The unit's kernel fails its check and was kept: run again with /k to rewrite it\n"
              "Warning: The reprogramming has failed!!\n"
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

// A kernel update cut short leaves a kernel that fails its check; a plain run keeps
// it and says that only /k mends it, and /k does.
TEST_F(StartupRun, BrokenKernelIsMendedByKernelOptionAndAPlainRunSaysSo) {
  struct Row {
    std::vector<std::string> args;
    int code;
    bool advice;
    std::int32_t status;
  };
  const Row rows[] = {{{"/n"}, kExitWarning, true, 0x200}, {{"/n", "/k"}, 0, false, 1}};
  const std::string program = PackedProgram(Description(4, 1, 0, 1, 2));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args.size());
    units_.clear();
    sim_d2xx::units.clear();
    sim::UsbUnit& unit = AddUnit(Description(3, 1, 0, 0, 1));
    const std::uint8_t damage = static_cast<std::uint8_t>(unit.firmware().flash()[0x2000] ^ 0x5A);
    unit.firmware().WriteFlash(0x2000, &damage, 1);
    ASSERT_EQ(unit.Status().status, 0x200);
    std::fclose(out_);
    out_ = std::tmpfile();
    EXPECT_EQ(Run(program, row.args), row.code);
    const std::string out = Output();
    EXPECT_EQ(out.find("Programming...\nThe unit's kernel fails its check and was kept: run "
                       "again with /k to rewrite it\nWarning: The reprogramming has failed!!\n") !=
                  std::string::npos,
              row.advice)
        << out;
    EXPECT_EQ(unit.Status().status, row.status);
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
  // In window mode the run goes on to the window: none without a toolkit.
  EXPECT_EQ(Run(program, {}), 1);
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

// One in-process world for whole loader runs: a folder, simulated units on a virtual
// clock reached through an in-process D2XX table, packed program files, and the
// loader state wired to them.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "loader/startup.h"
#include "platform/clock.h"
#include "sim/usb_unit.h"
#include "tests/support/sim_d2xx.h"
#include "tools/image_builder.h"

namespace loader {

namespace fs = std::filesystem;

inline std::string UniqueSerial() {
  std::random_device random;
  char text[12];
  std::snprintf(text, sizeof text, "R%08x", static_cast<unsigned>(random()));
  return text;
}

inline std::string ReadAll(std::FILE* file) {
  std::fflush(file);
  std::string text(static_cast<std::size_t>(std::ftell(file)), '\0');
  std::rewind(file);
  text.resize(std::fread(text.data(), 1, text.size(), file));
  std::fseek(file, 0, SEEK_END);
  return text;
}

inline tools::ImageDescription Description(unsigned release, std::uint8_t major, std::uint8_t minor,
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
class LoaderWorld : public testing::Test {
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

  // A unit running the firmware of `desc`, on the world's clock unless given one.
  sim::UsbUnit& AddUnit(const tools::ImageDescription& desc, sim::UnitOptions options = {},
                        platform::Clock* clock = nullptr) {
    if (options.serial == sim::UnitOptions{}.serial) options.serial = UniqueSerial();
    units_.push_back(std::make_unique<sim::UsbUnit>(options, clock ? *clock : clock_));
    sim::UsbUnit& unit = *units_.back();
    const std::string path = (dir_ / ("running" + std::to_string(units_.size()) + ".a37")).string();
    EXPECT_FALSE(tools::WriteImageFile(desc, path, "running"));
    std::string error;
    EXPECT_TRUE(unit.firmware().LoadSRecordFile(path, &error)) << error;
    sim_d2xx::units.push_back(&unit);
    return unit;
  }

  // A program file carrying the image of `desc`, as the loader's own file.
  std::string PackedProgram(const tools::ImageDescription& desc,
                            const std::string& name = "packed") {
    const std::string program = (dir_ / "program").string();
    std::ofstream(program, std::ios::binary) << "a program file without an image";
    const std::string image = (dir_ / "new.a37").string();
    EXPECT_FALSE(tools::WriteImageFile(desc, image, "new"));
    const std::string packed = (dir_ / name).string();
    std::FILE* notes = std::tmpfile();
    tools::PackResult result = tools::PackProgram(program, image, packed, notes);
    std::fclose(notes);
    EXPECT_EQ(result.status, tools::PackStatus::Packed) << result.error;
    return packed;
  }

  // Runs the loader as `flashwright ARGS`, its own file being `program`.
  int Run(const std::string& program, std::vector<std::string> args, std::string serial = "") {
    MakeState(program);
    serial_ = !serial.empty()  ? serial
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
        .CreateView = view_,
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
      // A step of TotalBlocks / 32 (at least 1) makes about 32 marks, under 64.
      EXPECT_LT(marks_, 64) << "at most about 32 marks";
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
  forms::ViewFactory view_ = nullptr;  // the window mode's toolkit; none by default
};

}  // namespace loader

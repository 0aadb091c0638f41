// One unit's job at the bench station: a thread and a loader state of its own, taking
// the console run's steps and reporting its stage and outcome as it goes.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <utility>

#include "loader/Programcard.h"
#include "loader/station.h"
#include "platform/name_claim.h"

namespace loader::station {

namespace {

// The job looks at its worker's counters this often: the worker itself looks for
// the unit's answers every few milliseconds, and the lines are drawn 10 times a second.
constexpr auto kJobLook = std::chrono::milliseconds(20);

std::string FirmwareText(std::int32_t version) {
  char text[64];
  std::snprintf(text, sizeof text, "%s %d.%d.%d", ReleaseTypeName(WordByte(version, 24)),
                WordByte(version, 16), WordByte(version, 8), WordByte(version, 0));
  return text;
}

LoaderServices JobServices(const JobSetup& setup) {
  LoaderServices services;
  services.Clock = setup.clock;
  services.ShowMessageBox = [](const char*, const char*) {};  // the job never shows one
  services.D2xx = setup.d2xx;
  return services;
}

}  // namespace

std::string ImageText(const VersionRecord& image) {
  char text[64];
  std::snprintf(text, sizeof text, "%s %d.%d.%d", ReleaseTypeName(image.version[0]),
                image.version[1], image.version[2], image.version[3]);
  return text;
}

UnitJob::UnitJob(std::string serial, const JobSetup& setup)
    : setup_(setup), state_(JobServices(setup)) {
  report_.serial = std::move(serial);
  start_ = setup.clock->Counter();
  state_.TraceTag = report_.serial;
  state_.Options.NoGui = true;
  state_.Options.Force = setup.force;
  state_.Options.ForceKernelUpdate = setup.kernel;
  std::strncpy(state_.Options.SerialOption, report_.serial.c_str(),
               sizeof state_.Options.SerialOption - 1);
  ReadEnvironment(state_);
  thread_ = std::thread([this] { Run(); });
}

UnitJob::~UnitJob() {
  if (thread_.joinable()) thread_.join();
}

UnitReport UnitJob::Report() const {
  std::lock_guard<std::mutex> hold(lock_);
  return report_;
}

void UnitJob::SetStage(Stage stage) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    report_.stage = stage;
  }
  if (setup_.changed) setup_.changed();
}

void UnitJob::Finish(Result result, const std::string& text) {
  // The unit goes back to the hosts whatever the outcome.
  state_.Link.CloseUnit();
  SetDriverState(state_, 0);
  {
    std::lock_guard<std::mutex> hold(lock_);
    report_.stage = Stage::Done;
    report_.result = result;
    report_.text = text;
    platform::Clock& clock = *setup_.clock;
    report_.seconds = static_cast<double>(clock.Counter() - start_) / clock.Frequency();
  }
  finished_ = true;
  if (setup_.changed) setup_.changed();
}

void UnitJob::Run() {
  // Nothing may leave the thread: the station waits for Finished.
  try {
    Program();
  } catch (const std::exception& failure) {
    Finish(Result::Failed, std::string("internal error: ") + failure.what());
  }
}

void UnitJob::Program() {
  if (setup_.stop->load()) return Finish(Result::Stopped, "the station was stopped first");
  if (report_.serial.size() >= kSerialOptionSize) {
    // Cut short it would select another unit (a serial number has at most 11
    // characters on the units we program).
    return Finish(Result::Failed, "serial number too long to select the unit");
  }
  SetStage(Stage::Searching);
  const std::string block = MappingName(state_.Options.SerialOption);
  // Another loader's mark: it is programming this unit now.
  if (platform::PresenceMark::AnyHeld(block)) {
    return Finish(Result::InUse, "another station or Flashwright holds this unit");
  }
  std::string error;
  if (!TryClaimSharedBlock(state_, &error) || !state_.BindLink(&error)) {
    return Finish(Result::Failed, error);
  }
  state_.Image = *setup_.image;
  state_.Unit.CardFirmwareVersion = -1;
  state_.Unit.CardKernelVersion = -1;
  if (!SearchForUnit(state_)) {
    const std::string why = state_.LastMessage();
    state_.Link.CloseUnit();
    SetDriverState(state_, 0);
    // The mark let go of, another loader's was still there: that one holds the unit.
    if (state_.BlockLeftToOtherLoader) {
      return Finish(Result::InUse, "another station or Flashwright holds this unit");
    }
    return Finish(Result::NotFound, why);
  }

  SetStage(Stage::Checking);
  const std::int32_t version = state_.Unit.CardFirmwareVersion;
  {
    std::lock_guard<std::mutex> hold(lock_);
    report_.beforeKnown = true;
    report_.beforeVersion = version;
    report_.beforeChecksum = static_cast<std::uint32_t>(state_.Unit.CardApplicationChecksum.load());
    report_.beforeStatus = state_.Unit.CardStatus;
  }
  if (state_.Unit.CardApplicationChecksum == kCannotReprogram) {
    return Finish(Result::Failed, "Tarvex Lite cannot be re-programmed");
  }
  const bool matches = ImageMatchesUnit(state_);
  {
    std::lock_guard<std::mutex> hold(lock_);
    report_.decision = !matches ? "update" : setup_.force ? "forced" : "none";
  }
  const std::string imageText = ImageText(*state_.Image.Version());
  if (matches && !setup_.force) return Finish(Result::UpToDate, imageText);
  // Units not yet programming stop; those programming finish.
  if (setup_.stop->load()) return Finish(Result::Stopped, "the station was stopped first");

  const bool kernelKept = StartAddress(state_) != 0;
  ProgrammingVerdict verdict;
  std::int32_t done = 0;
  {
    ProgramCard worker(state_);
    {
      std::lock_guard<std::mutex> hold(lock_);
      report_.blocksTotal = worker.TotalBlocks;
    }
    SetStage(Stage::Programming);
    bool restarting = false;
    while (worker.Running) {
      std::this_thread::sleep_for(kJobLook);
      done = worker.BlocksProgrammed;
      {
        std::lock_guard<std::mutex> hold(lock_);
        report_.blocksDone = done;
      }
      if (!restarting && done == worker.TotalBlocks && worker.Running) {
        restarting = true;
        SetStage(Stage::Restarting);
      }
    }
    done = worker.BlocksProgrammed;
    verdict = JudgeProgramming(state_, worker, kernelKept);
  }
  {
    std::lock_guard<std::mutex> hold(lock_);
    report_.blocksDone = done;
  }
  if (verdict.timedOut) {
    return Finish(Result::Failed, "programming did not complete: " + state_.LastMessage());
  }
  if (verdict.status != unit_status::kHealthy) {
    char text[160];
    if ((verdict.status & unit_status::kChecksumFailure) != 0) {
      std::snprintf(text, sizeof text, "the unit is returning a checksum failure status%s",
                    verdict.kernelAdvice
                        ? " (its kernel fails its check and was kept: run again with --kernel)"
                        : "");
    } else {
      std::snprintf(text, sizeof text, "the unit is returning a self test error code of %x",
                    static_cast<unsigned>(verdict.status));
    }
    return Finish(Result::Failed, text);
  }
  Finish(Result::Programmed, imageText + " (was " + FirmwareText(version) + ")");
}

}  // namespace loader::station

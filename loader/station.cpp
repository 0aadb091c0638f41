// The bench station: starts a job per unit (station_job.cpp), all at once or as each
// is plugged in, shows their lines and records each outcome.
#include "loader/station.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <utility>

#include "platform/record_file.h"

namespace loader::station {

// ------------------------------------------------------------------ the lines shown

// On a terminal the lines of the units in flight are redrawn in place below the
// finished ones; elsewhere (a log) each change is a line of its own, progress at
// every tenth of the blocks.
class Station::Board {
 public:
  Board(std::FILE* out, bool redraw) : out_(out), redraw_(redraw) {}

  void Show(const std::vector<UnitReport>& finished, const std::vector<UnitReport>& live) {
    if (redraw_) {
      std::string text;
      for (const UnitReport& report : finished) text += StatusLine(report) + "\n";
      std::string region;
      for (const UnitReport& report : live) region += "\x1b[2K" + StatusLine(report) + "\n";
      if (text.empty() && region == region_) return;
      if (drawn_ > 0) std::fprintf(out_, "\x1b[%dF\x1b[J", drawn_);
      std::fputs(text.c_str(), out_);
      std::fputs(region.c_str(), out_);
      region_ = region;
      drawn_ = static_cast<int>(live.size());
    } else {
      for (const UnitReport& report : live) {
        if (report.stage == Stage::Waiting) continue;  // it searches at once
        const int tenth = report.blocksTotal > 0 ? report.blocksDone * 10 / report.blocksTotal : 0;
        const std::string key = std::string(StageName(report.stage)) + std::to_string(tenth);
        std::string& last = shown_[report.serial];
        if (key == last) continue;
        last = key;
        std::fprintf(out_, "%s\n", StatusLine(report).c_str());
      }
      for (const UnitReport& report : finished) {
        std::fprintf(out_, "%s\n", StatusLine(report).c_str());
        shown_.erase(report.serial);
      }
    }
    std::fflush(out_);
  }

  // Text that goes above the lines in flight, which the next Show draws again.
  void Say(const std::string& text) {
    Show({}, {});
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
  }

 private:
  std::FILE* out_;
  bool redraw_;
  int drawn_ = 0;
  std::string region_;
  std::map<std::string, std::string> shown_;
};

// ------------------------------------------------------------------ the record

class Station::Record {
 public:
  bool Open(const std::string& path, std::string* error) {
    path_ = path;
    file_ = platform::RecordFile::Open(path, error);
    return file_.valid();
  }
  bool Append(const std::string& line, std::string* error) {
    if (!file_.Append(line, error)) {
      ++lost_;
      return false;
    }
    ++written_;
    return true;
  }
  const std::string& path() const { return path_; }
  int written() const { return written_; }
  int lost() const { return lost_; }

 private:
  std::string path_;
  platform::RecordFile file_;
  int written_ = 0;
  int lost_ = 0;
};

// ------------------------------------------------------------------ the station

Station::Station(StationOptions options, StationServices services)
    : options_(std::move(options)), services_(std::move(services)) {
  board_ = std::make_unique<Board>(services_.out, services_.redraw);
}

Station::~Station() {
  std::lock_guard<std::mutex> hold(jobsLock_);
  jobs_.clear();  // each waits for its thread
}

void Station::Stop() {
  stop_ = true;
  {
    std::lock_guard<std::mutex> hold(changeLock_);
    changed_ = true;
  }
  change_.notify_all();
}

void Station::HandBackAll() {
  std::lock_guard<std::mutex> hold(jobsLock_);
  for (auto& job : jobs_) job->HandBack();
}

bool Station::LoadImage() {
  std::string problem;
  if (!options_.imagePath.empty()) {
    const SRecordLoadResult loaded = LoadSRecordFile(options_.imagePath.c_str(), image_, nullptr);
    if (loaded.status != SRecordLoadStatus::Loaded)
      problem = options_.imagePath + ": " + loaded.error;
  } else {
    const AppendedImageResult loaded = LoadAppendedImage(services_.ownProgramPath.c_str(), image_);
    switch (loaded.status) {
      case AppendedImageStatus::CannotOpen: problem = "Can't re-open own file"; break;
      case AppendedImageStatus::Invalid: problem = loaded.error; break;
      case AppendedImageStatus::NoImage:
        problem = "No Image in file!: give --image FILE.a37, or carry one (fwimage pack)";
        break;
      case AppendedImageStatus::Loaded:
        if (loaded.offset == kApplicationBlockAddress) {
          if (const char* check = image_.CheckImage(nullptr)) problem = check;
        }
        break;
    }
  }
  if (problem.empty() && !image_.Version()) problem = "No Image in file!";
  if (!problem.empty()) {
    std::fprintf(services_.err, "fwstation: %s\n", problem.c_str());
    return false;
  }
  version_ = *image_.Version();
  return true;
}

bool Station::BindLibrary() {
  if (services_.d2xx != nullptr) return true;
  std::string error;
  if (!platform::d2xx::Bind(&d2xx_, &error)) {
    std::fprintf(services_.err, "fwstation: %s\n", error.c_str());
    return false;
  }
  services_.d2xx = &d2xx_;
  return true;
}

bool Station::OpenRecord() {
  if (options_.recordPath.empty()) return true;
  record_ = std::make_unique<Record>();
  std::string error;
  if (!record_->Open(options_.recordPath, &error)) {
    std::fprintf(services_.err, "fwstation: %s\n", error.c_str());
    return false;
  }
  return true;
}

void Station::StartJob(const std::string& serial) {
  std::lock_guard<std::mutex> hold(jobsLock_);
  if (services_.unitClock) {
    // A setup of its own for the job's time; the rest is shared.
    setups_.push_back(std::make_unique<JobSetup>(setup_));
    if (platform::Clock* own = services_.unitClock(serial)) setups_.back()->clock = own;
    jobs_.push_back(std::make_unique<UnitJob>(serial, *setups_.back()));
    return;
  }
  jobs_.push_back(std::make_unique<UnitJob>(serial, setup_));
}

void Station::Scan() {
  std::vector<std::string> found = ListUnitSerials(*services_.d2xx);
  if (!options_.serials.empty()) {
    std::erase_if(found, [&](const std::string& serial) {
      return std::find(options_.serials.begin(), options_.serials.end(), serial) ==
             options_.serials.end();
    });
  }
  for (auto& [serial, missing] : present_) {
    missing = std::find(found.begin(), found.end(), serial) == found.end() ? missing + 1 : 0;
  }
  std::erase_if(present_, [](const auto& unit) { return unit.second >= kScansMissingToForget; });
  for (const std::string& serial : found) {
    const bool done = std::any_of(present_.begin(), present_.end(),
                                  [&](const auto& unit) { return unit.first == serial; });
    bool running = false;
    {
      std::lock_guard<std::mutex> hold(jobsLock_);
      for (const auto& job : jobs_) running = running || job->Report().serial == serial;
    }
    if (!done && !running) StartJob(serial);
  }
}

void Station::Collect() {
  std::vector<std::unique_ptr<UnitJob>> ended;
  std::vector<UnitReport> finished, live;
  {
    std::lock_guard<std::mutex> hold(jobsLock_);
    for (auto& job : jobs_) {
      if (job->Finished()) {
        ended.push_back(std::move(job));
      } else {
        live.push_back(job->Report());
      }
    }
    std::erase(jobs_, nullptr);
  }
  for (auto& job : ended) {
    finished.push_back(job->Report());
    job.reset();  // waits for a thread that has nothing left to do
  }
  for (const UnitReport& report : finished) {
    finished_.push_back(report);
    if (options_.watch) present_.emplace_back(report.serial, 0);
    if (!record_) continue;
    const RecordContext context{UtcNow(), services_.hostName, &version_,
                                options_.imagePath.empty() ? "carried" : options_.imagePath};
    std::string error;
    if (!record_->Append(RecordLine(report, context), &error)) {
      std::fprintf(services_.err, "fwstation: %s: %s\n", record_->path().c_str(), error.c_str());
    }
  }
  board_->Show(finished, live);
}

void Station::WaitForChange(std::uint32_t ms) {
  std::unique_lock<std::mutex> hold(changeLock_);
  change_.wait_for(hold, std::chrono::milliseconds(ms), [this] { return changed_; });
  changed_ = false;
}

int Station::Summary() {
  static constexpr Result kOrder[] = {Result::Programmed, Result::UpToDate, Result::Failed,
                                      Result::NotFound,   Result::InUse,    Result::Stopped};
  std::map<Result, int> counts;
  for (const UnitReport& report : finished_) ++counts[report.result];
  std::string line;
  if (finished_.empty()) {
    line = "Summary: no unit was met\n";
  } else {
    line = "Summary: " + std::to_string(finished_.size()) +
           (finished_.size() == 1 ? " unit" : " units");
    const char* separator = ": ";
    for (Result result : kOrder) {
      if (counts[result] == 0) continue;
      line += separator + std::to_string(counts[result]) + " " + ResultName(result);
      separator = ", ";
    }
    line += "\n";
  }
  for (const UnitReport& report : finished_) {
    if (report.result == Result::Programmed || report.result == Result::UpToDate) continue;
    line += "  " + report.serial + "  " + ResultName(report.result);
    if (!report.text.empty()) line += ": " + report.text;
    line += "\n";
  }
  if (record_) {
    line += "Record: " + std::to_string(record_->written()) +
            (record_->written() == 1 ? " line" : " lines") + " appended to " + record_->path() +
            "\n";
  }
  board_->Say(line);
  if (record_ && record_->lost() > 0) {
    std::fprintf(services_.err, "fwstation: %d outcomes could not be written to %s\n",
                 record_->lost(), record_->path().c_str());
    return kExitCannotRun;
  }
  if (counts[Result::Failed] + counts[Result::NotFound] + counts[Result::Stopped] > 0) {
    return kExitUnitFailed;
  }
  return counts[Result::InUse] > 0 ? kExitUnitInUse : kExitAllDone;
}

int Station::Run() {
  if (!LoadImage() || !BindLibrary() || !OpenRecord()) return kExitCannotRun;
  setup_.clock = services_.clock;
  setup_.d2xx = services_.d2xx;
  setup_.image = &image_;
  setup_.force = options_.force;
  setup_.kernel = options_.kernel;
  setup_.stop = &stop_;
  setup_.changed = [this] {
    {
      std::lock_guard<std::mutex> hold(changeLock_);
      changed_ = true;
    }
    change_.notify_all();
  };
  std::fprintf(services_.out, "Image: %s, compiled on %s at %s (%s)\n", ImageText(version_).c_str(),
               version_.compileDate.c_str(), version_.compileTime.c_str(),
               options_.imagePath.empty() ? "carried" : options_.imagePath.c_str());
  if (options_.watch) {
    std::fputs(
        "Watching for units: Ctrl-C ends the watch once the units being programmed are done\n",
        services_.out);
  } else {
    std::vector<std::string> serials = options_.serials;
    if (serials.empty()) serials = ListUnitSerials(*services_.d2xx);
    if (serials.empty()) {
      std::fprintf(services_.err, "fwstation: %s not found: no unit to program\n", kUnitName);
      return kExitCannotRun;
    }
    for (const std::string& serial : serials) StartJob(serial);
  }
  std::fflush(services_.out);

  using Steady = std::chrono::steady_clock;
  Steady::time_point nextScan = Steady::now();
  bool stopping = false;
  for (;;) {
    if (options_.watch && !stop_ && Steady::now() >= nextScan) {
      Scan();
      nextScan = Steady::now() + std::chrono::milliseconds(kWatchScanMs);
    }
    Collect();
    if (stop_ && !stopping) {
      stopping = true;
      board_->Say("Stopping: units being programmed finish first\n");
    }
    bool idle = false;
    {
      std::lock_guard<std::mutex> hold(jobsLock_);
      idle = jobs_.empty();
    }
    if (idle && (!options_.watch || stop_)) break;
    WaitForChange(kRedrawMs);
  }
  return Summary();
}

}  // namespace loader::station

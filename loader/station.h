// The bench station: every unit on the bench programmed at once with one image, each
// by a job of its own with the console run's decisions, its outcome shown on a line of
// its own and appended to a production record.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loader/image.h"
#include "loader/startup.h"
#include "platform/clock.h"
#include "platform/d2xx.h"

namespace loader::station {

// Exit codes.
inline constexpr int kExitAllDone = 0;     // every unit programmed or up to date
inline constexpr int kExitCannotRun = 1;   // usage, image, library, record, no unit
inline constexpr int kExitUnitFailed = 2;  // a unit failed, was not found or was stopped
inline constexpr int kExitUnitInUse = 3;   // none of those, but a unit was held elsewhere

// Watch mode looks for new units this often.
inline constexpr std::uint32_t kWatchScanMs = 1000;
// A unit that finished is taken for a new one only after it was missing from this
// many scans in a row: a scan can miss a unit another program opens for a moment.
inline constexpr int kScansMissingToForget = 2;
// The status lines are drawn at most this often on a terminal.
inline constexpr std::uint32_t kRedrawMs = 100;

struct StationOptions {
  std::string imagePath;   // an S-Record file; empty: the image the program carries
  std::string recordPath;  // empty: no record
  bool watch = false;
  bool force = false;                // as Flashwright's /f
  bool kernel = false;               // as Flashwright's /k
  std::vector<std::string> serials;  // empty: every unit found
};

// Parses the command line (program name excluded). False with the problem; `help`
// is set when the usage was asked for.
bool ParseArguments(const std::vector<std::string>& args, StationOptions* options, bool* help,
                    std::string* error);
extern const char kUsage[];

enum class Stage { Waiting, Searching, Checking, Programming, Restarting, Done };
enum class Result { None, Programmed, UpToDate, Failed, NotFound, InUse, Stopped };
const char* StageName(Stage stage);
const char* ResultName(Result result);

// What one unit's job has come to: its status line and its record line.
struct UnitReport {
  std::string serial;
  Stage stage = Stage::Waiting;
  std::int32_t blocksDone = 0;
  std::int32_t blocksTotal = 0;
  Result result = Result::None;
  std::string text;  // the result's detail
  // What the unit ran before, once it answered.
  bool beforeKnown = false;
  std::int32_t beforeVersion = -1;  // release type and three version bytes
  std::uint32_t beforeChecksum = 0;
  std::int32_t beforeStatus = 0;
  const char* decision = "";  // "update", "forced", "none"; "" before one was made
  double seconds = 0;
};

// The status line: serial, stage, blocks done out of the total, result.
std::string StatusLine(const UnitReport& report);
// The image's release type and version, as the lines and the job's results show it.
std::string ImageText(const VersionRecord& image);
// The record line (JSON, one object, closed by a line break).
struct RecordContext {
  std::string time;     // UTC, ISO 8601
  std::string station;  // host name
  const VersionRecord* image = nullptr;
  std::string imageName;  // the file given, or "carried"
};
std::string RecordLine(const UnitReport& report, const RecordContext& context);
// The system clock's time now as "YYYY-MM-DDThh:mm:ssZ".
std::string UtcNow();

// What every job shares: the outside world and the image, which outlive the jobs.
struct JobSetup {
  platform::Clock* clock = nullptr;
  const platform::d2xx::Api* d2xx = nullptr;
  const FirmwareImage* image = nullptr;
  bool force = false;
  bool kernel = false;
  const std::atomic<bool>* stop = nullptr;  // set: units not yet programming stop
  std::function<void()> changed;            // a job's stage or result changed
};

// One unit, programmed on a thread of its own with a loader state of its own.
class UnitJob {
 public:
  UnitJob(std::string serial, const JobSetup& setup);
  ~UnitJob();  // waits for the thread, whose waits are all bounded
  UnitJob(const UnitJob&) = delete;
  UnitJob& operator=(const UnitJob&) = delete;

  UnitReport Report() const;
  bool Finished() const { return finished_; }
  // The process is asked to end at once: the unit is handed back from this thread.
  void HandBack() { HandBackUnit(state_); }

 private:
  void Run();
  void Program();
  void SetStage(Stage stage);
  void Finish(Result result, const std::string& text);

  const JobSetup& setup_;
  LoaderState state_;
  mutable std::mutex lock_;
  UnitReport report_;
  std::int64_t start_ = 0;  // on the clock
  std::atomic<bool> finished_{false};
  std::thread thread_;  // last: started once everything above is set
};

// Where the station writes, and what it reaches the world through.
struct StationServices {
  platform::Clock* clock = &platform::SystemClock();
  // The clock of one unit's job; null: `clock` for all. Tests give each simulated
  // unit a timeline of its own, as each real unit keeps its own time.
  std::function<platform::Clock*(const std::string& serial)> unitClock;
  const platform::d2xx::Api* d2xx = nullptr;  // null: bind the library
  std::string ownProgramPath;                 // whose carried image is used
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  bool redraw = false;  // the output is a terminal that redraws lines in place
  std::string hostName;
};

class Station {
 public:
  Station(StationOptions options, StationServices services);
  ~Station();

  // The whole run; returns the exit code. Stop() makes it end as soon as the units
  // in flight allow.
  int Run();
  void Stop();
  // The process is ending at once: every unit still held is handed back.
  void HandBackAll();

 private:
  bool LoadImage();
  bool BindLibrary();
  bool OpenRecord();
  void StartJob(const std::string& serial);
  void Scan();     // watch mode: starts a job for each unit that appeared
  void Collect();  // records and shows finished jobs, redraws the rest
  void WaitForChange(std::uint32_t ms);
  int Summary();

  StationOptions options_;
  StationServices services_;
  FirmwareImage image_;
  VersionRecord version_;
  platform::d2xx::Api d2xx_{};
  JobSetup setup_;
  std::atomic<bool> stop_{false};
  std::mutex changeLock_;
  std::condition_variable change_;
  bool changed_ = false;
  std::mutex jobsLock_;  // HandBackAll comes from another thread
  std::vector<std::unique_ptr<UnitJob>> jobs_;
  std::vector<std::unique_ptr<JobSetup>> setups_;  // those of jobs on clocks of their own
  std::vector<UnitReport> finished_;
  // Watch mode: units done and still present, with the scans they were missing from.
  std::vector<std::pair<std::string, int>> present_;
  class Board;
  std::unique_ptr<Board> board_;
  class Record;
  std::unique_ptr<Record> record_;
};

}  // namespace loader::station

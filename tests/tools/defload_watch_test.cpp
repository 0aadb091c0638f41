// defload's watch over a download, driven by scripted status readings on a virtual
// clock: what a log and a terminal show, the pace of the readings, and the bound.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "defloader.h"
#include "platform/clock.h"
#include "tools/defload_watch.h"

namespace {

using defload_tool::DownloadStatus;
using defload_tool::Watch;
using defload_tool::WatchOutcome;
using defload_tool::WatchSettings;

DownloadStatus Busy(int stage, unsigned progress = 0, unsigned total = 0) {
  return DownloadStatus{true, stage, 9, progress, total};
}
DownloadStatus Ended(int stage, int result, unsigned progress = 0, unsigned total = 0) {
  return DownloadStatus{false, stage, result, progress, total};
}

// Runs the watch over `script` (the last reading repeats) and keeps what it wrote.
struct Watched {
  WatchOutcome outcome;
  std::string output;
  int readings = 0;
  std::int64_t elapsedMs = 0;
};

Watched WatchScript(const std::vector<DownloadStatus>& script, const WatchSettings& settings) {
  platform::VirtualClock clock;
  const std::int64_t start = clock.Counter();
  Watched run;
  std::FILE* out = std::tmpfile();
  EXPECT_NE(out, nullptr);
  if (out == nullptr) return run;
  run.outcome = Watch(
      [&] {
        const std::size_t at = std::min<std::size_t>(run.readings, script.size() - 1);
        ++run.readings;
        return script[at];
      },
      clock, out, settings);
  std::rewind(out);
  for (int c; (c = std::fgetc(out)) != EOF;) run.output.push_back(static_cast<char>(c));
  std::fclose(out);
  run.elapsedMs = (clock.Counter() - start) / 1000;
  return run;
}

TEST(DefloadWatch, LogShowsEachStageOnceWithProgressFromTransmitting) {
  const Watched run = WatchScript({Busy(1), Busy(1), Busy(4), Busy(10, 0, 32), Busy(10, 16, 32),
                               Busy(11, 32, 32), Ended(17, 0, 32, 32)},
                              WatchSettings{});
  EXPECT_EQ(run.output,
            "stage 1: loading the file\n"
            "stage 4: searching for the acceptor\n"
            "stage 10: transmitting (0/32)\n"
            "stage 11: transmission complete (32/32)\n"
            "stage 17: finished (32/32)\n");
  EXPECT_TRUE(run.outcome.ended);
  EXPECT_EQ(run.outcome.last.result, 0);
  // One reading per 100 ms, none after the end.
  EXPECT_EQ(run.readings, 7);
  EXPECT_EQ(run.elapsedMs, 600);
}

TEST(DefloadWatch, EarlyEndKeepsTheStageItFailedAt) {
  const Watched run = WatchScript({Busy(0), Ended(4, 4)}, WatchSettings{});
  EXPECT_EQ(run.output, "stage 0: start accepted\nstage 4: searching for the acceptor\n");
  EXPECT_TRUE(run.outcome.ended);
  EXPECT_EQ(run.outcome.last.stage, 4);
  EXPECT_EQ(run.outcome.last.result, 4);
}

TEST(DefloadWatch, GivesUpAtTheBoundWhileTheDownloadStillRuns) {
  WatchSettings settings;
  settings.pollMs = 300;
  settings.boundMs = 1000;
  const Watched run = WatchScript({Busy(15)}, settings);
  EXPECT_FALSE(run.outcome.ended);
  EXPECT_EQ(run.outcome.last.stage, 15);
  EXPECT_EQ(run.output, "stage 15: waiting after the hand-back\n");
  // Readings at 0, 300, 600, 900 and at the bound itself: the last pause is cut short.
  EXPECT_EQ(run.readings, 5);
  EXPECT_EQ(run.elapsedMs, 1000);
}

TEST(DefloadWatch, TerminalRedrawsOneLineInPlaceAndBlanksWhatIsLeft) {
  WatchSettings settings;
  settings.terminal = true;
  const Watched run = WatchScript(
      {Busy(5), Busy(5), Busy(10, 0, 4), Busy(10, 2, 4), Ended(17, 6)}, settings);
  const std::string transmitting = "transmitting                            ";
  const std::string finished = "finished";
  const std::string longer = transmitting + " [############............] 2/4";
  EXPECT_EQ(run.output,
            "\rasking the unit for the ccTalk bus"
            "\r" + transmitting + " [........................] 0/4"
            "\r" + longer +
            "\r" + finished + std::string(longer.size() - finished.size(), ' ') + "\n");
  EXPECT_EQ(run.outcome.last.result, 6);
}

TEST(DefloadWatch, ProgressBarFillsInProportionAndNeverOverflows) {
  struct Case {
    unsigned progress, total;
    int width;
    const char* bar;
  };
  const Case cases[] = {
      {0, 32, 8, "[........] 0/32"},       {16, 32, 8, "[####....] 16/32"},
      {31, 32, 8, "[#######.] 31/32"},     {32, 32, 8, "[########] 32/32"},
      {40, 32, 8, "[########] 40/32"},     {5, 0, 8, "[........] 5/0"},
      {65535, 65535, 4, "[####] 65535/65535"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(defload_tool::ProgressBar(c.progress, c.total, c.width), c.bar)
        << c.progress << "/" << c.total;
}

// Only a transmission failure leaves the acceptor needing another download; the
// SR5's words say its coins are now incomplete.
TEST(DefloadWatch, AdviceFollowsOnlyAFailedTransmission) {
  struct Case {
    int kind, result;
    const char* says;  // nullptr: no advice
  } const cases[] = {
      {DFL_KIND_SR5_COINS, DFL_RESULT_SEND_FAILED, "the SR5 now holds an incomplete set of coins"},
      {DFL_KIND_ELITE_BILLS, DFL_RESULT_SEND_FAILED, "download the file again"},
      {DFL_KIND_SR5_COINS, DFL_RESULT_DONE, nullptr},
      {DFL_KIND_SR5_COINS, DFL_RESULT_NO_RESPONSE, nullptr},
      {DFL_KIND_LUMINA_BILLS, DFL_RESULT_UNKNOWN_KIND, nullptr},
  };
  for (const Case& c : cases) {
    const char* advice = defload_tool::EndAdvice(c.kind, c.result);
    if (c.says == nullptr) {
      EXPECT_EQ(advice, nullptr) << c.kind << " " << c.result;
    } else {
      ASSERT_NE(advice, nullptr) << c.kind << " " << c.result;
      EXPECT_NE(std::string(advice).find(c.says), std::string::npos) << advice;
    }
  }
}

}  // namespace

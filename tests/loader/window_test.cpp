// Flashwright's window mode in-process: the main window's handlers against simulated
// units on the virtual clock, through a scripted view that records message boxes,
// answers them, and fires the windows' timers as the toolkit would.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "loader/Diag.h"
#include "loader/Main.h"
#include "platform/bytes.h"
#include "platform/settings.h"
#include "tests/loader/loader_world.h"
#include "tests/platform/test_names.h"

namespace loader {
namespace {

struct Box {
  std::string text, title;
  unsigned flags;
  bool operator==(const Box&) const = default;
};

// What a test scripts and what the view records; it outlives the view.
struct Script {
  platform::Clock* clock = nullptr;
  std::vector<forms::BoxAnswer> answers;  // then OK
  std::string chosen;                     // the file dialog's choice; empty: cancelled
  std::function<void(forms::FormLogic& main, int beat)> onBeat;
  // A box runs a message loop of its own, where the toolkit goes on firing timers:
  // the box fires every running timer of the main window once (not from a box
  // inside one).
  bool boxFiresTimers = false;

  std::vector<Box> boxes;
  std::string title, filter, presetName;
  std::vector<std::string> comments;  // Comment after each beat
  std::vector<int> heights;           // client height after each beat
  std::vector<int> barPositions;      // the progress bar's, after each beat
  int barMax = -1;                    // as last shown
  int beats = 0, exitTimerFired = 0;
  bool mainClosed = false;
  std::string finalCaption, diagnosticsText;
  std::vector<std::string> hiddenTabs;
};

// The toolkit as the handlers see it. Run() fires each window's running timers on a
// 100 ms beat of the virtual clock until the main window closes (bounded).
class ScriptedView final : public forms::View {
 public:
  static inline Script* script = nullptr;
  static std::unique_ptr<forms::View> Create(std::string*) {
    return std::make_unique<ScriptedView>(*script);
  }
  explicit ScriptedView(Script& s) : s_(s) {}

  forms::BoxAnswer ShowBox(const std::string& text, const std::string& title,
                           unsigned flags) override {
    s_.boxes.push_back({text, title, flags});
    if (s_.boxFiresTimers && main_ != nullptr && !inBox_) {
      inBox_ = true;
      forms::FormState& state = main_->State();
      for (std::size_t i = 0; i < state.description().count; ++i) {
        const forms::Control& control = state.description().controls[i];
        if (control.kind == forms::Kind::kTimer && state.controls()[i].enabled)
          main_->TimerFired(control.name);
      }
      inBox_ = false;
    }
    if (s_.answers.empty()) return forms::BoxAnswer::kOk;
    const forms::BoxAnswer answer = s_.answers.front();
    s_.answers.erase(s_.answers.begin());
    return answer;
  }
  bool ChooseFile(const forms::Control& dialog, std::string* fileName) override {
    s_.filter = dialog.caption;
    s_.presetName = *fileName;
    if (s_.chosen.empty()) return false;
    *fileName = s_.chosen;
    return true;
  }
  void CloseWindow(forms::FormLogic& form) override {
    if (&form == main_) s_.mainClosed = true;
  }

  void Run(const char* applicationTitle, forms::FormLogic& main,
           forms::FormLogic& diagnostics) override {
    s_.title = applicationTitle;
    main_ = &main;
    main.Created();
    diagnostics.Created();
    for (const char* tab : {"StartTab", "ProgramTab", "KernelTab"})
      if (!main.State()[tab].tabVisible) s_.hiddenTabs.push_back(tab);
    for (int beat = 0; beat < 3000 && !s_.mainClosed; ++beat) {
      s_.clock->Sleep(100);
      if (s_.onBeat) s_.onBeat(main, beat);
      for (forms::FormLogic* form : {&main, &diagnostics}) {
        if (s_.mainClosed) break;
        forms::FormState& state = form->State();
        for (std::size_t i = 0; i < state.description().count; ++i) {
          const forms::Control& control = state.description().controls[i];
          const forms::ControlState& timer = state.controls()[i];
          // The second's timer fires on every tenth beat.
          if (control.kind != forms::Kind::kTimer || !timer.enabled ||
              (beat + 1) % (timer.interval / 100) != 0)
            continue;
          if (control.name == std::string("ExitTimer")) ++s_.exitTimerFired;
          form->TimerFired(control.name);
        }
      }
      s_.comments.push_back(main.State()["Comment"].caption);
      s_.heights.push_back(main.State().clientHeight);
      s_.barPositions.push_back(main.State()["ProgressBar"].position);
      s_.barMax = main.State()["ProgressBar"].max;
      ++s_.beats;
    }
    s_.finalCaption = main.State().caption;
    s_.diagnosticsText = diagnostics.State()["Output"].caption;
  }
  bool SavePicture(forms::FormLogic&, const std::string&, std::string* error) override {
    *error = "no pictures here";
    return false;
  }

 private:
  Script& s_;
  forms::FormLogic* main_ = nullptr;
  bool inBox_ = false;
};

// Stored settings go to a folder of the test's own (POSIX); under Wine to the test
// prefix's registry. Each test starts without a log-on check.
class WindowRun : public LoaderWorld {
 protected:
  void SetUp() override {
    LoaderWorld::SetUp();
    view_ = &ScriptedView::Create;
    ScriptedView::script = &script_;
    script_.clock = &clock_;
    fs::create_directories(dir_ / "home");
    fs::create_directories(dir_ / "machine" / "autostart");
    platform_test::SetEnvironment("XDG_CONFIG_HOME", (dir_ / "home").string());
    platform_test::SetEnvironment("XDG_CONFIG_DIRS", (dir_ / "machine").string());
    platform::ClearStartupCheck();
  }
  void TearDown() override {
    clock_.SetSleepHook(nullptr);
    platform::ClearStartupCheck();
    ScriptedView::script = nullptr;
    LoaderWorld::TearDown();
  }

  // The handlers alone: a main window on a state whose unit has not answered.
  TTheForm& Window(const std::string& program = "") {
    form_.reset();
    MakeState(program.empty() ? (dir_ / "none").string() : program);
    view_object_ = std::make_unique<ScriptedView>(script_);
    form_ = std::make_unique<TTheForm>(*state_, *view_object_);
    return *form_;
  }
  forms::ControlState& Control(const char* name) { return form_->State()[name]; }

  // An S-Record file of `desc`.
  std::string ImageFile(const tools::ImageDescription& desc, const char* name = "new.a37") {
    const std::string path = (dir_ / name).string();
    EXPECT_FALSE(tools::WriteImageFile(desc, path, "file"));
    return path;
  }

  // Lock-step, each side bounded by a second of real time: the worker parks in each
  // pause until the next beat, and a beat waits until the worker has parked again,
  // so that the window sees the progress as a technician would. `also` runs first
  // on each beat.
  void LockStep(std::function<void(forms::FormLogic&, int)> also = {}) {
    const std::thread::id windowThread = std::this_thread::get_id();
    clock_.SetSleepHook([this, windowThread](std::uint32_t) {
      if (std::this_thread::get_id() == windowThread) return;
      std::unique_lock<std::mutex> hold(lock_);
      const int seen = parkedAt_ = beats_;
      changed_.notify_all();
      changed_.wait_for(hold, std::chrono::seconds(1), [&] { return beats_ != seen; });
    });
    script_.onBeat = [this, also](forms::FormLogic& main, int beat) {
      if (also) also(main, beat);
      const ProgramCard* worker = static_cast<TTheForm&>(main).PendingProgram();
      std::unique_lock<std::mutex> hold(lock_);
      ++beats_;
      changed_.notify_all();
      // The worker's end clears Running without a notice: look again every 2 ms.
      for (int i = 0; i < 500 && worker != nullptr && worker->Running && parkedAt_ != beats_; ++i)
        changed_.wait_for(hold, std::chrono::milliseconds(2));
    };
  }

  std::mutex lock_;
  std::condition_variable changed_;
  int beats_ = 0, parkedAt_ = -1;
  Script script_;
  std::unique_ptr<ScriptedView> view_object_;
  std::unique_ptr<TTheForm> form_;  // after the state it uses: goes first
};

// The three ways the window opens, each run to its end against a simulated unit.
// Here the worker takes one pause per beat of the window (bounded in real time), so
// that the window sees its progress as a technician would.
TEST_F(WindowRun, OutOfDateUnitIsProgrammedInTheCompactWindowWhichThenCloses) {
  sim::UsbUnit& unit = AddUnit(Description(3, 1, 2, 3, 1));
  const std::string program = PackedProgram(Description(4, 2, 0, 1, 2));
  LockStep();
  EXPECT_EQ(Run(program, {}), 0);
  EXPECT_EQ(unit.Status().firmware, "Full Release 2.0.1");
  EXPECT_EQ(script_.title, "QMX USB Firmware");
  EXPECT_EQ(script_.finalCaption, "QMX Programming Utility (" + serial_ + ")");
  EXPECT_EQ(script_.hiddenTabs, (std::vector<std::string>{"ProgramTab", "KernelTab"}));
  EXPECT_TRUE(script_.mainClosed);
  EXPECT_TRUE(script_.boxes.empty()) << script_.boxes.front().text;
  ASSERT_FALSE(script_.comments.empty());
  EXPECT_EQ(script_.comments.back(), "Unit Programmed");
  EXPECT_EQ(script_.heights.front(), 346 - 158) << "compact while programming";
  // Each block shown with the address being sent: the block after those done.
  int progressShown = 0;
  bool sawWaiting = false;
  for (const std::string& comment : script_.comments) {
    unsigned address = 0;
    int done = 0, total = 0;
    if (std::sscanf(comment.c_str(), "Address 0x%X: %d blocks out of %d programmed", &address,
                    &done, &total) == 3) {
      EXPECT_EQ(
          comment, "Address 0x" +
                       [&] {
                         char hex[16];
                         std::snprintf(hex, sizeof hex, "%X",
                                       0x8000u + 0x80u * static_cast<unsigned>(done));
                         return std::string(hex);
                       }() +
                       ": " + std::to_string(done) + " blocks out of 128 programmed");
      ++progressShown;
    }
    sawWaiting |= comment == "Waiting for Unit to restart";
  }
  const bool sawProgress = progressShown >= 100;
  EXPECT_TRUE(sawProgress) << testing::PrintToString(script_.comments);
  EXPECT_TRUE(sawWaiting);
  // The bar rises with the blocks acknowledged, to exactly their count and no further.
  EXPECT_EQ(script_.barMax, 128);
  EXPECT_TRUE(std::is_sorted(script_.barPositions.begin(), script_.barPositions.end()));
  EXPECT_EQ(script_.barPositions.back(), 128) << testing::PrintToString(script_.barPositions);
}

TEST_F(WindowRun, UpToDateFullReleaseCountsDownAndClosesOnTheEleventhTick) {
  AddUnit(Description(4, 2, 0, 1, 2));
  EXPECT_EQ(Run(PackedProgram(Description(4, 2, 0, 1, 2)), {}), 0);
  EXPECT_FALSE(state_->UpdateRequired);
  EXPECT_TRUE(script_.mainClosed);
  EXPECT_EQ(script_.exitTimerFired, 11);
  std::vector<std::string> shown;
  for (std::size_t beat = 9; beat < script_.comments.size(); beat += 10)
    shown.push_back(script_.comments[beat]);
  EXPECT_EQ(shown,
            (std::vector<std::string>{"Automatic exit in 10 seconds", "Automatic exit in 9 seconds",
                                      "Automatic exit in 8 seconds", "Automatic exit in 7 seconds",
                                      "Automatic exit in 6 seconds", "Automatic exit in 5 seconds",
                                      "Automatic exit in 4 seconds", "Automatic exit in 3 seconds",
                                      "Automatic exit in 2 seconds", "Automatic exit in 1 seconds",
                                      "Automatic exit in 0 seconds"}))
      << "the window opens with 10 and its first tick shows 10 again; the eleventh "
         "closes it (its text comes after the close)";
  EXPECT_EQ(script_.heights.front(), 188);
}

TEST_F(WindowRun, ConfigureStopsTheCountdownAndOpensTheFullWindow) {
  AddUnit(Description(4, 2, 0, 1, 2));
  script_.onBeat = [](forms::FormLogic& main, int beat) {
    if (beat == 35) main.Clicked("ConfigButton");
    if (beat == 200) main.Clicked("ExitButton");
  };
  EXPECT_EQ(Run(PackedProgram(Description(4, 2, 0, 1, 2)), {}), 0);
  EXPECT_EQ(script_.exitTimerFired, 3);
  EXPECT_EQ(script_.beats, 201) << "open until Exit";
  EXPECT_EQ(script_.comments[100], "");
  EXPECT_EQ(script_.heights[100], 346);
}

// Closed here by an ending session, which lets the unit and the shared block go at
// once: the process may not reach its exit path.
TEST_F(WindowRun, AlphaImageOnAMatchingUnitOpensTheFullWindowAndAnEndingSessionClosesIt) {
  AddUnit(Description(2, 2, 0, 1, 2));
  script_.onBeat = [this](forms::FormLogic& main, int beat) {
    EXPECT_FALSE(main.State()["ConfigButton"].visible);
    if (beat != 20) return;
    EXPECT_TRUE(main.QueryEndSession());
    const std::uint8_t* driverState = state_->Block.data() + block::kDriverState;
    EXPECT_EQ(platform::LoadSharedWord(driverState), 2u);
    main.EndSession();
    EXPECT_EQ(platform::LoadSharedWord(driverState), 0u);
    EXPECT_FALSE(state_->Link.IsOpen());
  };
  EXPECT_EQ(Run(PackedProgram(Description(2, 2, 0, 1, 2)), {}), 0);
  EXPECT_FALSE(state_->AutoExit);
  EXPECT_EQ(script_.heights.front(), 346);
  EXPECT_EQ(script_.exitTimerFired, 0);
  EXPECT_TRUE(script_.mainClosed);
}

TEST_F(WindowRun, ProgramFileWithoutAnImageOpensTheFullWindowWithNothingToRegister) {
  AddUnit(Description(3, 1, 0, 0, 1));
  const std::string program = (dir_ / "plain").string();
  std::ofstream(program, std::ios::binary) << "no image here";
  script_.onBeat = [](forms::FormLogic& main, int beat) {
    if (beat != 5) return;
    EXPECT_EQ(main.State()["Version"].caption, "None");
    EXPECT_EQ(main.State()["LoadedVersion"].caption, "1.0.0");
    EXPECT_FALSE(main.State()["StartSetButton"].visible);
    main.Clicked("ExitButton");
  };
  EXPECT_EQ(Run(program, {}), 0);
  EXPECT_EQ(script_.heights.front(), 346);
  EXPECT_EQ(script_.beats, 6);
}

// The unit's status after programming: 1 and 44 pass silently, the rest warn once
// (though the box's own loop fires the timers); the window closes either way.
TEST_F(WindowRun, StatusAfterProgramming) {
  script_.boxFiresTimers = true;
  const std::pair<std::uint32_t, const char*> rows[] = {
      {0, nullptr},
      {44, nullptr},
      {0x201,
       "Warning: The reprogramming has failed!!\r\nThe unit is returning a checksum "
       "failure status"},
      {0x2B, "Warning: The unit is returning\r\n  a self test error code of 2b"},
  };
  for (const auto& [status, warning] : rows) {
    SCOPED_TRACE(status);
    sim::UnitOptions options;
    options.selfTestError = status;
    units_.clear();
    sim_d2xx::units.clear();
    script_.boxes.clear();
    script_.mainClosed = false;
    AddUnit(Description(3, 1, 0, 0, 1), options);
    LockStep();
    EXPECT_EQ(Run(PackedProgram(Description(4, 1, 0, 1, 2)), {}), 0);
    EXPECT_TRUE(script_.mainClosed);
    if (warning == nullptr) {
      EXPECT_TRUE(script_.boxes.empty()) << script_.boxes.front().text;
    } else {
      EXPECT_EQ(script_.boxes, (std::vector<Box>{{warning, "Unit Error", 0}}));
    }
  }
}

// A unit that goes away mid-programming: the worker's bounded waits end the run, and
// the window says so instead of passing on the status from before the run.
TEST_F(WindowRun, UnitLostWhileProgrammingIsAUnitErrorNotSuccess) {
  sim::UsbUnit& unit = AddUnit(Description(3, 1, 0, 0, 1));
  LockStep([&](forms::FormLogic& main, int) {
    const ProgramCard* worker = static_cast<TTheForm&>(main).PendingProgram();
    if (worker != nullptr && worker->BlocksProgrammed == 3) unit.Unplug(0);
  });
  EXPECT_EQ(Run(PackedProgram(Description(4, 1, 0, 1, 2)), {}), 0);
  EXPECT_TRUE(script_.mainClosed);
  EXPECT_EQ(
      script_.boxes,
      (std::vector<Box>{{"Warning: The unit stopped answering\r\nProgramming did not complete",
                         "Unit Error", 0}}));
}

// From the first block on, until the run has ended: a close is refused with a box,
// an ending session quietly, and a session that ends all the same leaves the unit
// to the worker. Exit is not offered meanwhile.
TEST_F(WindowRun, ClosingIsRefusedWhileProgramming) {
  AddUnit(Description(3, 1, 0, 0, 1));
  std::set<std::string> refusedWhile;
  int closesAsked = 0;
  LockStep([&](forms::FormLogic& main, int) {
    const ProgramCard* worker = static_cast<TTheForm&>(main).PendingProgram();
    if (worker == nullptr || !worker->Running) return;
    const std::int32_t done = worker->BlocksProgrammed;
    EXPECT_FALSE(main.State()["ExitButton"].visible) << done;
    const std::size_t boxes = script_.boxes.size();
    EXPECT_FALSE(main.QueryEndSession()) << done;
    EXPECT_EQ(script_.boxes.size(), boxes) << "no box for an ending session";
    if (done == 1) main.EndSession();
    ++closesAsked;
    if (!main.CloseQuery())
      refusedWhile.insert(done == 0 ? "the first block is outstanding" : "blocks are acknowledged");
  });
  EXPECT_EQ(Run(PackedProgram(Description(4, 1, 0, 1, 2)), {}), 0);
  EXPECT_EQ(refusedWhile,
            (std::set<std::string>{"the first block is outstanding", "blocks are acknowledged"}));
  EXPECT_EQ(script_.boxes,
            std::vector<Box>(static_cast<std::size_t>(closesAsked),
                             {"Can't exit while programming in progress", "Close Error", 0}));
  EXPECT_EQ(units_.front()->Status().firmware, "Full Release 1.0.1") << "the run went on";
  EXPECT_TRUE(script_.mainClosed) << "closes once programming has ended";
}

// The countdown's end while a run goes on (reached from the keyboard in the compact
// window): its refusal is shown once, though the box's loop fires the timers, and
// the countdown stops there; the run's end closes the window.
TEST_F(WindowRun, CountdownEndingDuringARunIsRefusedOnce) {
  AddUnit(Description(4, 2, 0, 1, 2));
  script_.boxFiresTimers = true;
  LockStep([](forms::FormLogic& main, int beat) {
    if (beat == 50) static_cast<TTheForm&>(main).ProgramButtonClick();
  });
  EXPECT_EQ(Run(PackedProgram(Description(4, 2, 0, 1, 2)), {}), 0);
  EXPECT_EQ(script_.exitTimerFired, 11);
  EXPECT_EQ(script_.boxes,
            (std::vector<Box>{{"Can't exit while programming in progress", "Close Error", 0}}));
  EXPECT_EQ(script_.comments.back(), "Unit Programmed");
  EXPECT_TRUE(script_.mainClosed);
}

// Where a run starts is decided as it begins: the check box changed under a run
// counts from the next one, so that what is counted is what is sent.
TEST_F(WindowRun, ForceKernelUpdateCountsFromTheNextRun) {
  TTheForm& form = Window();
  Control("FileName").caption = ImageFile(Description(4, 2, 0, 1, 2));
  form.LoadButtonClick();
  ASSERT_TRUE(script_.boxes.empty()) << script_.boxes.front().text;
  state_->Unit.CardKernelVersion = 0x01000007;  // the unit keeps a kernel of its own
  for (const bool forced : {false, true}) {
    SCOPED_TRACE(forced);
    form.ProgramButtonClick();
    const ProgramCard* run = form.PendingProgram();
    ASSERT_NE(run, nullptr);
    Control("ForceKernelUpdateCheckBox").checked = !forced;
    form.ForceKernelUpdateCheckBoxClick();
    // No unit on the link: the first block is never acknowledged and the run ends
    // (the worker's waits are bounded).
    const_cast<ProgramCard*>(run)->WaitForProgress(0);
    EXPECT_EQ(run->CurrentAddress, forced ? 0 : 0x8000) << "the first block sent";
    form.ProgressTimerTimer();
    EXPECT_EQ(form.PendingProgram(), nullptr);
  }
}

TEST_F(WindowRun, WithoutAWindowToolkitTheRunEndsWithAnError) {
  AddUnit(Description(3, 1, 0, 0, 1));
  view_ = nullptr;
  EXPECT_EQ(Run(PackedProgram(Description(4, 1, 0, 1, 2)), {}), 1);
}

TEST_F(WindowRun, DiagnosticsWindowCollectsTheLatestTraceLineKeepingTwoHundred) {
  MakeState((dir_ / "none").string());
  TDiagForm diagnostics(*state_);
  diagnostics.TheTimerTimer();
  EXPECT_EQ(diagnostics.State()["Output"].caption, "") << "nothing traced, nothing added";
  state_->SetLastMessage("replaced before the tick\r\n");
  for (int i = 0; i < 250; ++i) {
    state_->SetLastMessage("line " + std::to_string(i) + "\r\n");
    diagnostics.TimerFired("TheTimer");
    EXPECT_EQ(state_->LastMessage(), "");
  }
  diagnostics.TheTimerTimer();
  const std::string& text = diagnostics.State()["Output"].caption;
  EXPECT_EQ(text.rfind("line 50\r\n", 0), 0u) << text.substr(0, 40);
  EXPECT_EQ(text.size() - text.find("line 249\r\n"), std::string("line 249\r\n").size());
  int lines = 0;
  for (char c : text) lines += c == '\n';
  EXPECT_EQ(lines, 200);
  // Texts without a line break join the last line.
  state_->SetLastMessage("more");
  diagnostics.TheTimerTimer();
  EXPECT_EQ(text.substr(text.size() - 14), "line 249\r\nmore");
  EXPECT_EQ(text.rfind("line 51\r\n", 0), 0u) << "a 201st line pushed one out";
}

// Loading an S-Record file: errors leave the stored path alone; a good file is
// remembered and shown.
TEST_F(WindowRun, LoadingAFile) {
  platform::WriteStoredFile("before");
  Window();
  Control("FileName").caption = (dir_ / "missing.a37").string();
  form_->LoadButtonClick();
  ASSERT_EQ(script_.boxes.size(), 1u);
  EXPECT_EQ(script_.boxes[0].title, "Load Error");
  EXPECT_EQ(script_.boxes[0].flags, 0x00200000u);
  EXPECT_EQ(script_.boxes[0].text.rfind("Could not open <", 0), 0u) << script_.boxes[0].text;
  std::string stored;
  EXPECT_EQ(platform::ReadStoredFile(&stored), platform::SettingStatus::kOk);
  EXPECT_EQ(stored, "before");

  const std::string good = ImageFile(Description(4, 2, 0, 1, 2));
  Control("FileName").caption = good;
  form_->LoadButtonClick();
  EXPECT_EQ(script_.boxes.size(), 1u) << script_.boxes.back().text;
  EXPECT_EQ(platform::ReadStoredFile(&stored), platform::SettingStatus::kOk);
  EXPECT_EQ(stored, good);
  EXPECT_EQ(Control("Version").caption, "2.0.1");
  EXPECT_EQ(Control("Status").caption, "Full Release");
  EXPECT_EQ(Control("Compiled").caption, "on  Dec  1 2026  at  10:20:30\n");
  EXPECT_EQ(Control("KernelVersion").caption, "1.0.0.7");

  // The next window starts with the stored path.
  Window();
  form_->FormCreate();
  EXPECT_EQ(Control("FileName").caption, good);
}

TEST_F(WindowRun, ProgrammingRefusesAnEmptyImageAndAsksAboutABadOne) {
  TTheForm& form = Window();
  std::fill_n(state_->Image.ImageBuffer.begin(), 4, 0xFF);
  state_->Image.ImageBuffer[0x9000] = 0x12;  // code further on does not count
  form.ProgramButtonClick();
  EXPECT_EQ(script_.boxes, (std::vector<Box>{{"No Code is loaded!", "Image Error", 0x00200000}}));
  EXPECT_EQ(form.PendingProgram(), nullptr);

  state_->Image.ImageBuffer[0] = 0;  // code, but no sound image
  script_.answers = {forms::BoxAnswer::kCancel};
  form.ProgramButtonClick();
  ASSERT_EQ(script_.boxes.size(), 2u);
  EXPECT_EQ(script_.boxes[1].title, "Image Error");
  EXPECT_EQ(script_.boxes[1].flags, 0x00200001u) << "OK/Cancel";
  EXPECT_EQ(form.PendingProgram(), nullptr) << "Cancel stops";

  form.ProgramButtonClick();  // OK programs anyway
  ASSERT_NE(form.PendingProgram(), nullptr);
  // While it runs, neither a second run nor a load touches the link or the image.
  const ProgramCard* running = form.PendingProgram();
  const std::vector<std::uint8_t> held = state_->Image.ImageBuffer;
  Control("FileName").caption = ImageFile(Description(4, 3, 0, 0, 9));
  form.LoadButtonClick();
  form.ProgramButtonClick();
  EXPECT_EQ(form.PendingProgram(), running);
  EXPECT_TRUE(state_->Image.ImageBuffer == held);
  EXPECT_EQ(script_.boxes.size(), 3u);
  EXPECT_EQ(Control("Comment").caption, "Programming");
  EXPECT_TRUE(Control("ProgressBar").visible);
  EXPECT_EQ(Control("ProgressBar").max, form.PendingProgram()->TotalBlocks.load());
}

// Before the unit has answered, and with half a compile time in the block.
TEST_F(WindowRun, VersionPanelsBeforeTheUnitAnswered) {
  Window();
  char date[] = "Jan  5 2026", time[] = "";
  state_->CompileDate = date;
  state_->CompileTime = time;
  form_->RefreshVersionPanels();
  EXPECT_EQ(Control("LoadedStatus").caption, "Unknown");
  EXPECT_EQ(Control("LoadedVersion").caption, "255.255.255");
  EXPECT_EQ(Control("LoadedKernelVersion").caption, "No Kernel");
  EXPECT_EQ(Control("LoadedCompiled").caption, "Not available");
  EXPECT_EQ(Control("Version").caption, "None");
  EXPECT_EQ(Control("Compiled").caption, "No File Loaded");
  EXPECT_EQ(Control("KernelVersion").caption, "No Kernel");
  state_->Unit.CardKernelVersion = 0x01020304;
  state_->Unit.CardFirmwareVersion = 0x03010203;
  form_->RefreshVersionPanels();
  EXPECT_EQ(Control("LoadedKernelVersion").caption, "1.2.3.4");
  EXPECT_EQ(Control("LoadedVersion").caption, "1.2.3");
  EXPECT_EQ(Control("LoadedStatus").caption, "Beta Test");
}

// The log-on check: set with the window's own file, shown, cleared.
TEST_F(WindowRun, StartupCheckSetShownAndCleared) {
  const std::string program = PackedProgram(Description(4, 2, 0, 1, 2), "packed.exe");
  Window(program);
  EXPECT_EQ(LoadAppendedImage(program.c_str(), state_->Image).status, AppendedImageStatus::Loaded);
  form_->RefreshStartupCheck();
  EXPECT_EQ(Control("StartCheckVersion").caption, "None");
  EXPECT_FALSE(Control("StartClearButton").visible);
  EXPECT_TRUE(Control("StartSetButton").visible) << "the program carries an image";

  form_->StartSetButtonClick();
  EXPECT_TRUE(script_.boxes.empty());
  std::string commandLine;
  EXPECT_EQ(platform::ReadStartupCheck(&commandLine), platform::SettingStatus::kOk);
  EXPECT_EQ(commandLine, program + "  StartupCheck");
  EXPECT_EQ(Control("StartCheckVersion").caption, "Full Release - version 2.0.1");
  EXPECT_EQ(Control("StartCheckVersion").fontHeight, -13);
  EXPECT_TRUE(Control("StartClearButton").visible);
  EXPECT_FALSE(Control("StartSetButton").visible) << "the same image is registered";

  form_->StartClearButtonClick();
  EXPECT_EQ(platform::ReadStartupCheck(&commandLine), platform::SettingStatus::kMissing);
  EXPECT_EQ(Control("StartCheckVersion").caption, "None");
  EXPECT_FALSE(Control("StartClearButton").visible);
}

TEST_F(WindowRun, StartupCheckNamingAFileThatCannotServe) {
  const std::string plain = (dir_ / "plain.exe").string();
  std::ofstream(plain, std::ios::binary) << "no image at the end of this file";
  const std::string rows[][2] = {
      {plain + "  StartupCheck", "Invalid file - <" + plain + ">"},
      {(dir_ / "gone.exe").string() + "  StartupCheck",
       "Cannot open <" + (dir_ / "gone.exe").string() + ">"},
  };
  Window((dir_ / "program-without-image").string());
  for (const auto& [commandLine, shown] : rows) {
    ASSERT_TRUE(platform::WriteStartupCheck(commandLine));
    form_->RefreshStartupCheck();
    EXPECT_EQ(Control("StartCheckVersion").caption, shown);
    EXPECT_EQ(Control("StartCheckVersion").fontHeight, -11);
    EXPECT_TRUE(Control("StartClearButton").visible);
    EXPECT_FALSE(Control("StartSetButton").visible) << "no image of its own to register";
  }
}

TEST(RegisteredProgramPath, CutAtTheLastDotOrTheArgument) {
  const char* rows[][3] = {
      {"C:\\Tools\\Flash.exe  StartupCheck", ".exe", "C:\\Tools\\Flash.exe"},
      {"C:\\v1.2\\Flash  StartupCheck", ".exe", "C:\\v1.exe"},
      {"C:\\Tools\\Flash  Startup.Check", ".exe", "C:\\Tools\\Flash  Startup.exe"},
      {"NoDotAtAll", ".exe", "NoDotAtAll"},
      {".hidden", ".exe", ".hidden"},
      {"/opt/tarvex/flashwright  StartupCheck", "", "/opt/tarvex/flashwright"},
      {"/opt/tarvex/flashwright", "", "/opt/tarvex/flashwright"},
  };
  for (const auto& [commandLine, suffix, path] : rows)
    EXPECT_EQ(RegisteredProgramPath(commandLine, suffix), path) << commandLine;
}

TEST_F(WindowRun, BrowsePresetsTheDialogAndTakesTheChoice) {
  Window();
  Control("FileName").caption = "old.a37";
  script_.chosen = "/somewhere/new.a37";
  form_->BrowseButtonClick();
  EXPECT_EQ(script_.presetName, "old.a37");
  EXPECT_EQ(script_.filter, "Firmware Image File (*.a37)|*.a37");
  EXPECT_EQ(Control("FileName").caption, "/somewhere/new.a37");
  script_.chosen.clear();
  form_->BrowseButtonClick();
  EXPECT_EQ(Control("FileName").caption, "/somewhere/new.a37") << "cancelled: unchanged";
}

}  // namespace
}  // namespace loader

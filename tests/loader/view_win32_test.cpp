// The Win32 view: its PNG writer read back by a decoder of the test's own, the
// windows rendered on the real controls in each way they open (pictures kept for
// review), and the message loop with its timers.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "loader/Diag.h"
#include "loader/Main.h"
#include "loader/forms/png_writer.h"
#include "loader/forms/view.h"
#include "loader/startup.h"
#include "platform/clock.h"
#include "tests/loader/image_test_support.h"

namespace loader::forms {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------- a PNG reader

struct Picture {
  std::uint32_t width = 0, height = 0;
  Bytes rgb;
  // The pixel at x, y as 0xRRGGBB.
  std::uint32_t At(std::uint32_t x, std::uint32_t y) const {
    const std::size_t i = (std::size_t{y} * width + x) * 3;
    return (std::uint32_t{rgb[i]} << 16) | (std::uint32_t{rgb[i + 1]} << 8) | rgb[i + 2];
  }
  // Whether every pixel of the rectangle has that colour.
  bool All(std::uint32_t colour, std::uint32_t left, std::uint32_t top, std::uint32_t w,
           std::uint32_t h) const {
    for (std::uint32_t y = top; y < top + h; ++y)
      for (std::uint32_t x = left; x < left + w; ++x)
        if (At(x, y) != colour) return false;
    return true;
  }
  bool Uniform(std::uint32_t left, std::uint32_t top, std::uint32_t w, std::uint32_t h) const {
    return All(At(left, top), left, top, w, h);
  }
};

std::uint32_t Big32(const Bytes& b, std::size_t at) {
  return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
         (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}

// Bit by bit, as the format describes it, so it shares nothing with the writer's table.
std::uint32_t Crc(const Bytes& b, std::size_t from, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = from; i < from + size; ++i) {
    crc ^= b[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

// Reads an 8-bit RGB PNG whose zlib stream holds stored blocks only; the first fault
// found goes to `why`.
bool ReadPng(const std::string& path, Picture* picture, std::string* why) {
  std::ifstream in(path, std::ios::binary);
  const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const Bytes signature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (file.size() < 8 || !std::equal(signature.begin(), signature.end(), file.begin()))
    return *why = "no PNG signature", false;
  Bytes zlib;
  bool header = false, end = false;
  for (std::size_t at = 8; !end;) {
    if (at + 12 > file.size()) return *why = "chunk beyond the end", false;
    const std::uint32_t size = Big32(file, at);
    if (at + 12 + size > file.size()) return *why = "chunk beyond the end", false;
    const std::string type(file.begin() + static_cast<std::ptrdiff_t>(at + 4),
                           file.begin() + static_cast<std::ptrdiff_t>(at + 8));
    if (Crc(file, at + 4, size + 4) != Big32(file, at + 8 + size))
      return *why = "bad CRC of " + type, false;
    const std::size_t data = at + 8;
    if (type == "IHDR") {
      picture->width = Big32(file, data);
      picture->height = Big32(file, data + 4);
      if (size != 13 || file[data + 8] != 8 || file[data + 9] != 2 || file[data + 12] != 0)
        return *why = "not 8-bit RGB without interlace", false;
      header = true;
    } else if (type == "IDAT") {
      zlib.insert(zlib.end(), file.begin() + static_cast<std::ptrdiff_t>(data),
                  file.begin() + static_cast<std::ptrdiff_t>(data + size));
    } else if (type == "IEND") {
      end = true;
    }
    at = data + size + 4;
  }
  if (!header) return *why = "no IHDR", false;
  if (zlib.size() < 6 || (zlib[0] & 0x0F) != 8 || (zlib[0] * 256 + zlib[1]) % 31 != 0)
    return *why = "bad zlib header", false;
  Bytes raw;
  std::size_t at = 2;
  for (bool last = false; !last;) {
    if (at + 5 > zlib.size()) return *why = "deflate block beyond the end", false;
    last = (zlib[at] & 1) != 0;
    if ((zlib[at] & 6) != 0) return *why = "not a stored block", false;
    const std::size_t length = zlib[at + 1] | (zlib[at + 2] << 8);
    if ((length ^ (zlib[at + 3] | (zlib[at + 4] << 8))) != 0xFFFF)
      return *why = "stored length and its complement disagree", false;
    if (at + 5 + length > zlib.size()) return *why = "stored block beyond the end", false;
    raw.insert(raw.end(), zlib.begin() + static_cast<std::ptrdiff_t>(at + 5),
               zlib.begin() + static_cast<std::ptrdiff_t>(at + 5 + length));
    at += 5 + length;
  }
  std::uint32_t a = 1, b = 0;
  for (std::uint8_t byte : raw) a = (a + byte) % 65521, b = (b + a) % 65521;
  if (at + 4 != zlib.size() || Big32(zlib, at) != ((b << 16) | a))
    return *why = "bad Adler-32", false;
  const std::size_t row = std::size_t{picture->width} * 3;
  if (raw.size() != (row + 1) * picture->height) return *why = "wrong amount of pixel data", false;
  picture->rgb.clear();
  for (std::uint32_t y = 0; y < picture->height; ++y) {
    if (raw[y * (row + 1)] != 0) return *why = "a row filter other than none", false;
    const auto from = raw.begin() + static_cast<std::ptrdiff_t>(y * (row + 1) + 1);
    picture->rgb.insert(picture->rgb.end(), from, from + static_cast<std::ptrdiff_t>(row));
  }
  return true;
}

// ---------------------------------------------------------------- the PNG writer

class PngWriter : public testing::Test {
 protected:
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  const fs::path dir_ =
      fs::temp_directory_path() / ("png-" + std::to_string(std::random_device{}()));
};

TEST_F(PngWriter, PicturesReadBackPixelForPixel) {
  fs::create_directories(dir_);
  struct Size {
    std::uint32_t width, height;
  };
  // One pixel; odd sizes; a row longer than one stored block (65535 bytes); many
  // rows spanning several blocks.
  for (const Size size : {Size{1, 1}, Size{3, 2}, Size{7, 5}, Size{21846, 2}, Size{403, 346}}) {
    SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
    Bytes rgb(std::size_t{size.width} * size.height * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i)
      rgb[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    const std::string path = (dir_ / "picture.png").string();
    ASSERT_TRUE(WritePng(path, size.width, size.height, rgb));
    Picture picture;
    std::string why;
    ASSERT_TRUE(ReadPng(path, &picture, &why)) << why;
    EXPECT_EQ(picture.width, size.width);
    EXPECT_EQ(picture.height, size.height);
    EXPECT_EQ(picture.rgb, rgb);
  }
}

TEST_F(PngWriter, RefusesWhatItCannotWrite) {
  const Bytes rgb(2 * 2 * 3, 0x80);
  EXPECT_FALSE(WritePng((dir_ / "no such folder" / "a.png").string(), 2, 2, rgb));
  fs::create_directories(dir_);
  EXPECT_FALSE(WritePng((dir_ / "short.png").string(), 3, 2, rgb)) << "buffer too small";
  EXPECT_FALSE(WritePng((dir_ / "empty.png").string(), 0, 0, {})) << "no pixels";
  EXPECT_FALSE(fs::exists(dir_ / "short.png"));
}

// ---------------------------------------------------------------- the windows rendered

// A loader state on a virtual clock with an image loaded and no unit on the link, so
// that a programming run started by the window ends at once.
class Render : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    view_ = CreateToolkitView(&error);
    ASSERT_NE(view_, nullptr) << error;
    image_test::BuildImage(state_.Image);
    state_.Image.ApplicationBlock = kApplicationBlockAddress;
    state_.Image.KernelBlock = kKernelBlockAddress;
  }

  // Saves the form's picture as pictures/win32-<name>.png and reads it back.
  Picture Save(FormLogic& form, const std::string& name) {
    const std::string path = std::string(TARVEX_PICTURES_DIR) + "/win32-" + name + ".png";
    std::string error;
    Picture picture;
    EXPECT_TRUE(view_->SavePicture(form, path, &error)) << error;
    EXPECT_TRUE(ReadPng(path, &picture, &error)) << path << ": " << error;
    if (picture.rgb.empty()) return picture;
    EXPECT_FALSE(picture.Uniform(0, 0, picture.width, picture.height)) << path << " shows nothing";
    return picture;
  }

  platform::VirtualClock clock_;
  LoaderState state_{{.Clock = &clock_}};
  std::unique_ptr<View> view_;
};

struct Opening {
  const char* name;
  bool updateRequired, autoExit;
  std::uint32_t height;
  bool progressShown, commentShown;
};

// Where the window shows the progress bar and the comment line (client pixels).
constexpr std::uint32_t kBarLeft = 8, kBarTop = 174, kBarWidth = 304, kBarHeight = 12;
constexpr std::uint32_t kCommentLeft = 8, kCommentTop = 158, kCommentWidth = 300,
                        kCommentHeight = 13;
// Inside the file name edit on the program page (the page area starts at 12, 212).
const std::uint32_t kEditLeft =
    12 + static_cast<std::uint32_t>(loader::forms::kTheForm.Find("FileName")->left) + 4;
const std::uint32_t kEditTop =
    212 + static_cast<std::uint32_t>(loader::forms::kTheForm.Find("FileName")->top) + 5;

TEST_F(Render, MainWindowInEachWayItOpens) {
  const Opening openings[] = {
      {"update", true, false, 188, true, true},      // compact, programming started
      {"countdown", false, true, 188, false, true},  // compact, the countdown
      {"full", false, false, 346, false, false},     // the three tabs
  };
  for (const Opening& opening : openings) {
    SCOPED_TRACE(opening.name);
    state_.UpdateRequired = opening.updateRequired;
    state_.AutoExit = opening.autoExit;
    Picture picture;
    {
      TTheForm form(state_, *view_);
      picture = Save(form, opening.name);
      EXPECT_EQ(opening.updateRequired, form.PendingProgram() != nullptr);
    }  // the worker, when started, has ended: no unit answers
    ASSERT_FALSE(picture.rgb.empty());
    EXPECT_EQ(picture.width, 403u);
    EXPECT_EQ(picture.height, opening.height);
    EXPECT_EQ(!picture.Uniform(kBarLeft, kBarTop, kBarWidth, kBarHeight), opening.progressShown)
        << "the progress bar";
    EXPECT_EQ(!picture.Uniform(kCommentLeft, kCommentTop, kCommentWidth, kCommentHeight),
              opening.commentShown)
        << "the comment line";
  }
}

TEST_F(Render, DiagnosticsWindowWithItsTrace) {
  TDiagForm form(state_);
  for (const char* line : {"Looking for the unit\n", "Unit found\n", "Programming\n"}) {
    state_.SetLastMessage(line);
    form.TheTimerTimer();
  }
  const Picture picture = Save(form, "diagnostics");
  EXPECT_EQ(picture.width, 559u);
  EXPECT_EQ(picture.height, 364u);
}

// A form of our own over the main window's description, to show states the program's
// own openings do not reach.
class ScriptedForm : public FormLogic {
 public:
  explicit ScriptedForm(const Form& form) : state_(form) {}
  FormState& State() override { return state_; }

 private:
  FormState state_;
};

TEST_F(Render, ProgressPositionAndTabsFollowTheState) {
  ScriptedForm form(kTheForm);
  FormState& state = form.State();
  state["ProgressBar"].visible = true;
  state["ProgressBar"].max = 200;
  state["ProgressBar"].position = 100;
  state["PageControl"].activePage = "KernelTab";
  const Picture half = Save(form, "scripted-half");
  ASSERT_FALSE(half.rgb.empty());
  // Inside its border the bar is drawn up to the middle and empty beyond.
  const std::uint32_t innerTop = kBarTop + 3, innerHeight = kBarHeight - 6;
  const std::uint32_t lastQuarter = kBarLeft + kBarWidth * 3 / 4, quarter = kBarWidth / 4 - 3;
  const std::uint32_t empty = half.At(lastQuarter, innerTop);
  EXPECT_TRUE(half.All(empty, lastQuarter, innerTop, quarter, innerHeight));
  EXPECT_FALSE(half.All(empty, kBarLeft + 3, innerTop, quarter, innerHeight));

  state["ProgressBar"].position = 200;
  state["KernelTab"].tabVisible = false;  // the page shown goes with its tab
  const Picture full = Save(form, "scripted-full");
  ASSERT_FALSE(full.rgb.empty());
  EXPECT_FALSE(full.All(empty, lastQuarter, innerTop, quarter, innerHeight));
  EXPECT_EQ(state["PageControl"].activePage, "StartTab");
  // The strip lists the third tab no more (beyond the second tab's title).
  const std::uint32_t stripLeft = 240, stripTop = 193, stripWidth = 140, stripHeight = 16;
  EXPECT_FALSE(half.Uniform(stripLeft, stripTop, stripWidth, stripHeight));
  EXPECT_TRUE(full.Uniform(stripLeft, stripTop, stripWidth, stripHeight));

  // An edit's text shows, on the page picked.
  state["PageControl"].activePage = "ProgramTab";
  for (std::string text : {"", "C:\\images\\unit.a37"}) {
    state["FileName"].caption = text;
    const Picture program = Save(form, "scripted-program");
    ASSERT_FALSE(program.rgb.empty());
    EXPECT_EQ(!program.Uniform(kEditLeft, kEditTop, 150, 9), !text.empty()) << text;
  }
}

// ---------------------------------------------------------------- the message loop

// Counts its timers; the main one closes its window once the hidden diagnostics
// window's timer has fired three times and its own second timer, switched on from a
// handler, has fired too.
class TimedForm : public FormLogic {
 public:
  TimedForm(const Form& form, UiService& ui, std::vector<std::string>& log)
      : state_(form), ui_(ui), log_(log) {}
  FormState& State() override { return state_; }
  void Created() override { log_.push_back(std::string(state_.description().name) + " created"); }
  void TimerFired(std::string_view timer) override {
    if (timer == "ExitTimer") {
      ++exitTicks;
    } else if (peer != nullptr) {  // the main window's progress timer
      state_["ExitTimer"].enabled = true;
      state_["ExitTimer"].interval = 100;
      if (peer->ticks >= 3 && exitTicks > 0 && !closing) {
        closing = true;
        ui_.CloseWindow(*this);
      }
    } else {
      ++ticks;
    }
  }

  TimedForm* peer = nullptr;
  int ticks = 0, exitTicks = 0;
  bool closing = false;

 private:
  FormState state_;
  UiService& ui_;
  std::vector<std::string>& log_;
};

TEST_F(Render, RunCreatesBothWindowsRunsTheirTimersAndEndsWithTheMainWindow) {
  std::vector<std::string> log;
  TimedForm main(kTheForm, *view_, log);
  TimedForm diagnostics(kDiagForm, *view_, log);
  main.peer = &diagnostics;
  view_->Run("Test", main, diagnostics);
  EXPECT_EQ(log, (std::vector<std::string>{"TheForm created", "DiagForm created"}));
  EXPECT_TRUE(main.closing);
  EXPECT_GE(diagnostics.ticks, 3) << "the hidden window's timer runs";
  EXPECT_GT(main.exitTicks, 0) << "a timer switched on by a handler runs";
  // The view is free again: a picture can be taken after the loop.
  const Picture picture = Save(main, "after-run");
  EXPECT_EQ(picture.width, 403u);
}

// Log-off and shut-down send no WM_CLOSE: the form is asked and told through the
// session's own messages, on its window. Its answer is the window's; the end
// reaches it only when the session really ends.
BOOL CALLBACK FindMainWindow(HWND hwnd, LPARAM found) {
  char name[32] = {};
  GetClassNameA(hwnd, name, sizeof name);
  if (std::string(name) == "TTheForm") *reinterpret_cast<HWND*>(found) = hwnd;
  return TRUE;
}

class SessionForm : public FormLogic {
 public:
  SessionForm(const Form& form, UiService& ui) : state_(form), ui_(ui) {}
  FormState& State() override { return state_; }
  bool QueryEndSession() override { return allowEnd; }
  void EndSession() override { seen.push_back("ended"); }
  void TimerFired(std::string_view) override {
    if (!seen.empty()) return;
    HWND window = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), &FindMainWindow, reinterpret_cast<LPARAM>(&window));
    for (const bool allow : {false, true}) {
      allowEnd = allow;
      const LRESULT answer = SendMessageA(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
      seen.push_back("may end: " + std::to_string(answer));
    }
    SendMessageA(window, WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF);  // another program said no
    SendMessageA(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    ui_.CloseWindow(*this);
  }

  bool allowEnd = true;
  std::vector<std::string> seen;

 private:
  FormState state_;
  UiService& ui_;
};

TEST_F(Render, AnEndingSessionAsksTheFormAndTellsItWhenItEnds) {
  std::vector<std::string> log;
  SessionForm main(kTheForm, *view_);
  TimedForm diagnostics(kDiagForm, *view_, log);
  view_->Run("Test", main, diagnostics);
  EXPECT_EQ(main.seen, (std::vector<std::string>{"may end: 0", "may end: 1", "ended"}));
}

}  // namespace
}  // namespace loader::forms

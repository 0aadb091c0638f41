// The Qt view, offscreen: a display is required, events reach the forms' logic and
// what the logic changes is shown; each window's picture is saved for review.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "loader/Diag.h"
#include "loader/Main.h"
#include "loader/forms/view.h"
#include "loader/startup.h"
#include "platform/clock.h"
#include "tests/loader/image_test_support.h"

// Under LeakSanitizer: fontconfig loses a few bytes of its own while Qt reads the
// machine's font configuration; nothing of ours.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

namespace loader::forms {
namespace {

// Sets or removes environment variables for one test, and puts them back.
class ScopedEnvironment {
 public:
  ~ScopedEnvironment() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->wasSet) {
        qputenv(it->name.c_str(), it->value);
      } else {
        qunsetenv(it->name.c_str());
      }
    }
  }
  void Set(const std::string& name, const QByteArray& value) {
    Save(name);
    qputenv(name.c_str(), value);
  }
  void Remove(const std::string& name) {
    Save(name);
    qunsetenv(name.c_str());
  }

 private:
  struct Saved {
    std::string name;
    bool wasSet;
    QByteArray value;
  };
  void Save(const std::string& name) {
    saved_.push_back({name, qEnvironmentVariableIsSet(name.c_str()), qgetenv(name.c_str())});
  }
  std::vector<Saved> saved_;
};

TEST(QtViewFactory, WithoutADisplayThereIsNoViewAndTheConsoleModeIsNamed) {
  ScopedEnvironment environment;
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
    environment.Remove(name);
  environment.Set("DISPLAY", "");  // set but empty is no display either
  std::string error;
  EXPECT_EQ(CreateToolkitView(&error), nullptr);
  EXPECT_NE(error.find("/n"), std::string::npos) << error;
}

// A form whose handlers the test writes; it records every call.
class ScriptedForm : public FormLogic {
 public:
  explicit ScriptedForm(const Form& form) : state_(form) {}
  FormState& State() override { return state_; }
  void Created() override { Handle("Created", onCreated); }
  void Clicked(std::string_view control) override {
    Handle("Clicked " + std::string(control), onClicked, control);
  }
  void TimerFired(std::string_view timer) override {
    if (timer == "ProgressTimer" && ticks++ > 0) return;  // ten a second: the first is enough
    Handle("TimerFired " + std::string(timer), onTimer, timer);
  }
  bool CloseQuery() override {
    calls.push_back("CloseQuery");
    return allowClose;
  }

  std::vector<std::string> calls;
  std::function<void()> onCreated;
  std::function<void(std::string_view)> onClicked, onTimer;
  bool allowClose = false;
  int ticks = 0;

 private:
  template <typename... Args>
  void Handle(std::string call, const std::function<void(Args...)>& handler, Args... args) {
    calls.push_back(std::move(call));
    if (handler) handler(args...);
  }
  FormState state_;
};

QWidget* TopLevel(const char* formName) {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->objectName() == formName) return widget;
  }
  return nullptr;
}

template <typename Widget>
Widget* Control(const char* formName, const char* name) {
  QWidget* top = TopLevel(formName);
  return top == nullptr ? nullptr : top->findChild<Widget*>(name);
}

// Closes the next message box once it shows, keeping its title and text.
struct BoxCatcher {
  QString title, text;
  bool seen = false;
  void Arm() {
    QTimer::singleShot(0, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      seen = true;
      title = box->windowTitle();
      text = box->text();
      box->accept();
    });
  }
};

std::unique_ptr<View> MakeView() {
  std::string error;
  std::unique_ptr<View> view = CreateToolkitView(&error);
  EXPECT_NE(view, nullptr) << error;
  return view;
}

// One run of the window loop: the user clicks, ticks, types, changes page, a handler
// fails, and the window is closed once its logic allows.
TEST(QtViewRun, EventsReachTheLogicAndWhatItChangesIsShown) {
  std::unique_ptr<View> view = MakeView();
  ASSERT_NE(view, nullptr);
  ScriptedForm main(kTheForm), diag(kDiagForm);
  BoxCatcher box;

  main.onCreated = [&] { main.State()["Comment"].caption = "Created"; };
  main.onClicked = [&](std::string_view control) {
    FormState& state = main.State();
    if (control == "ConfigButton") {
      // The compact window: shorter, two pages gone, the bar showing; and a trace line
      // in the other window.
      state.clientHeight = 188;
      state["ProgramTab"].tabVisible = state["KernelTab"].tabVisible = false;
      state["ProgressBar"].visible = true;
      state["ProgressBar"].position = 40;
      state["ExitButton"].enabled = false;
      diag.State()["Output"].caption += "first line\r\n";
    } else if (control == "LoadButton") {
      diag.State()["Output"].caption += "loading " + state["FileName"].caption + "\r\n";
    } else if (control == "BrowseButton") {
      throw std::runtime_error("no such file");
    } else if (control == "StartSetButton") {
      throw 7;
    }
  };
  main.onTimer = [&](std::string_view) {
    // Everything below runs on the loop's thread, between events, like a user.
    QWidget* top = TopLevel("TheForm");
    ASSERT_NE(top, nullptr);
    EXPECT_TRUE(top->isVisible());
    EXPECT_EQ(top->size(), QSize(403, 346));
    // Titles exactly as given: the platforms append a display name, when one is set,
    // to every window's and box's title.
    EXPECT_EQ(top->windowTitle(), "QMX Programming Utility");
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), QCoreApplication::applicationName());
    box.Arm();
    view->ShowBox("Warning", "Unit Error", kBoxOk);
    EXPECT_TRUE(box.seen);
    EXPECT_EQ(box.title, "Unit Error");
    box = {};
    EXPECT_EQ(Control<QLabel>("TheForm", "Comment")->text(), "Created");
    EXPECT_FALSE(TopLevel("DiagForm")->isVisible());
    EXPECT_EQ(QApplication::style()->styleHint(QStyle::SH_ToolTip_WakeUpDelay), 0)
        << "hints show at once";

    Control<QPushButton>("TheForm", "ConfigButton")->click();
    auto* tabs = Control<QTabWidget>("TheForm", "PageControl");
    EXPECT_EQ(top->size(), QSize(403, 188));
    EXPECT_TRUE(tabs->isTabVisible(0));
    EXPECT_FALSE(tabs->isTabVisible(1));
    EXPECT_FALSE(tabs->isTabVisible(2));
    EXPECT_EQ(Control<QProgressBar>("TheForm", "ProgressBar")->value(), 40);
    EXPECT_FALSE(Control<QPushButton>("TheForm", "ExitButton")->isEnabled());
    EXPECT_EQ(Control<QPlainTextEdit>("DiagForm", "Output")->toPlainText(), "first line\n");

    // Typing reaches the state, and the next sync leaves the typed text alone.
    auto* edit = Control<QLineEdit>("TheForm", "FileName");
    for (const char* key : {"a", "b"}) {
      QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, key);
      QApplication::sendEvent(edit, &press);
    }
    Control<QPushButton>("TheForm", "LoadButton")->click();
    EXPECT_EQ(main.State()["FileName"].caption, "ab");
    EXPECT_EQ(edit->text(), "ab");
    EXPECT_EQ(Control<QPlainTextEdit>("DiagForm", "Output")->toPlainText(),
              "first line\nloading ab\n");

    auto* force = Control<QCheckBox>("TheForm", "ForceKernelUpdateCheckBox");
    force->click();
    EXPECT_TRUE(main.State()["ForceKernelUpdateCheckBox"].checked);
    tabs->setCurrentIndex(0);
    EXPECT_EQ(main.State()["PageControl"].activePage, "StartTab");

    // A failing handler shows what it threw, and the loop goes on.
    box.Arm();
    Control<QPushButton>("TheForm", "BrowseButton")->click();
    EXPECT_TRUE(box.seen);
    EXPECT_EQ(box.title, "Test Title");
    EXPECT_EQ(box.text, "no such file");
    box = {};
    box.Arm();
    Control<QPushButton>("TheForm", "StartSetButton")->click();
    EXPECT_TRUE(box.seen);
    EXPECT_EQ(box.text, "");

    // Refused, the window stays; allowed, it goes and the loop ends.
    top->close();
    EXPECT_TRUE(top->isVisible());
    main.allowClose = true;
    top->close();
  };
  // Should the script stop short, the loop still ends, and the test fails below.
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
  guard.start(60'000);

  view->Run("Test Title", main, diag);

  EXPECT_EQ(main.calls,
            (std::vector<std::string>{"Created", "TimerFired ProgressTimer", "Clicked ConfigButton",
                                      "Clicked LoadButton", "Clicked ForceKernelUpdateCheckBox",
                                      "Clicked BrowseButton", "Clicked StartSetButton",
                                      "CloseQuery", "CloseQuery"}));
  EXPECT_EQ(diag.calls.front(), "Created");
  EXPECT_FALSE(main.State().visible);
}

// True when every pixel of `area` has one colour.
bool Uniform(const QImage& picture, const QRect& area) {
  const QRgb first = picture.pixel(area.topLeft());
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      if (picture.pixel(x, y) != first) return false;
    }
  }
  return true;
}

// The windows as Flashwright opens them, drawn offscreen and saved for review. The
// stored settings they read come from a folder of the test's own.
class QtViewPictures : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("view-qt-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir_ / "home");
    std::filesystem::create_directories(dir_ / "machine");
    environment_.Set("XDG_CONFIG_HOME", QByteArray::fromStdString((dir_ / "home").string()));
    environment_.Set("XDG_CONFIG_DIRS", QByteArray::fromStdString((dir_ / "machine").string()));
    notes_ = std::tmpfile();
    ASSERT_NE(notes_, nullptr);
  }
  void TearDown() override {
    std::fclose(notes_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // A loader that holds a sound image and has heard from an older unit. Its link
  // stays closed: a programming run it starts ends at once, on a virtual clock.
  std::unique_ptr<LoaderState> Loader(bool updateRequired, bool autoExit) {
    auto state = std::make_unique<LoaderState>(LoaderServices{
        .Clock = &clock_,
        .StandardOutput = notes_,
        .OwnProgramPath = (dir_ / "flashwright").string(),
        .ShowMessageBox = [](const char*, const char*) {},
    });
    image_test::BuildImage(state->Image);
    state->Image.ApplicationBlock = kApplicationBlockAddress;
    state->Image.KernelBlock = kKernelBlockAddress;
    state->Image.TrailerMagic = kBlockMagic;
    state->Unit.CardFirmwareVersion = 0x03020300;
    state->Unit.CardKernelVersion = 0x01000409;
    state->CompileDate = "Nov  2 2026";
    state->CompileTime = "08:15:00";
    state->UpdateRequired = updateRequired;
    state->AutoExit = autoExit;
    return state;
  }

  static QImage Saved(const std::string& path, QSize size) {
    QImage picture(QString::fromStdString(path));
    EXPECT_FALSE(picture.isNull()) << path << " does not load";
    if (picture.isNull()) return picture;
    EXPECT_EQ(picture.size(), size);
    EXPECT_FALSE(Uniform(picture, picture.rect())) << "nothing drawn in " << path;
    return picture;
  }

  std::filesystem::path dir_;
  ScopedEnvironment environment_;
  platform::VirtualClock clock_;
  std::FILE* notes_ = nullptr;
};

TEST_F(QtViewPictures, MainWindowInEachOpeningMode) {
  std::unique_ptr<View> view = MakeView();
  ASSERT_NE(view, nullptr);
  const QRect progressBar(8, 174, 304, 12);
  const struct {
    const char* file;
    bool updateRequired, autoExit;
    QSize size;
    const char* comment;
    bool barShown;
  } cases[] = {
      {"qt-update.png", true, false, {403, 188}, "Programming", true},
      {"qt-countdown.png", false, true, {403, 188}, "Automatic exit in 10 seconds", false},
      {"qt-full.png", false, false, {403, 346}, "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = std::string(TARVEX_PICTURES_DIR) + "/" + c.file;
    std::filesystem::remove(path);
    std::unique_ptr<LoaderState> state = Loader(c.updateRequired, c.autoExit);
    {
      TTheForm form(*state, *view);  // goes before the state it uses
      std::string error;
      ASSERT_TRUE(view->SavePicture(form, path, &error)) << error;
      EXPECT_EQ(form.State()["Comment"].caption, c.comment);
      for (const char* tab : {"ProgramTab", "KernelTab"})
        EXPECT_EQ(form.State()[tab].tabVisible, !c.updateRequired) << tab;
    }
    const QImage picture = Saved(path, c.size);
    if (picture.isNull()) continue;
    EXPECT_EQ(Uniform(picture, progressBar), !c.barShown) << "the progress bar's area";
  }
}

TEST_F(QtViewPictures, DiagnosticsWindowWithItsTrace) {
  std::unique_ptr<View> view = MakeView();
  ASSERT_NE(view, nullptr);
  const std::string path = std::string(TARVEX_PICTURES_DIR) + "/qt-diagnostics.png";
  std::filesystem::remove(path);
  std::unique_ptr<LoaderState> state = Loader(false, false);
  {
    TDiagForm form(*state);
    for (const char* line : {"Kernel Present\r\n", "Kernel Copy present\r\n", "Images match\r\n"}) {
      state->SetLastMessage(line);
      form.TheTimerTimer();
    }
    std::string error;
    ASSERT_TRUE(view->SavePicture(form, path, &error)) << error;
  }
  Saved(path, {559, 364});
}

// A picture has nobody to answer a box: the form that asks for one fails the
// picture with the box's text, rather than waiting for ever.
TEST_F(QtViewPictures, AFormAskingForABoxFailsThePicture) {
  std::unique_ptr<View> view = MakeView();
  ASSERT_NE(view, nullptr);
  std::unique_ptr<LoaderState> state = Loader(true, false);
  state->Image.ClearImage();
  const std::string path = (dir_ / "pictures" / "none.png").string();
  std::string error;
  {
    TTheForm form(*state, *view);
    EXPECT_FALSE(view->SavePicture(form, path, &error));
  }
  EXPECT_NE(error.find("Image Error"), std::string::npos) << error;
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace loader::forms

// Flashwright's windows on Linux: Qt 6 Widgets built generically from the form
// descriptions, showing each form's live state and forwarding the user's actions to
// its logic. No moc: signals are connected to lambdas.
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFont>
#include <QFontMetrics>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTabWidget>
#include <QTextCursor>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "loader/forms/view.h"
#include "platform/dynamic_library.h"

namespace loader::forms {
namespace {

constexpr char kNoDisplay[] =
    "No display to show the window on: use /n to run Flashwright in the console";

QString ToQt(const std::string& text) {
  return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

std::string FromQt(const QString& text) {
  return text.toLocal8Bit().toStdString();
}

// Static texts were written with Windows line ends and often end in one.
QString StaticText(const std::string& text) {
  QString result = ToQt(text);
  result.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  if (result.endsWith(u'\n')) result.chop(1);
  return result;
}

// "Text (*.a37)|*.a37|All|*.*" becomes "Text (*.a37);;All (*.*)": Qt wants the
// patterns inside the description, and a description that already shows them is
// kept as it is.
QString FileFilter(std::string_view filter) {
  const QStringList parts =
      QString::fromLocal8Bit(filter.data(), static_cast<qsizetype>(filter.size())).split(u'|');
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString patterns = parts[i + 1];
    patterns.replace(u';', u' ');
    const QString& description = parts[i];
    const QString shown = QStringLiteral("(") + patterns + QStringLiteral(")");
    filters << (description.contains(shown) ? description : description + u' ' + shown);
  }
  return filters.join(QStringLiteral(";;"));
}

// The windows' hints appear at once, as they always have.
class InstantToolTips final : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* returnData) const override {
    if (hint == SH_ToolTip_WakeUpDelay) return 0;
    return QProxyStyle::styleHint(hint, option, widget, returnData);
  }
};

// A top-level window whose close attempts the form's logic may refuse.
class FormWindow final : public QWidget {
 public:
  std::function<bool()> closeRequested;

 protected:
  void closeEvent(QCloseEvent* event) override {
    if (closeRequested && !closeRequested()) {
      event->ignore();
    } else {
      event->accept();
    }
  }
};

QApplication& Application() {
  // Qt keeps pointers to these for the life of the application.
  static int argc = 1;
  static char name[] = "flashwright";
  static char* argv[] = {name, nullptr};
  static QApplication* application = [] {
    auto* app = new QApplication(argc, argv);
    app->setStyle(new InstantToolTips);
    // The forms were laid out for narrow Windows faces; a condensed face keeps the
    // captions inside their controls where those faces are missing.
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("DejaVu Sans Condensed"),
                                QStringLiteral("Liberation Sans Narrow"),
                                QStringLiteral("DejaVu Sans")});
    // The main window's close ends the loop, not the last window's.
    app->setQuitOnLastWindowClosed(false);
    return app;
  }();
  return *application;
}

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

// One control's widget (or timer) and what was last shown of its state.
struct Item {
  const Control* control = nullptr;
  QWidget* widget = nullptr;
  QTimer* timer = nullptr;
  QTabWidget* tabs = nullptr;  // a tab control's widget, or a page's tab control
  std::optional<ControlState> shown;
};

// One form's window.
struct Window {
  FormLogic* logic = nullptr;
  bool isMain = false;
  bool live = false;      // timers run (not for a picture)
  bool created = false;   // shown only from its Created() on
  bool showable = false;  // FormState.visible is obeyed once Run has created both forms
  std::unique_ptr<FormWindow> top;
  std::vector<Item> items;  // one per control, in the description's order
  std::map<std::string, std::size_t, std::less<>> byName;
  // The form's own properties as last shown.
  std::optional<std::string> caption;
  int clientWidth = -1, clientHeight = -1;
  bool shownOnce = false;
};

class QtView final : public View {
 public:
  explicit QtView(QApplication& application) : application_(application) {}
  ~QtView() override = default;

  BoxAnswer ShowBox(const std::string& text, const std::string& title, unsigned flags) override {
    if (picture_) throw std::runtime_error("the window shows a box (" + title + ": " + text + ")");
    QString shown = ToQt(text);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QMessageBox box(
        QMessageBox::NoIcon, ToQt(title), shown,
        (flags & kBoxOkCancel) != 0 ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok);
    return box.exec() == QMessageBox::Ok ? BoxAnswer::kOk : BoxAnswer::kCancel;
  }

  bool ChooseFile(const Control& dialog, std::string* fileName) override {
    if (picture_) throw std::runtime_error("the window opens the file dialog");
    const QString chosen = QFileDialog::getOpenFileName(nullptr, QString(), ToQt(*fileName),
                                                        FileFilter(dialog.caption));
    if (chosen.isEmpty()) return false;
    *fileName = FromQt(chosen);
    return true;
  }

  void CloseWindow(FormLogic& form) override {
    form.State().visible = false;
    Window* window = Find(form);
    if (window == nullptr) return;
    window->top->hide();
    if (window->isMain) EndLoop();
  }

  void Run(const char* applicationTitle, FormLogic& main, FormLogic& diagnostics) override {
    // The application's title heads only the boxes that have none of their own: as
    // a display name, the platforms would append it to every window's title.
    title_ = QString::fromLocal8Bit(applicationTitle);
    mainClosed_ = false;
    Window& mainWindow = Build(main, true, true);
    Window& diagWindow = Build(diagnostics, false, true);
    Forward([&] {
      mainWindow.created = true;
      main.Created();
    });
    Forward([&] {
      diagWindow.created = true;
      diagnostics.Created();
    });
    mainWindow.showable = diagWindow.showable = true;
    SyncAll();
    if (!mainClosed_) application_.exec();
    windows_.clear();
  }

  bool SavePicture(FormLogic& form, const std::string& path, std::string* error) override {
    windows_.clear();
    Window& window = Build(form, false, false);
    bool ok = false;
    // A picture has nobody to answer a box: a form that asks fails the picture.
    picture_ = true;
    try {
      window.created = true;
      form.Created();
      Sync(window);
      // Rendered without appearing on a desktop, when there is one.
      window.top->setAttribute(Qt::WA_DontShowOnScreen);
      window.top->show();
      QApplication::processEvents();
      const std::filesystem::path target(path);
      std::error_code failed;
      if (target.has_parent_path())
        std::filesystem::create_directories(target.parent_path(), failed);
      if (failed) {
        *error = "cannot create " + target.parent_path().string() + ": " + failed.message();
      } else if (!window.top->grab().save(QString::fromStdString(path), "PNG")) {
        *error = "cannot write the picture to " + path;
      } else {
        ok = true;
      }
    } catch (const std::exception& thrown) {
      *error = thrown.what();
    } catch (...) {
      *error = "the form's creation failed";
    }
    picture_ = false;
    windows_.clear();
    return ok;
  }

 private:
  Window* Find(FormLogic& form) {
    for (auto& window : windows_) {
      if (window->logic == &form) return window.get();
    }
    return nullptr;
  }

  void EndLoop() {
    mainClosed_ = true;
    // Leaves every loop, a message box's included.
    QCoreApplication::exit(0);
  }

  // Runs a handler; whatever it throws is shown and the loop goes on. Every form is
  // shown again afterwards: a handler may change the other window too.
  template <typename Handler>
  void Forward(Handler&& handler) {
    try {
      handler();
    } catch (const std::exception& thrown) {
      ShowFailure(thrown.what());
    } catch (...) {
      ShowFailure("");
    }
    SyncAll();
  }

  void ShowFailure(const char* text) {
    QMessageBox box(QMessageBox::Critical, title_, QString::fromLocal8Bit(text), QMessageBox::Ok);
    box.exec();
  }

  Window& Build(FormLogic& logic, bool isMain, bool live) {
    auto window = std::make_unique<Window>();
    window->logic = &logic;
    window->isMain = isMain;
    window->live = live;
    const FormState& state = logic.State();
    const Form& form = state.description();

    window->top = std::make_unique<FormWindow>();
    FormWindow& top = *window->top;
    top.setObjectName(QString::fromLatin1(form.name));
    if (!form.borderIcons) {
      // A fixed dialog-like window: a title, no minimise, maximise or close boxes.
      top.setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    }
    if (form.font.name != nullptr) top.setFont(FontOf(form.font.name, form.font.height));
    Window* self = window.get();
    top.closeRequested = [this, self] { return CloseRequested(*self); };

    window->items.resize(form.count);
    // Adding the first page selects it: not the user's doing.
    syncing_ = true;
    // Tab controls and their pages first: the other controls may sit on them.
    for (int pass = 0; pass < 2; ++pass) {
      for (std::size_t i = 0; i < form.count; ++i) {
        const Control& control = form.controls[i];
        const bool container = control.kind == Kind::kTabControl || control.kind == Kind::kTab;
        if (container != (pass == 0)) continue;
        window->items[i].control = &control;
        if (*control.name != '\0') window->byName.emplace(control.name, i);
        Create(*window, window->items[i]);
      }
    }
    syncing_ = false;
    windows_.push_back(std::move(window));
    return *windows_.back();
  }

  QWidget* ParentOf(Window& window, const Control& control) {
    if (*control.parent == '\0') return window.top.get();
    auto found = window.byName.find(std::string_view(control.parent));
    if (found == window.byName.end() || window.items[found->second].widget == nullptr)
      return window.top.get();
    return window.items[found->second].widget;
  }

  void Create(Window& window, Item& item) {
    const Control& control = *item.control;
    QWidget* parent = ParentOf(window, control);
    const std::string name = control.name;
    switch (control.kind) {
      case Kind::kPanel: {
        auto* label = new QLabel(parent);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setAlignment(Qt::AlignCenter);
        item.widget = label;
        break;
      }
      case Kind::kLabel: {
        auto* label = new QLabel(parent);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        item.widget = label;
        break;
      }
      case Kind::kButton: {
        auto* button = new QPushButton(parent);
        QObject::connect(button, &QPushButton::clicked, [this, &window, name] {
          FormLogic& logic = *window.logic;
          Forward([&] { logic.Clicked(name); });
        });
        item.widget = button;
        break;
      }
      case Kind::kEdit: {
        auto* edit = new QLineEdit(parent);
        QObject::connect(edit, &QLineEdit::textEdited, [this, &window, name](const QString& text) {
          std::string value = FromQt(text);
          window.logic->State()[name].caption = value;
          Shown(window, name).caption = std::move(value);
        });
        item.widget = edit;
        break;
      }
      case Kind::kMemo: {
        auto* memo = new QPlainTextEdit(parent);
        // It shows what the program writes; the user only reads and copies.
        memo->setReadOnly(true);
        memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        memo->setLineWrapMode(QPlainTextEdit::NoWrap);
        item.widget = memo;
        break;
      }
      case Kind::kCheckBox: {
        auto* box = new QCheckBox(parent);
        // clicked() comes from the user only, never from setChecked().
        QObject::connect(box, &QCheckBox::clicked, [this, &window, name](bool checked) {
          FormLogic& logic = *window.logic;
          logic.State()[name].checked = checked;
          Shown(window, name).checked = checked;
          Forward([&] { logic.Clicked(name); });
        });
        item.widget = box;
        break;
      }
      case Kind::kProgressBar: {
        auto* bar = new QProgressBar(parent);
        bar->setTextVisible(false);
        item.widget = bar;
        break;
      }
      case Kind::kTabControl: {
        auto* tabs = new QTabWidget(parent);
        QObject::connect(tabs, &QTabWidget::currentChanged, [this, &window, name, tabs](int index) {
          if (syncing_ || index < 0) return;
          const std::string page = PageName(window, tabs->widget(index));
          window.logic->State()[name].activePage = page;
          Shown(window, name).activePage = page;
        });
        item.widget = item.tabs = tabs;
        break;
      }
      case Kind::kTab: {
        auto* tabs = dynamic_cast<QTabWidget*>(parent);
        if (tabs == nullptr) break;  // a page outside a tab control has nowhere to go
        auto* page = new QWidget;
        tabs->addTab(page, QString());
        item.widget = page;
        item.tabs = tabs;
        break;
      }
      case Kind::kDivider: {
        auto* line = new QFrame(parent);
        line->setFrameStyle(QFrame::HLine | QFrame::Sunken);
        item.widget = line;
        break;
      }
      case Kind::kTimer: {
        item.timer = new QTimer(window.top.get());
        QObject::connect(item.timer, &QTimer::timeout, [this, &window, name] {
          FormLogic& logic = *window.logic;
          Forward([&] { logic.TimerFired(name); });
        });
        break;
      }
      case Kind::kOpenDialog: break;  // shown by ChooseFile
    }
    if (item.widget != nullptr) item.widget->setObjectName(QString::fromLatin1(control.name));
    if (item.timer != nullptr) item.timer->setObjectName(QString::fromLatin1(control.name));
    // Static texts are drawn beneath the controls, as graphic controls always were.
    if (control.kind == Kind::kLabel && item.widget != nullptr) item.widget->lower();
  }

  static std::string PageName(Window& window, QWidget* page) {
    for (const Item& item : window.items) {
      if (item.widget == page && item.control->kind == Kind::kTab) return item.control->name;
    }
    return {};
  }

  // The cache entry of a named control, so that what the user did is not shown again.
  static ControlState& Shown(Window& window, const std::string& name) {
    Item& item = window.items[window.byName.at(name)];
    if (!item.shown) item.shown = window.logic->State()[name];
    return *item.shown;
  }

  bool CloseRequested(Window& window) {
    bool allowed = true;
    FormLogic& logic = *window.logic;
    Forward([&] { allowed = logic.CloseQuery(); });
    if (!allowed) return false;
    logic.State().visible = false;
    if (window.isMain) EndLoop();
    return true;
  }

  static QFont FontOf(const std::string& family, int height) {
    QFont font{ToQt(family)};
    if (height != 0) font.setPixelSize(height < 0 ? -height : height);
    return font;
  }

  void SyncAll() {
    for (auto& window : windows_) {
      if (window->created) Sync(*window);
    }
  }

  // Shows what changed since the last time, and only that: the timers call this ten
  // times a second.
  void Sync(Window& window) {
    syncing_ = true;
    FormState& state = window.logic->State();
    const Form& form = state.description();
    FormWindow& top = *window.top;
    if (window.caption != state.caption) {
      top.setWindowTitle(ToQt(state.caption));
      window.caption = state.caption;
    }
    if (window.clientWidth != state.clientWidth || window.clientHeight != state.clientHeight) {
      if (form.fixedBorder) {
        top.setFixedSize(state.clientWidth, state.clientHeight);
      } else {
        top.resize(state.clientWidth, state.clientHeight);
      }
      window.clientWidth = state.clientWidth;
      window.clientHeight = state.clientHeight;
    }
    auto& controls = state.controls();
    for (std::size_t i = 0; i < window.items.size() && i < controls.size(); ++i) {
      SyncControl(window, window.items[i], controls[i]);
    }
    if (window.showable && state.visible != top.isVisible()) {
      if (state.visible && !window.shownOnce) Place(top, form);
      top.setVisible(state.visible);
      window.shownOnce = window.shownOnce || state.visible;
    }
    syncing_ = false;
  }

  static void Place(QWidget& top, const Form& form) {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (form.centred && screen != nullptr) {
      const QRect area = screen->availableGeometry();
      top.move(area.center() - top.rect().center());
    } else {
      top.move(form.left, form.top);
    }
  }

  void SyncControl(Window& window, Item& item, const ControlState& now) {
    const Control& control = *item.control;
    const ControlState* before = item.shown ? &*item.shown : nullptr;
    auto changed = [&](auto member) { return before == nullptr || before->*member != now.*member; };

    if (item.timer != nullptr) {
      if (window.live && (changed(&ControlState::enabled) || changed(&ControlState::interval))) {
        if (now.enabled) {
          item.timer->start(now.interval);
        } else {
          item.timer->stop();
        }
      }
      item.shown = now;
      return;
    }
    QWidget* widget = item.widget;
    if (widget == nullptr) {
      item.shown = now;
      return;
    }

    const bool fontChanged = changed(&ControlState::fontName) || changed(&ControlState::fontHeight);
    if (fontChanged && (!now.fontName.empty() || now.fontHeight != 0)) {
      const Form& form = window.logic->State().description();
      const std::string family =
          !now.fontName.empty() ? now.fontName : (form.font.name != nullptr ? form.font.name : "");
      widget->setFont(FontOf(family, now.fontHeight != 0 ? now.fontHeight : form.font.height));
    } else if (fontChanged && before != nullptr) {
      widget->setFont(QFont());  // back to the form's font
    }
    if (control.kind == Kind::kTab) {
      const int index = item.tabs->indexOf(widget);
      if (changed(&ControlState::caption)) item.tabs->setTabText(index, ToQt(now.caption));
      if (changed(&ControlState::hint)) item.tabs->setTabToolTip(index, ToQt(now.hint));
      if (changed(&ControlState::tabVisible)) item.tabs->setTabVisible(index, now.tabVisible);
      if (changed(&ControlState::enabled)) item.tabs->setTabEnabled(index, now.enabled);
      item.shown = now;
      return;
    }

    const bool geometryChanged = changed(&ControlState::left) || changed(&ControlState::top) ||
                                 changed(&ControlState::width) || changed(&ControlState::height);
    const bool captionChanged = changed(&ControlState::caption);
    if (captionChanged) SetCaption(item, now.caption);
    if (geometryChanged || captionChanged || fontChanged) {
      QRect area(now.left, now.top, now.width, now.height);
      if (control.kind == Kind::kLabel) FitLabel(*static_cast<QLabel*>(widget), area);
      widget->setGeometry(area);
    }
    if (changed(&ControlState::hint)) widget->setToolTip(ToQt(now.hint));
    if (changed(&ControlState::enabled)) widget->setEnabled(now.enabled);
    if (changed(&ControlState::visible)) widget->setVisible(now.visible);

    switch (control.kind) {
      case Kind::kCheckBox:
        if (changed(&ControlState::checked))
          static_cast<QCheckBox*>(widget)->setChecked(now.checked);
        break;
      case Kind::kProgressBar:
        if (changed(&ControlState::min) || changed(&ControlState::max) ||
            changed(&ControlState::position)) {
          auto* bar = static_cast<QProgressBar*>(widget);
          bar->setRange(now.min, now.max);
          bar->setValue(now.position);
        }
        break;
      case Kind::kTabControl:
        if (changed(&ControlState::activePage)) {
          auto page = window.byName.find(now.activePage);
          if (page != window.byName.end() && window.items[page->second].widget != nullptr)
            item.tabs->setCurrentWidget(window.items[page->second].widget);
        }
        break;
      default: break;
    }
    item.shown = now;
  }

  // A label wraps when it is taller than one line; one line grows to the right to
  // show all of its text, as the windows' labels size themselves.
  static void FitLabel(QLabel& label, QRect& area) {
    const QFontMetrics metrics(label.font());
    const bool wraps = area.height() >= 2 * metrics.lineSpacing();
    label.setWordWrap(wraps);
    if (!wraps) area.setWidth(std::max(area.width(), metrics.horizontalAdvance(label.text()) + 1));
  }

  static void SetCaption(Item& item, const std::string& caption) {
    QWidget* widget = item.widget;
    const std::string* before = item.shown ? &item.shown->caption : nullptr;
    switch (item.control->kind) {
      case Kind::kPanel:
      case Kind::kLabel: static_cast<QLabel*>(widget)->setText(StaticText(caption)); break;
      case Kind::kButton: static_cast<QPushButton*>(widget)->setText(ToQt(caption)); break;
      case Kind::kCheckBox: static_cast<QCheckBox*>(widget)->setText(ToQt(caption)); break;
      case Kind::kEdit: static_cast<QLineEdit*>(widget)->setText(ToQt(caption)); break;
      case Kind::kMemo: SetMemoText(*static_cast<QPlainTextEdit*>(widget), before, caption); break;
      default: break;
    }
  }

  // The trace grows at its end: only the new part is added, and the view follows it.
  static void SetMemoText(QPlainTextEdit& memo, const std::string* before, const std::string& now) {
    auto lines = [](std::string_view text) {
      QString shown = QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
      return shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    };
    // A "\r\n" split by the last sync is written whole again.
    const bool grows = before != nullptr && !before->empty() && before->back() != '\r' &&
                       std::string_view(now).starts_with(*before);
    if (grows) {
      QTextCursor cursor(memo.document());
      cursor.movePosition(QTextCursor::End);
      cursor.insertText(lines(std::string_view(now).substr(before->size())));
    } else {
      memo.setPlainText(lines(now));
    }
    memo.moveCursor(QTextCursor::End);
    memo.ensureCursorVisible();
  }

  QApplication& application_;
  QString title_;
  std::vector<std::unique_ptr<Window>> windows_;
  bool syncing_ = false;
  bool mainClosed_ = false;
  bool picture_ = false;
};

}  // namespace

// Qt ends the process when the platform it picks cannot start: an X server that
// does not answer, no Wayland display, a platform plugin not installed. So each
// platform Qt would try is asked first, through the client library its plugin
// loads. Platforms that need no display (offscreen, vnc, ...) are Qt's affair.
namespace {

bool PluginInstalled(const std::string& name) {
  const char* own = std::getenv("QT_QPA_PLATFORM_PLUGIN_PATH");
  const std::filesystem::path folder =
      own != nullptr && *own != '\0'
          ? std::filesystem::path(own)
          : std::filesystem::path(QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString()) /
                "platforms";
  std::error_code failed;
  for (const auto& entry : std::filesystem::directory_iterator(folder, failed)) {
    if (entry.path().filename().string().rfind("libq" + name, 0) == 0) return true;
  }
  return false;
}

// Each connects and lets go at once; false when the library or the server is missing.
bool XServerAnswers() {
  std::string ignored;
  platform::DynamicLibrary xcb = platform::DynamicLibrary::Load("libxcb.so.1", &ignored);
  using Connect = void* (*)(const char*, int*);
  using HasError = int (*)(void*);
  using Disconnect = void (*)(void*);
  const auto connect = reinterpret_cast<Connect>(xcb.Find("xcb_connect"));
  const auto hasError = reinterpret_cast<HasError>(xcb.Find("xcb_connection_has_error"));
  const auto disconnect = reinterpret_cast<Disconnect>(xcb.Find("xcb_disconnect"));
  if (connect == nullptr || hasError == nullptr || disconnect == nullptr) return false;
  void* connection = connect(nullptr, nullptr);  // never null: an error connection at worst
  const bool answers = hasError(connection) == 0;
  disconnect(connection);
  return answers;
}

bool WaylandAnswers() {
  std::string ignored;
  platform::DynamicLibrary client =
      platform::DynamicLibrary::Load("libwayland-client.so.0", &ignored);
  using Connect = void* (*)(const char*);
  using Disconnect = void (*)(void*);
  const auto connect = reinterpret_cast<Connect>(client.Find("wl_display_connect"));
  const auto disconnect = reinterpret_cast<Disconnect>(client.Find("wl_display_disconnect"));
  if (connect == nullptr || disconnect == nullptr) return false;
  void* display = connect(nullptr);  // null when nothing listens
  if (display == nullptr) return false;
  disconnect(display);
  return true;
}

bool PlatformStarts(const std::string& name) {
  if (name == "xcb") return PluginInstalled(name) && XServerAnswers();
  if (name.rfind("wayland", 0) == 0) return PluginInstalled("wayland") && WaylandAnswers();
  return true;
}

// The platforms Qt tries, in its order: QT_QPA_PLATFORM's list ("wayland;xcb",
// each maybe with ":options"), else its default, which a Wayland session outside
// GNOME turns to wayland.
bool DisplayAnswers() {
  const auto variable = [](const char* name) {
    const char* value = std::getenv(name);
    return std::string(value != nullptr ? value : "");
  };
  std::string names = variable("QT_QPA_PLATFORM");
  if (names.empty()) {
    const auto lower = [&](const char* name) {
      std::string text = variable(name);
      for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return text;
    };
    const bool gnome = lower("XDG_CURRENT_DESKTOP").find("gnome") != std::string::npos ||
                       lower("XDG_SESSION_DESKTOP").find("gnome") != std::string::npos;
    names = variable("XDG_SESSION_TYPE") == "wayland" && !gnome ? "wayland" : "xcb";
  }
  std::size_t at = 0;
  while (at <= names.size()) {
    std::size_t end = names.find(';', at);
    if (end == std::string::npos) end = names.size();
    const std::string entry = names.substr(at, end - at);
    if (!entry.empty() && PlatformStarts(entry.substr(0, entry.find(':')))) return true;
    at = end + 1;
  }
  return false;
}

}  // namespace

std::unique_ptr<View> CreateToolkitView(std::string* error) {
  if (!HasDisplay()) {
    if (error != nullptr) *error = kNoDisplay;
    return nullptr;
  }
  if (!DisplayAnswers()) {
    const char* display = std::getenv("DISPLAY");
    if (error != nullptr)
      *error = std::string("Cannot open the display") +
               (display != nullptr && *display != '\0' ? std::string(" ") + display : "") +
               ": use /n to run Flashwright in the console";
    return nullptr;
  }
  return std::make_unique<QtView>(Application());
}

}  // namespace loader::forms

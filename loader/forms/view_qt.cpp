// Flashwright's windows on Linux: Qt 6 Widgets built generically from the form
// descriptions, showing each form's live state and forwarding the user's actions to
// its logic. No moc: signals are connected to lambdas. This file starts Qt and runs
// the windows: the loop, closes, boxes, the file dialog and pictures.
#include <QApplication>
#include <QFileDialog>
#include <QFont>
#include <QMessageBox>
#include <QPixmap>
#include <QProxyStyle>
#include <QStringList>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "loader/forms/view.h"
#include "loader/forms/view_qt_internal.h"

namespace loader::forms::qt_view {
namespace {

constexpr char kNoDisplay[] =
    "No display to show the window on: use /n to run Flashwright in the console";

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

}  // namespace

BoxAnswer QtView::ShowBox(const std::string& text, const std::string& title, unsigned flags) {
  if (picture_) throw std::runtime_error("the window shows a box (" + title + ": " + text + ")");
  QString shown = ToQt(text);
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  QMessageBox box(
      QMessageBox::NoIcon, ToQt(title), shown,
      (flags & kBoxOkCancel) != 0 ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok);
  return box.exec() == QMessageBox::Ok ? BoxAnswer::kOk : BoxAnswer::kCancel;
}

bool QtView::ChooseFile(const Control& dialog, std::string* fileName) {
  if (picture_) throw std::runtime_error("the window opens the file dialog");
  const QString chosen =
      QFileDialog::getOpenFileName(nullptr, QString(), ToQt(*fileName), FileFilter(dialog.caption));
  if (chosen.isEmpty()) return false;
  *fileName = FromQt(chosen);
  return true;
}

void QtView::CloseWindow(FormLogic& form) {
  form.State().visible = false;
  Window* window = Find(form);
  if (window == nullptr) return;
  window->top->hide();
  if (window->isMain) EndLoop();
}

void QtView::Run(const char* applicationTitle, FormLogic& main, FormLogic& diagnostics) {
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

bool QtView::SavePicture(FormLogic& form, const std::string& path, std::string* error) {
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
    if (target.has_parent_path()) std::filesystem::create_directories(target.parent_path(), failed);
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

Window* QtView::Find(FormLogic& form) {
  for (auto& window : windows_) {
    if (window->logic == &form) return window.get();
  }
  return nullptr;
}

void QtView::EndLoop() {
  mainClosed_ = true;
  // Leaves every loop, a message box's included.
  QCoreApplication::exit(0);
}

void QtView::ShowFailure(const char* text) {
  QMessageBox box(QMessageBox::Critical, title_, QString::fromLocal8Bit(text), QMessageBox::Ok);
  box.exec();
}

bool QtView::CloseRequested(Window& window) {
  bool allowed = true;
  FormLogic& logic = *window.logic;
  Forward([&] { allowed = logic.CloseQuery(); });
  if (!allowed) return false;
  logic.State().visible = false;
  if (window.isMain) EndLoop();
  return true;
}

}  // namespace loader::forms::qt_view

namespace loader::forms {

std::unique_ptr<View> CreateToolkitView(std::string* error) {
  if (!qt_view::HasDisplay()) {
    if (error != nullptr) *error = qt_view::kNoDisplay;
    return nullptr;
  }
  if (!qt_view::DisplayAnswers()) {
    const char* display = std::getenv("DISPLAY");
    if (error != nullptr)
      *error = std::string("Cannot open the display") +
               (display != nullptr && *display != '\0' ? std::string(" ") + display : "") +
               ": use /n to run Flashwright in the console";
    return nullptr;
  }
  return std::make_unique<qt_view::QtView>(qt_view::Application());
}

}  // namespace loader::forms

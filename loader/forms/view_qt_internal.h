// What the Qt view's files share: the form windows and their widgets as built, and
// the view that builds them, forwards the user's actions and shows the forms' state.
#pragma once

#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QString>
#include <QWidget>
#include <cstddef>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "loader/forms/view.h"

class QLabel;
class QPlainTextEdit;
class QTabWidget;
class QTimer;

namespace loader::forms::qt_view {

inline QString ToQt(const std::string& text) {
  return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string FromQt(const QString& text) {
  return text.toLocal8Bit().toStdString();
}

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

// Whether a display answers, asked before Qt is (view_qt_display.cpp).
bool HasDisplay();
bool DisplayAnswers();

class QtView final : public View {
 public:
  explicit QtView(QApplication& application) : application_(application) {}
  ~QtView() override = default;

  BoxAnswer ShowBox(const std::string& text, const std::string& title, unsigned flags) override;
  bool ChooseFile(const Control& dialog, std::string* fileName) override;
  void CloseWindow(FormLogic& form) override;
  void Run(const char* applicationTitle, FormLogic& main, FormLogic& diagnostics) override;
  bool SavePicture(FormLogic& form, const std::string& path, std::string* error) override;

 private:
  Window* Find(FormLogic& form);
  void EndLoop();

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

  void ShowFailure(const char* text);
  bool CloseRequested(Window& window);

  // Building the windows and their widgets (view_qt_widgets.cpp).
  Window& Build(FormLogic& logic, bool isMain, bool live);
  QWidget* ParentOf(Window& window, const Control& control);
  void Create(Window& window, Item& item);
  static std::string PageName(Window& window, QWidget* page);
  static ControlState& Shown(Window& window, const std::string& name);
  static QFont FontOf(const std::string& family, int height);

  // Showing the forms' state (view_qt_sync.cpp).
  void SyncAll();
  void Sync(Window& window);
  static void Place(QWidget& top, const Form& form);
  void SyncControl(Window& window, Item& item, const ControlState& now);
  static void FitLabel(QLabel& label, QRect& area);
  static void SetCaption(Item& item, const std::string& caption);
  static void SetMemoText(QPlainTextEdit& memo, const std::string* before, const std::string& now);

  QApplication& application_;
  QString title_;
  std::vector<std::unique_ptr<Window>> windows_;
  bool syncing_ = false;
  bool mainClosed_ = false;
  bool picture_ = false;
};

}  // namespace loader::forms::qt_view

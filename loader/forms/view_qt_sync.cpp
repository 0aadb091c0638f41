// The Qt view's showing of the forms' state: after every event and timer, only
// what changed since it was last shown.
#include <QCheckBox>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTextCursor>
#include <QTimer>
#include <algorithm>
#include <string>
#include <string_view>

#include "loader/forms/view_qt_internal.h"

namespace loader::forms::qt_view {
namespace {

// Static texts were written with Windows line ends and often end in one.
QString StaticText(const std::string& text) {
  QString result = ToQt(text);
  result.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  if (result.endsWith(u'\n')) result.chop(1);
  return result;
}

}  // namespace

void QtView::SyncAll() {
  for (auto& window : windows_) {
    if (window->created) Sync(*window);
  }
}

// Shows what changed since the last time, and only that: the timers call this ten
// times a second.
void QtView::Sync(Window& window) {
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

void QtView::Place(QWidget& top, const Form& form) {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (form.centred && screen != nullptr) {
    const QRect area = screen->availableGeometry();
    top.move(area.center() - top.rect().center());
  } else {
    top.move(form.left, form.top);
  }
}

void QtView::SyncControl(Window& window, Item& item, const ControlState& now) {
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
      if (changed(&ControlState::checked)) static_cast<QCheckBox*>(widget)->setChecked(now.checked);
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
void QtView::FitLabel(QLabel& label, QRect& area) {
  const QFontMetrics metrics(label.font());
  const bool wraps = area.height() >= 2 * metrics.lineSpacing();
  label.setWordWrap(wraps);
  if (!wraps) area.setWidth(std::max(area.width(), metrics.horizontalAdvance(label.text()) + 1));
}

void QtView::SetCaption(Item& item, const std::string& caption) {
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
void QtView::SetMemoText(QPlainTextEdit& memo, const std::string* before, const std::string& now) {
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

}  // namespace loader::forms::qt_view

// The Qt view's building: a top-level window per form and a widget (or timer) per
// control description, each wired to the form's logic.
#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "loader/forms/view_qt_internal.h"

namespace loader::forms::qt_view {

Window& QtView::Build(FormLogic& logic, bool isMain, bool live) {
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

QWidget* QtView::ParentOf(Window& window, const Control& control) {
  if (*control.parent == '\0') return window.top.get();
  auto found = window.byName.find(std::string_view(control.parent));
  if (found == window.byName.end() || window.items[found->second].widget == nullptr)
    return window.top.get();
  return window.items[found->second].widget;
}

void QtView::Create(Window& window, Item& item) {
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

std::string QtView::PageName(Window& window, QWidget* page) {
  for (const Item& item : window.items) {
    if (item.widget == page && item.control->kind == Kind::kTab) return item.control->name;
  }
  return {};
}

// The cache entry of a named control, so that what the user did is not shown again.
ControlState& QtView::Shown(Window& window, const std::string& name) {
  Item& item = window.items[window.byName.at(name)];
  if (!item.shown) item.shown = window.logic->State()[name];
  return *item.shown;
}

QFont QtView::FontOf(const std::string& family, int height) {
  QFont font{ToQt(family)};
  if (height != 0) font.setPixelSize(height < 0 ? -height : height);
  return font;
}

}  // namespace loader::forms::qt_view

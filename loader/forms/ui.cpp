// A form's live control state, seeded from its description.
#include "loader/forms/ui.h"

#include <stdexcept>

namespace loader::forms {

FormState::FormState(const Form& form)
    : caption(form.caption),
      clientWidth(form.clientWidth),
      clientHeight(form.clientHeight),
      visible(form.visible),
      form_(&form) {
  controls_.reserve(form.count);
  for (std::size_t i = 0; i < form.count; ++i) {
    const Control& c = form.controls[i];
    ControlState s;
    s.caption = c.caption;
    s.hint = c.hint;
    s.fontName = c.font.name != nullptr ? c.font.name : "";
    s.fontHeight = c.font.height;
    s.left = c.left;
    s.top = c.top;
    s.width = c.width;
    s.height = c.height;
    s.visible = c.visible;
    s.enabled = c.enabled;
    s.interval = c.interval;
    s.max = c.max;
    controls_.push_back(std::move(s));
  }
  // A tab control shows its first page until told otherwise.
  for (std::size_t i = 0; i < form.count; ++i) {
    if (form.controls[i].kind != Kind::kTabControl) continue;
    for (std::size_t j = 0; j < form.count; ++j) {
      if (form.controls[j].kind == Kind::kTab &&
          std::string_view(form.controls[j].parent) == form.controls[i].name) {
        controls_[i].activePage = form.controls[j].name;
        break;
      }
    }
  }
}

ControlState& FormState::operator[](std::string_view name) {
  const Control* c = form_->Find(name);
  if (c == nullptr) throw std::out_of_range("no control named " + std::string(name));
  return controls_[static_cast<std::size_t>(c - form_->controls)];
}

const ControlState& FormState::operator[](std::string_view name) const {
  return const_cast<FormState&>(*this)[name];
}

}  // namespace loader::forms

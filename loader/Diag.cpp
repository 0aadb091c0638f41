// The diagnostics window's one handler.
#include "loader/Diag.h"

#include "loader/forms/forms.h"
#include "loader/startup.h"

namespace loader {

TDiagForm::TDiagForm(LoaderState& state) : state_(state), form_(forms::kDiagForm) {}

void TDiagForm::TimerFired(std::string_view timer) {
  if (timer == "TheTimer") TheTimerTimer();
}

// Only the most recent line of each interval arrives: the sink keeps one line. No
// separator is added; lines that end in a line break start a new one.
void TDiagForm::TheTimerTimer() {
  std::string& text = form_["Output"].caption;
  text += state_.TakeLastMessage();
  // Lines as a text box counts them: an empty last line after a final break is none.
  int lines = text.empty() ? 0 : 1;
  for (char c : text) lines += c == '\n';
  if (!text.empty() && text.back() == '\n') --lines;
  std::size_t cut = 0;
  for (; lines > kDiagLineLimit; --lines) cut = text.find('\n', cut) + 1;
  if (cut != 0) text.erase(0, cut);
}

}  // namespace loader

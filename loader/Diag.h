// TDiagForm: the hidden diagnostics window that collects the most recent trace line
// every 100 ms, keeping the last 200 lines.
#pragma once

#include <string_view>

#include "loader/forms/ui.h"

namespace loader {

class LoaderState;

inline constexpr int kDiagLineLimit = 200;

class TDiagForm : public forms::FormLogic {
 public:
  explicit TDiagForm(LoaderState& state);

  forms::FormState& State() override { return form_; }
  void TimerFired(std::string_view timer) override;

  void TheTimerTimer();

 private:
  LoaderState& state_;
  forms::FormState form_;
};

}  // namespace loader

// TTheForm: Flashwright's main window as toolkit-free logic. Its handlers change the
// form's control state and ask the view for message boxes, the file dialog and the
// close; the window start below runs it on the program's toolkit.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "loader/Programcard.h"
#include "loader/forms/ui.h"

namespace loader {

class LoaderState;

inline constexpr char kApplicationTitle[] = "QMX USB Firmware";
inline constexpr char kStartupCheckArgument[] = "  StartupCheck";

class TTheForm : public forms::FormLogic {
 public:
  TTheForm(LoaderState& state, forms::UiService& ui);
  ~TTheForm() override;

  forms::FormState& State() override { return form_; }
  void Created() override { FormCreate(); }
  void Clicked(std::string_view control) override;
  void TimerFired(std::string_view timer) override;
  bool CloseQuery() override { return FormCloseQuery(); }
  bool QueryEndSession() override;
  void EndSession() override;

  // Handlers, as the window's events and each other call them.
  void FormCreate();
  bool FormCloseQuery();
  void ExitButtonClick();
  void ConfigButtonClick();
  void ExitTimerTimer();
  void ProgressTimerTimer();
  void ProgramButtonClick();
  void LoadButtonClick();
  void BrowseButtonClick();
  void ForceKernelUpdateCheckBoxClick();
  void StartSetButtonClick();
  void StartClearButtonClick();
  void RefreshVersionPanels();
  void RefreshStartupCheck();
  void StartProgramming();

  const ProgramCard* PendingProgram() const { return pendingProgram_.get(); }
  int FullHeight() const { return fullHeight_; }
  int ExitCountdown() const { return exitCountdown_; }

 private:
  void Close();  // asks FormCloseQuery first, as any close does
  // The one close rule: never while a programming run exists, whose worker would
  // go on without a window.
  bool CloseAllowed() { return !pendingProgram_ && form_["ExitButton"].visible; }
  // Every box goes through here: see boxesOpen_.
  forms::BoxAnswer ShowBox(const std::string& text, const char* title, unsigned flags);

  LoaderState& state_;
  forms::UiService& ui_;
  forms::FormState form_;
  std::unique_ptr<ProgramCard> pendingProgram_;
  int fullHeight_ = 0;
  int exitCountdown_ = 10;
  // A box runs a message loop of its own, which goes on firing our timers: their
  // handlers stand still until it is answered, so that the one that asked finishes
  // first (a finished run would otherwise show its box again on every tick).
  int boxesOpen_ = 0;
};

// The program file a registered log-on command line names. With a program suffix
// (".exe"): the text up to its last "." that is not the first character, plus the
// suffix; without one: the text less a trailing "  StartupCheck". Otherwise the text
// as it is.
std::string RegisteredProgramPath(const std::string& commandLine, std::string_view suffix);

// The window mode: creates the view, the main window and the diagnostics window, runs
// them until the main window closes, then ExitLoader(0). Without a view: ReportFatal.
[[noreturn]] void RunWindowMode(LoaderState& state);

}  // namespace loader

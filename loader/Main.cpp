// The main window's handlers: the three opening modes, loading and checking an
// S-Record file, programming through the same worker as the console, the log-on check
// registration and the version panels.
#include "loader/Main.h"

#include <cstdio>
#include <cstring>
#include <exception>

#include "loader/Diag.h"
#include "loader/image.h"
#include "loader/startup.h"
#include "platform/bytes.h"
#include "platform/program_path.h"
#include "platform/settings.h"

namespace loader {
namespace {

using forms::BoxAnswer;
using forms::kBoxOk;
using forms::kBoxOkCancel;
using forms::kBoxServiceNotification;

std::string CompiledText(const std::string& date, const std::string& time) {
  return FormatText("on  %s  at  %s\n", date.c_str(), time.c_str());
}

// The image a program file carries at its end, as the log-on check would load it:
// the release type and version of its application block.
struct RegisteredImage {
  bool opened = false;
  bool carriesImage = false;
  std::uint8_t version[4] = {};
};

RegisteredImage ReadRegisteredImage(const std::string& path) {
  RegisteredImage result;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return result;
  result.opened = true;
  std::uint8_t trailer[kTrailerSize];
  std::uint8_t block[checksum_block::kSize];
  if (std::fseek(file, 0, SEEK_END) == 0) {
    const long size = std::ftell(file);
    if (size >= static_cast<long>(kTrailerSize) &&
        std::fseek(file, size - static_cast<long>(kTrailerSize), SEEK_SET) == 0 &&
        std::fread(trailer, 1, sizeof trailer, file) == sizeof trailer &&
        platform::ReadLE32(trailer) == kBlockMagic) {
      const std::uint32_t length = platform::ReadLE32(trailer + 4);
      const std::uint32_t offset = platform::ReadLE32(trailer + 8);
      // The block must lie inside the image and the file: a damaged trailer reads
      // as a file without an image.
      const std::int64_t from = std::int64_t{size} - kTrailerSize - length + offset;
      if (offset <= length && length <= kImageSize && from >= 0 &&
          from + checksum_block::kSize <= size - static_cast<std::int64_t>(kTrailerSize) &&
          std::fseek(file, static_cast<long>(from), SEEK_SET) == 0 &&
          std::fread(block, 1, sizeof block, file) == sizeof block) {
        result.carriesImage = true;
        std::memcpy(result.version, block + checksum_block::kVersion, 4);
      }
    }
  }
  std::fclose(file);
  return result;
}

}  // namespace

std::string RegisteredProgramPath(const std::string& commandLine, std::string_view suffix) {
  if (suffix.empty()) {
    const std::string_view argument = kStartupCheckArgument;
    if (commandLine.size() >= argument.size() &&
        commandLine.compare(commandLine.size() - argument.size(), argument.size(), argument) == 0)
      return commandLine.substr(0, commandLine.size() - argument.size());
    return commandLine;
  }
  const std::size_t dot = commandLine.rfind('.');
  if (dot == std::string::npos || dot == 0) return commandLine;
  return commandLine.substr(0, dot) + std::string(suffix);
}

TTheForm::TTheForm(LoaderState& state, forms::UiService& ui)
    : state_(state), ui_(ui), form_(forms::kTheForm) {
  // The box shows what the next programming run will do.
  form_["ForceKernelUpdateCheckBox"].checked = state_.Options.ForceKernelUpdate;
}

// A run still going when the window goes is waited for: the worker's waits are bounded.
TTheForm::~TTheForm() = default;

void TTheForm::Clicked(std::string_view control) {
  if (control == "ExitButton")
    ExitButtonClick();
  else if (control == "ConfigButton")
    ConfigButtonClick();
  else if (control == "ProgramButton")
    ProgramButtonClick();
  else if (control == "LoadButton")
    LoadButtonClick();
  else if (control == "BrowseButton")
    BrowseButtonClick();
  else if (control == "ForceKernelUpdateCheckBox")
    ForceKernelUpdateCheckBoxClick();
  else if (control == "StartSetButton")
    StartSetButtonClick();
  else if (control == "StartClearButton")
    StartClearButtonClick();
}

void TTheForm::TimerFired(std::string_view timer) {
  if (timer == "ExitTimer")
    ExitTimerTimer();
  else if (timer == "ProgressTimer")
    ProgressTimerTimer();
}

void TTheForm::Close() {
  if (FormCloseQuery()) ui_.CloseWindow(*this);
}

BoxAnswer TTheForm::ShowBox(const std::string& text, const char* title, unsigned flags) {
  ++boxesOpen_;
  struct Answered {
    int& open;
    ~Answered() { --open; }
  } answered{boxesOpen_};
  return ui_.ShowBox(text, title, flags);
}

void TTheForm::FormCreate() {
  // Hints appear at once: the views show tooltips without a pause.
  form_["PageControl"].activePage = "StartTab";
  std::string file;
  if (platform::ReadStoredFile(&file) == platform::SettingStatus::kOk) {
    form_["FileName"].caption = file;
  }
  RefreshVersionPanels();
  RefreshStartupCheck();
  fullHeight_ = form_.clientHeight;
  form_.clientHeight -= form_["ExitButton"].top - form_["ConfigButton"].top;
  if (state_.Options.SerialOption[0] != '\0') {
    form_.caption = FormatText("%s (%s)", form_.caption.c_str(), state_.Options.SerialOption);
  }
  if (state_.UpdateRequired) {
    for (const char* tab : {"KernelTab", "ProgramTab"}) {
      form_[tab].tabVisible = false;
      form_[tab].visible = false;
    }
    ProgramButtonClick();
  } else if (state_.AutoExit) {
    form_["ExitTimer"].enabled = true;
    form_["Comment"].caption = "Automatic exit in 10 seconds";
  } else {
    ConfigButtonClick();
  }
}

void TTheForm::ConfigButtonClick() {
  form_.clientHeight = fullHeight_;
  form_["ExitTimer"].enabled = false;
  form_["ConfigButton"].visible = false;
  form_["Comment"].caption.clear();
  state_.AutoExit = false;
}

void TTheForm::ExitTimerTimer() {
  if (boxesOpen_ > 0) return;
  if (exitCountdown_ == 0) {
    // The last tick, even when the close is refused: a run under way closes the
    // window when it ends, and a count below zero means nothing.
    form_["ExitTimer"].enabled = false;
    Close();
  }
  form_["Comment"].caption = FormatText("Automatic exit in %d seconds", exitCountdown_);
  --exitCountdown_;
}

void TTheForm::ExitButtonClick() {
  Close();
}

bool TTheForm::FormCloseQuery() {
  if (CloseAllowed()) return true;
  ShowBox("Can't exit while programming in progress", "Close Error", kBoxOk);
  return false;
}

// The same rule as a close, asked quietly: the system shows why it waits.
bool TTheForm::QueryEndSession() {
  return CloseAllowed();
}

// The process ends with the session, before the exit path runs: let the unit and
// the block go here, as that path would. A run the user forced the end upon keeps
// the link: it is the worker's alone.
void TTheForm::EndSession() {
  if (pendingProgram_) return;
  if (state_.BlockClaimed) {
    state_.Link.CloseUnit();
    SetDriverState(state_, 0);
  }
  ui_.CloseWindow(*this);
}

void TTheForm::BrowseButtonClick() {
  const forms::Control* dialog = form_.description().Find("OpenDialog");
  std::string file = form_["FileName"].caption;
  if (dialog != nullptr && ui_.ChooseFile(*dialog, &file)) form_["FileName"].caption = file;
}

void TTheForm::LoadButtonClick() {
  // The worker reads the image while it programs: loading over it would send the
  // unit half of each.
  if (pendingProgram_) return;
  FirmwareImage& image = state_.Image;
  image.ImageLength = 0;
  image.ClearImage();
  const std::string file = form_["FileName"].caption;
  if (const char* problem = image.ReadSRecordFile(file.c_str())) {
    ShowBox(problem, "Load Error", kBoxServiceNotification);
    return;
  }
  // Remembered for the next start; a setting that cannot be written costs nothing now.
  platform::WriteStoredFile(file);
  image.ApplicationBlock = kApplicationBlockAddress;
  image.KernelBlock = kKernelBlockAddress;
  if (const char* problem = image.CheckImage(state_.Services().StandardOutput)) {
    ShowBox(problem, "Image Error", kBoxServiceNotification);
    form_["Compiled"].caption = "No Image Information";
  } else {
    RefreshVersionPanels();
  }
}

void TTheForm::ProgramButtonClick() {
  // The link has one user: a second run while one is going would share it.
  if (pendingProgram_) return;
  const std::vector<std::uint8_t>& buffer = state_.Image.ImageBuffer;
  if (buffer[0] == 0xFF && buffer[1] == 0xFF && buffer[2] == 0xFF && buffer[3] == 0xFF) {
    ShowBox("No Code is loaded!", "Image Error", kBoxServiceNotification);
    return;
  }
  if (const char* problem = state_.Image.CheckImage(state_.Services().StandardOutput)) {
    const std::string text = problem;
    if (ShowBox(text, "Image Error", kBoxOkCancel | kBoxServiceNotification) != BoxAnswer::kOk)
      return;
  }
  StartProgramming();
}

void TTheForm::StartProgramming() {
  if (pendingProgram_) return;
  form_["Comment"].caption = "Programming";
  pendingProgram_ = std::make_unique<ProgramCard>(state_);
  // No way out while it runs, not even before the first block is acknowledged.
  form_["ExitButton"].visible = false;
  forms::ControlState& bar = form_["ProgressBar"];
  bar.visible = true;
  bar.min = 0;
  bar.max = pendingProgram_->TotalBlocks;
  bar.position = 0;
}

void TTheForm::ProgressTimerTimer() {
  if (boxesOpen_ > 0) return;
  if (!pendingProgram_) {
    state_.Link.PollUnit();
    return;
  }
  ProgramCard& program = *pendingProgram_;
  if (program.Running) {
    const std::int32_t done = program.BlocksProgrammed;
    const std::int32_t total = program.TotalBlocks;
    form_["ProgressBar"].position = done;
    form_["Comment"].caption =
        done == total
            ? std::string("Waiting for Unit to restart")
            : FormatText("Address 0x%X: %d blocks out of %d programmed",
                         static_cast<unsigned>(program.CurrentAddress.load()), done, total);
    return;
  }
  form_["Comment"].caption = "Unit Programmed";
  RefreshVersionPanels();
  const std::int32_t status = state_.Unit.CardStatus;
  if (program.TimedOut) {
    // The unit's status is from before the run: it must not pass for success.
    ShowBox("Warning: The unit stopped answering\r\nProgramming did not complete", "Unit Error",
            kBoxOk);
  } else if (status != 1 && status != 44) {
    const std::string text =
        (status & 0x200) != 0
            ? std::string(
                  "Warning: The reprogramming has failed!!\r\n"
                  "The unit is returning a checksum failure status")
            : FormatText("Warning: The unit is returning\r\n  a self test error code of %x",
                         static_cast<unsigned>(status));
    ShowBox(text, "Unit Error", kBoxOk);
  }
  form_["ExitButton"].visible = true;
  pendingProgram_.reset();
  Close();
}

void TTheForm::ForceKernelUpdateCheckBoxClick() {
  state_.Options.ForceKernelUpdate = form_["ForceKernelUpdateCheckBox"].checked;
}

void TTheForm::RefreshVersionPanels() {
  const FirmwareImage& image = state_.Image;
  if (image.ApplicationBlock) {
    const VersionRecord record =
        ReadVersionRecord(image.ImageBuffer.data() + *image.ApplicationBlock);
    form_["Status"].caption = ReleaseTypeName(record.version[0]);
    form_["Compiled"].caption = CompiledText(record.compileDate, record.compileTime);
    form_["Version"].caption =
        FormatText("%d.%d.%d", record.version[1], record.version[2], record.version[3]);
  } else {
    form_["Version"].caption = "None";
    form_["Compiled"].caption = "No File Loaded";
    form_["Status"].caption = "None";
  }
  static constexpr std::uint8_t kKernelMark[] = {0xAA, 0x8D, 0x4A, 0x8C};
  const std::uint8_t* kernel =
      image.KernelBlock ? image.ImageBuffer.data() + *image.KernelBlock : nullptr;
  if (kernel != nullptr && std::memcmp(kernel, kKernelMark, sizeof kKernelMark) == 0) {
    const std::uint8_t* v = kernel + checksum_block::kVersion;
    form_["KernelVersion"].caption = FormatText("%d.%d.%d.%d", v[0], v[1], v[2], v[3]);
  } else {
    form_["KernelVersion"].caption = "No Kernel";
  }
  const std::int32_t firmware = state_.Unit.CardFirmwareVersion;
  form_["LoadedStatus"].caption = ReleaseTypeName(WordByte(firmware, 24));
  form_["LoadedVersion"].caption =
      FormatText("%d.%d.%d", WordByte(firmware, 16), WordByte(firmware, 8), WordByte(firmware, 0));
  const std::string date = BlockText(state_.CompileDate), time = BlockText(state_.CompileTime);
  form_["LoadedCompiled"].caption =
      !date.empty() && !time.empty() ? CompiledText(date, time) : std::string("Not available");
  const std::int32_t kernelVersion = state_.Unit.CardKernelVersion;
  form_["LoadedKernelVersion"].caption =
      kernelVersion == -1
          ? std::string("No Kernel")
          : FormatText("%d.%d.%d.%d", WordByte(kernelVersion, 24), WordByte(kernelVersion, 16),
                       WordByte(kernelVersion, 8), WordByte(kernelVersion, 0));
}

void TTheForm::RefreshStartupCheck() {
  const FirmwareImage& image = state_.Image;
  const bool carriesImage = image.TrailerMagic == kBlockMagic;
  forms::ControlState& set = form_["StartSetButton"];
  forms::ControlState& clear = form_["StartClearButton"];
  forms::ControlState& shown = form_["StartCheckVersion"];
  set.visible = carriesImage;
  std::string commandLine;
  if (platform::ReadStartupCheck(&commandLine) != platform::SettingStatus::kOk) {
    shown.caption = "None";
    clear.visible = false;
    return;
  }
  clear.visible = true;
  const std::string path = RegisteredProgramPath(commandLine, platform::ProgramFileSuffix());
  std::string text = FormatText("Invalid file - <%s>", path.c_str());
  const RegisteredImage registered = ReadRegisteredImage(path);
  bool described = false;
  if (!registered.opened) {
    text = FormatText("Cannot open <%s>", path.c_str());
  } else if (registered.carriesImage) {
    const std::uint8_t* v = registered.version;
    text = FormatText("%s - version %d.%d.%d", ReleaseTypeName(v[0]), v[1], v[2], v[3]);
    described = true;
    if (image.ApplicationBlock && carriesImage) {
      const std::uint8_t* held =
          image.ImageBuffer.data() + *image.ApplicationBlock + checksum_block::kVersion;
      set.visible = std::memcmp(v, held, 4) != 0;
    }
  }
  shown.fontHeight = described ? -13 : -11;
  shown.caption = text;
}

void TTheForm::StartSetButtonClick() {
  if (!platform::WriteStartupCheck(state_.Services().OwnProgramPath + kStartupCheckArgument)) {
    ShowBox("Cannot set registry key", "Error", kBoxOk);
    return;
  }
  RefreshStartupCheck();
}

void TTheForm::StartClearButtonClick() {
  if (!platform::ClearStartupCheck()) {
    ShowBox("Cannot clear registry key", "Error", kBoxOk);
    return;
  }
  form_["StartClearButton"].visible = false;
  RefreshStartupCheck();
}

void RunWindowMode(LoaderState& state) {
  std::string error;
  const forms::ViewFactory create = state.Services().CreateView;
  std::unique_ptr<forms::View> view = create != nullptr ? create(&error) : nullptr;
  if (!view) {
    state.Link.CloseUnit();
    SetDriverState(state, 0);
    ReportFatal(state, error.empty() ? std::string("No window can be shown: use /n") : error);
  }
  {
    TTheForm main(state, *view);
    TDiagForm diagnostics(state);
    view->Run(kApplicationTitle, main, diagnostics);
  }
  ExitLoader(state, 0);
}

}  // namespace loader

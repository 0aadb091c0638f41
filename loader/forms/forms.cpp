// The descriptions of Flashwright's main window and its diagnostics window: captions,
// hints and fonts as the windows have always shown them; the geometry keeps the
// vertical bands the compact window relies on (Comment and Configure at 155, the tab
// control at 190, Exit at 313, 158 pixels between Configure and Exit).
#include "loader/forms/forms.h"

#include <iterator>

namespace loader::forms {
namespace {

constexpr Font kFormFont{"MS Sans Serif", -11};
constexpr Font kOwnFont{};

// Shorthands that keep the table one control per line.
constexpr Control Panel(const char* name, const char* parent, int left, int top, int width,
                        const char* caption, const char* hint, Font font = kOwnFont) {
  return {Kind::kPanel, name, parent, left, top, width, 21, caption, hint, font, true, true, 0, 0};
}
constexpr Control Label(const char* name, const char* parent, int left, int top, int width,
                        const char* caption, int height = 13) {
  return {Kind::kLabel, name, parent,   left, top,  width, height,
          caption,      "",   kOwnFont, true, true, 0,     0};
}
constexpr Control Button(const char* name, const char* parent, int left, int top, int width,
                         const char* caption, const char* hint, int height = 25) {
  return {Kind::kButton, name, parent,   left, top,  width, height,
          caption,       hint, kOwnFont, true, true, 0,     0};
}
constexpr Control Timer(const char* name, bool enabled, int interval) {
  return {Kind::kTimer, name, "", 0, 0, 0, 0, "", "", kOwnFont, false, enabled, interval, 0};
}
constexpr Control Tab(const char* name, const char* caption) {
  return {Kind::kTab, name, "PageControl", 0, 0, 0, 0, caption, "", kOwnFont, true, true, 0, 0};
}

constexpr const char kUnitVersionHint[] =
    "The version of the firmware loaded onto the Corvel board";
constexpr const char kCompiledHint[] = "The date and time at which the image file was compiled";

// Pages of the tab control are about 379 x 88 inside it.
constexpr Control kTheFormControls[] = {
    Panel("Status", "", 204, 96, 191, "Full Release",
          "The release status of the image loaded into this utility"),
    Label("TheLabel", "", 160, 100, 42, "Status:"),
    Panel("Version", "", 72, 96, 80, "1.2.3.4",
          "The version of the image loaded into this utility"),
    Panel("LoadedVersion", "", 72, 22, 80, "1.2.3.4", kUnitVersionHint),
    Button("ExitButton", "", 320, 313, 75, "Exit", ""),
    Panel("LoadedStatus", "", 204, 22, 191, "Full Release",
          "The release status of the firmware loaded onto the Corvel board"),
    Panel("Compiled", "", 72, 120, 172, "No File Loaded", kCompiledHint),
    Timer("ExitTimer", false, 1000),
    {Kind::kLabel, "Comment", "", 8, 158, 300, 13, "Comment", "", kOwnFont, true, true, 0, 0},
    Button("ConfigButton", "", 320, 155, 75, "Configure", "Click this to access extra facilities"),
    Timer("ProgressTimer", true, 100),
    {Kind::kTabControl, "PageControl", "", 8, 190, 387, 116, "", "", kOwnFont, true, true, 0, 0},
    Tab("StartTab", "Startup Configuration"),
    Tab("ProgramTab", "Program Card"),
    {Kind::kProgressBar, "ProgressBar", "", 8, 174, 304, 12, "", "", kOwnFont, false, true, 0, 100},
    {Kind::kOpenDialog, "OpenDialog", "", 0, 0, 0, 0, "Firmware Image File (*.a37)|*.a37", "",
     kOwnFont, false, true, 0, 0},
    Button("ProgramButton", "ProgramTab", 8, 44, 150, "Program card with image",
           "Click to unconditionally program the board with the above image", 21),
    Button("LoadButton", "ProgramTab", 8, 67, 130,
           "Load image from File:", "Load the S-Record file", 21),
    {Kind::kEdit, "FileName", "ProgramTab", 142, 67, 166, 21, "", "The S-Record file to be loaded",
     kOwnFont, true, true, 0, 0},
    Button("BrowseButton", "ProgramTab", 312, 67, 62, "Browse...", "Choose the file", 21),
    Button("StartClearButton", "StartTab", 336, 4, 38, "Clear",
           "Click to cancel the system startup check", 22),
    Button("StartSetButton", "StartTab", 294, 4, 38, "Set",
           "Click to check for (and load) this image during system startup", 22),
    Panel("StartCheckVersion", "StartTab", 96, 4, 194, "Version 1.2.3.4",
          "These are the details of the image in the current startup check", Font{"Arial", -13}),
    Panel("LoadedCompiled", "", 72, 46, 172, "", kCompiledHint),
    Panel("LoadedKernelVersion", "", 335, 46, 60, "1.2.3.4", kUnitVersionHint),
    Panel("KernelVersion", "", 335, 120, 60, "1.2.3.4", kUnitVersionHint),
    Tab("KernelTab", "Kernel"),
    {Kind::kCheckBox, "ForceKernelUpdateCheckBox", "KernelTab", 8, 64, 160, 17,
     "Force Kernel Update", "", kOwnFont, true, true, 0, 0},

    // Unnamed static texts.
    Label("", "", 8, 6, 120, "Currently Loaded:"),
    Label("", "", 8, 26, 62, "Version:"),
    Label("", "", 160, 26, 42, "Status:"),
    Label("", "", 8, 50, 62, "Compiled:"),
    Label("", "", 248, 50, 86, "Kernel Version:"),
    Label("", "", 8, 80, 120, "This Image:"),
    Label("", "", 8, 100, 62, "Version:"),
    Label("", "", 8, 124, 62, "Compiled:"),
    Label("", "", 248, 124, 86, "Kernel Version:"),
    {Kind::kDivider, "", "", 8, 148, 387, 2, "", "", kOwnFont, true, true, 0, 0},
    Label("", "ProgramTab", 8, 2, 363, "These buttons allow you to unconditionally program"),
    Label("", "ProgramTab", 8, 15, 363, "the card with the above image, and to load a"),
    Label("", "ProgramTab", 8, 28, 363, "new firmware image from an S-Record file."),
    Label("", "KernelTab", 8, 6, 363,
          "On very rare occations you may have to force the Kernel to be overwritten. e.g. if the "
          "resident Kernel is faulty or you need to go back a version. Tick this box to force the "
          "resident Kernel to be overwritten.",
          52),
    Label("", "StartTab", 8, 8, 86, "Startup Check:"),
    Label("", "StartTab", 8, 36, 363,
          "This facility allows you to set an automatic check at startup"),
    Label("", "StartTab", 8, 50, 363, "to ensure that the QMX ZELTI card is running the"),
    Label("", "StartTab", 8, 64, 363, "correct version of the firmware."),
};

constexpr Control kDiagFormControls[] = {
    {Kind::kMemo, "Output", "", 0, 0, 559, 364, "", "", kOwnFont, true, true, 0, 0},
    Timer("TheTimer", true, 100),
};

}  // namespace

const Control* Form::Find(std::string_view controlName) const {
  if (controlName.empty()) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    if (controls[i].name == controlName) return &controls[i];
  }
  return nullptr;
}

const Form kTheForm{"TheForm",
                    "QMX Programming Utility",
                    0,
                    0,
                    403,
                    346,
                    true,
                    true,
                    false,
                    true,
                    kFormFont,
                    kTheFormControls,
                    std::size(kTheFormControls)};

// Never shown by the system: it collects the trace while hidden.
const Form kDiagForm{"DiagForm",
                     "DiagForm",
                     134,
                     102,
                     559,
                     364,
                     false,
                     false,
                     true,
                     false,
                     kFormFont,
                     kDiagFormControls,
                     std::size(kDiagFormControls)};

}  // namespace loader::forms

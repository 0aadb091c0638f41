// Whether Qt can open a display, asked before Qt is: a display named in the
// environment, and a platform among those Qt would try that answers.
#include <QLibraryInfo>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "loader/forms/view_qt_internal.h"
#include "platform/dynamic_library.h"

namespace loader::forms::qt_view {

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

// Qt ends the process when the platform it picks cannot start: an X server that
// does not answer, no Wayland display, a platform plugin not installed. So each
// platform Qt would try is asked first, through the client library its plugin
// loads. Platforms that need no display (offscreen, vnc, ...) are Qt's affair.
namespace {

bool PluginInstalled(const std::string& name) {
  const char* own = std::getenv("QT_QPA_PLATFORM_PLUGIN_PATH");
  const std::filesystem::path folder =
      own != nullptr && *own != '\0'
          ? std::filesystem::path(own)
          : std::filesystem::path(QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString()) /
                "platforms";
  std::error_code failed;
  for (const auto& entry : std::filesystem::directory_iterator(folder, failed)) {
    if (entry.path().filename().string().rfind("libq" + name, 0) == 0) return true;
  }
  return false;
}

// Each connects and lets go at once; false when the library or the server is missing.
bool XServerAnswers() {
  std::string ignored;
  platform::DynamicLibrary xcb = platform::DynamicLibrary::Load("libxcb.so.1", &ignored);
  using Connect = void* (*)(const char*, int*);
  using HasError = int (*)(void*);
  using Disconnect = void (*)(void*);
  const auto connect = reinterpret_cast<Connect>(xcb.Find("xcb_connect"));
  const auto hasError = reinterpret_cast<HasError>(xcb.Find("xcb_connection_has_error"));
  const auto disconnect = reinterpret_cast<Disconnect>(xcb.Find("xcb_disconnect"));
  if (connect == nullptr || hasError == nullptr || disconnect == nullptr) return false;
  void* connection = connect(nullptr, nullptr);  // never null: an error connection at worst
  const bool answers = hasError(connection) == 0;
  disconnect(connection);
  return answers;
}

bool WaylandAnswers() {
  std::string ignored;
  platform::DynamicLibrary client =
      platform::DynamicLibrary::Load("libwayland-client.so.0", &ignored);
  using Connect = void* (*)(const char*);
  using Disconnect = void (*)(void*);
  const auto connect = reinterpret_cast<Connect>(client.Find("wl_display_connect"));
  const auto disconnect = reinterpret_cast<Disconnect>(client.Find("wl_display_disconnect"));
  if (connect == nullptr || disconnect == nullptr) return false;
  void* display = connect(nullptr);  // null when nothing listens
  if (display == nullptr) return false;
  disconnect(display);
  return true;
}

bool PlatformStarts(const std::string& name) {
  if (name == "xcb") return PluginInstalled(name) && XServerAnswers();
  if (name.rfind("wayland", 0) == 0) return PluginInstalled("wayland") && WaylandAnswers();
  return true;
}

}  // namespace

// The platforms Qt tries, in its order: QT_QPA_PLATFORM's list ("wayland;xcb",
// each maybe with ":options"), else its default, which a Wayland session outside
// GNOME turns to wayland.
bool DisplayAnswers() {
  const auto variable = [](const char* name) {
    const char* value = std::getenv(name);
    return std::string(value != nullptr ? value : "");
  };
  std::string names = variable("QT_QPA_PLATFORM");
  if (names.empty()) {
    const auto lower = [&](const char* name) {
      std::string text = variable(name);
      for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return text;
    };
    const bool gnome = lower("XDG_CURRENT_DESKTOP").find("gnome") != std::string::npos ||
                       lower("XDG_SESSION_DESKTOP").find("gnome") != std::string::npos;
    names = variable("XDG_SESSION_TYPE") == "wayland" && !gnome ? "wayland" : "xcb";
  }
  std::size_t at = 0;
  while (at <= names.size()) {
    std::size_t end = names.find(';', at);
    if (end == std::string::npos) end = names.size();
    const std::string entry = names.substr(at, end - at);
    if (!entry.empty() && PlatformStarts(entry.substr(0, entry.find(':')))) return true;
    at = end + 1;
  }
  return false;
}

}  // namespace loader::forms::qt_view

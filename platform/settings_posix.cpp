// Stored settings, POSIX backend: "File" is a line of $XDG_CONFIG_HOME/Quillmark/
// Programmer.conf; the log-on check is an XDG autostart entry in the first folder of
// $XDG_CONFIG_DIRS. Both files are replaced whole (temporary file, fsync, rename), so
// a crash leaves the old file or the new one, never half of one.
#if !defined(_WIN32)
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/settings.h"

namespace platform {
namespace {

constexpr const char* kStoredFileFolder = "/Quillmark";
constexpr const char* kStoredFileName = "Programmer.conf";
constexpr std::string_view kFileKey = "File=";
constexpr const char* kAutostartName = "qmx-load-check.desktop";
constexpr std::string_view kEntryGroup = "[Desktop Entry]";
// Our own copy of the command line, read in preference to Exec: it needs no
// quoting, so what was written comes back byte for byte.
constexpr std::string_view kCommandLineKey = "X-QMX-Command-Line";
// Both files are a few lines; anything bigger is not ours.
constexpr std::size_t kMaxFileBytes = 1 << 20;

// The per-user configuration folder: $XDG_CONFIG_HOME when it is an absolute path
// (a relative one is to be ignored), else ~/.config. Empty without a home.
std::string ConfigHome() {
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  if (configHome != nullptr && configHome[0] == '/') return configHome;
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    const passwd* user = getpwuid(getuid());
    home = user != nullptr ? user->pw_dir : nullptr;
  }
  if (home == nullptr || home[0] != '/') return std::string();
  return std::string(home) + "/.config";
}

// The machine-wide autostart folder: under the first of $XDG_CONFIG_DIRS when that
// is an absolute path, else under /etc/xdg.
std::string AutostartFolder() {
  const char* dirs = std::getenv("XDG_CONFIG_DIRS");
  std::string first = dirs != nullptr ? std::string(dirs).substr(0, std::strcspn(dirs, ":")) : "";
  if (first.empty() || first[0] != '/') first = "/etc/xdg";
  return first + "/autostart";
}

// Reads a whole regular file. 0, or the errno that stopped it.
int ReadWholeFile(const std::string& path, std::string* content) {
  // Non-blocking, so a pipe put in the file's place cannot hang the reader.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = 0;
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    error = errno;
  } else if (!S_ISREG(status.st_mode)) {
    error = EISDIR;
  } else {
    content->clear();
    char buffer[4096];
    for (;;) {
      const ssize_t got = read(fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) error = errno;
      if (got <= 0) break;
      content->append(buffer, static_cast<std::size_t>(got));
      if (content->size() > kMaxFileBytes) {
        error = EFBIG;
        break;
      }
    }
  }
  close(fd);
  return error;
}

bool WriteAll(int fd, const std::string& content) {
  std::size_t written = 0;
  while (written < content.size()) {
    const ssize_t put = write(fd, content.data() + written, content.size() - written);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    written += static_cast<std::size_t>(put);
  }
  return true;
}

// Replaces folder/name with `content`: a temporary file beside it, synced to disk
// before the rename, so readers see the old file or the new one.
bool ReplaceFile(const std::string& folder, const char* name, const std::string& content,
                 mode_t mode) {
  std::string temporary = folder + "/." + name + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, content) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  ok = ok && rename(temporary.c_str(), (folder + "/" + name).c_str()) == 0;
  if (!ok) {
    unlink(temporary.c_str());
    return false;
  }
  // The rename itself lasts only once the folder is synced; a folder that cannot be
  // synced still holds the new file.
  const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd >= 0) {
    fsync(folderFd);
    close(folderFd);
  }
  return true;
}

// mkdir that accepts a folder already there.
bool MakeFolder(const std::string& path, mode_t mode) {
  if (mkdir(path.c_str(), mode) == 0) return true;
  struct stat status {};
  return errno == EEXIST && stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Makes every missing folder of an absolute path.
bool MakeFolders(const std::string& path, mode_t mode) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    if (!MakeFolder(path.substr(0, slash), mode)) return false;
  }
  return MakeFolder(path, mode);
}

std::vector<std::string> SplitLines(const std::string& content) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    lines.push_back(content.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// ---------------------------------------------------------------- desktop entry values

// A value's escapes (\s \n \t \r \\) in both directions. A leading blank is escaped
// too, since readers drop blanks after the '='.
std::string EscapeValue(std::string_view text) {
  std::string escaped;
  for (std::size_t i = 0; i < text.size(); ++i) {
    switch (text[i]) {
      case '\\': escaped += "\\\\"; break;
      case '\n': escaped += "\\n"; break;
      case '\t': escaped += "\\t"; break;
      case '\r': escaped += "\\r"; break;
      case ' ': escaped += i == 0 ? "\\s" : " "; break;
      default: escaped += text[i];
    }
  }
  return escaped;
}

std::string UnescapeValue(std::string_view value) {
  std::string text;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      text += value[i];
      continue;
    }
    switch (value[++i]) {
      case 's': text += ' '; break;
      case 'n': text += '\n'; break;
      case 't': text += '\t'; break;
      case 'r': text += '\r'; break;
      case '\\': text += '\\'; break;
      default:  // not an escape: kept as written
        text += '\\';
        text += value[i];
    }
  }
  return text;
}

// The raw value of `key` in the [Desktop Entry] group; false when it has none.
bool FindEntryValue(const std::vector<std::string>& lines, std::string_view key,
                    std::string* value) {
  bool inEntryGroup = false;
  for (const std::string& line : lines) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      inEntryGroup = line == kEntryGroup;
      continue;
    }
    const std::size_t equals = line.find('=');
    if (!inEntryGroup || equals == std::string::npos || equals == 0) continue;
    const std::size_t keyEnd = line.find_last_not_of(' ', equals - 1);
    if (keyEnd == std::string::npos || std::string_view(line).substr(0, keyEnd + 1) != key)
      continue;
    const std::size_t valueStart = line.find_first_not_of(' ', equals + 1);
    *value = valueStart == std::string::npos ? std::string() : line.substr(valueStart);
    return true;
  }
  return false;
}

// ---------------------------------------------------------------- Exec quoting

// Characters that make an Exec argument need quotes (the freedesktop.org rules for desktop entries).
constexpr const char* kReservedInExec = " \t\n\"'\\><~|&;$*?#()`";
// Characters escaped by a backslash inside quotes.
constexpr const char* kEscapedInQuotes = "\"`$\\";

void AppendQuoted(std::string* exec, std::string_view argument) {
  *exec += '"';
  for (char c : argument) {
    if (std::strchr(kEscapedInQuotes, c) != nullptr) *exec += '\\';
    *exec += c;
  }
  *exec += '"';
}

// The command line as Exec arguments: the program path (up to the last two
// blanks) always quoted, the words after it quoted where they need it; '%' doubled
// so no part reads as a field code. The value's own escapes come on top.
std::string ExecFromCommandLine(const std::string& commandLine) {
  const std::size_t split = commandLine.rfind("  ");
  std::string exec;
  AppendQuoted(&exec, std::string_view(commandLine).substr(0, split));
  if (split != std::string::npos) {
    std::size_t start = split + 2;
    while (start < commandLine.size()) {
      std::size_t end = commandLine.find(' ', start);
      if (end == std::string::npos) end = commandLine.size();
      const std::string_view word = std::string_view(commandLine).substr(start, end - start);
      if (!word.empty()) {
        exec += ' ';
        if (word.find_first_of(kReservedInExec) != std::string_view::npos)
          AppendQuoted(&exec, word);
        else
          exec += word;
      }
      start = end + 1;
    }
  }
  std::string doubled;
  for (char c : exec) {
    if (c == '%') doubled += '%';
    doubled += c;
  }
  return doubled;
}

// Undoes ExecFromCommandLine on Exec's unescaped text: the path, two blanks, and
// the other arguments one blank apart. False when a quote is left open or there is
// no argument at all.
bool CommandLineFromExec(std::string_view exec, std::string* commandLine) {
  std::vector<std::string> arguments;
  std::string argument;
  bool inArgument = false;
  bool quoted = false;
  for (std::size_t i = 0; i < exec.size(); ++i) {
    const char c = exec[i];
    const bool hasNext = i + 1 < exec.size();
    if (c == '%' && hasNext && exec[i + 1] == '%') {
      argument += '%';
      ++i;
    } else if (quoted && c == '\\' && hasNext &&
               std::strchr(kEscapedInQuotes, exec[i + 1]) != nullptr) {
      argument += exec[++i];
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && (c == ' ' || c == '\t' || c == '\n')) {
      if (inArgument) arguments.push_back(argument);
      argument.clear();
      inArgument = false;
      continue;
    } else {
      argument += c;
    }
    inArgument = true;
  }
  if (quoted) return false;
  if (inArgument) arguments.push_back(argument);
  if (arguments.empty()) return false;
  *commandLine = arguments[0];
  for (std::size_t i = 1; i < arguments.size(); ++i)
    *commandLine += (i == 1 ? "  " : " ") + arguments[i];
  return true;
}

}  // namespace

SettingStatus ReadStoredFile(std::string* path) {
  const std::string home = ConfigHome();
  if (home.empty()) return SettingStatus::kMissing;
  std::string content;
  const int error = ReadWholeFile(home + kStoredFileFolder + "/" + kStoredFileName, &content);
  if (error == ENOENT || error == ENOTDIR) return SettingStatus::kMissing;
  if (error != 0) return SettingStatus::kFailed;
  path->clear();
  for (const std::string& line : SplitLines(content)) {
    if (line.starts_with(kFileKey)) {
      *path = line.substr(kFileKey.size());
      break;
    }
  }
  return SettingStatus::kOk;
}

bool WriteStoredFile(const std::string& path) {
  // Stored as the rest of its line: a line break or a zero could not be read back.
  if (path.find_first_of(std::string_view("\n\0", 2)) != std::string::npos) return false;
  const std::string home = ConfigHome();
  if (home.empty()) return false;
  const std::string folder = home + kStoredFileFolder;
  if (!MakeFolders(folder, 0700)) return false;

  // Any other lines the file holds stay as they are; the first File line is
  // replaced, later ones (which no reader sees) dropped.
  std::string old;
  const int error = ReadWholeFile(folder + "/" + kStoredFileName, &old);
  if (error != 0 && error != ENOENT) return false;
  std::string content;
  bool replaced = false;
  for (const std::string& line : SplitLines(old)) {
    if (!line.starts_with(kFileKey)) {
      content += line + '\n';
    } else if (!replaced) {
      content += std::string(kFileKey) + path + '\n';
      replaced = true;
    }
  }
  if (!replaced) content += std::string(kFileKey) + path + '\n';
  return ReplaceFile(folder, kStoredFileName, content, 0600);
}

SettingStatus ReadStartupCheck(std::string* commandLine) {
  std::string content;
  const int error = ReadWholeFile(AutostartFolder() + "/" + kAutostartName, &content);
  if (error == ENOENT || error == ENOTDIR) return SettingStatus::kMissing;
  if (error != 0) return SettingStatus::kFailed;
  const std::vector<std::string> lines = SplitLines(content);
  std::string value;
  if (FindEntryValue(lines, kCommandLineKey, &value)) {
    *commandLine = UnescapeValue(value);
    return SettingStatus::kOk;
  }
  if (!FindEntryValue(lines, "Exec", &value)) return SettingStatus::kMissing;
  return CommandLineFromExec(UnescapeValue(value), commandLine) ? SettingStatus::kOk
                                                                : SettingStatus::kFailed;
}

bool WriteStartupCheck(const std::string& commandLine) {
  if (commandLine.empty() || commandLine.find('\0') != std::string::npos) return false;
  // The autostart folder may be new; the configuration folder above it must exist.
  const std::string folder = AutostartFolder();
  if (!MakeFolder(folder, 0755)) return false;
  std::string content(kEntryGroup);
  content += "\nType=Application\nName=QMX Load Check\n";
  content += "Exec=" + EscapeValue(ExecFromCommandLine(commandLine)) + "\n";
  content += std::string(kCommandLineKey) + "=" + EscapeValue(commandLine) + "\n";
  content += "X-GNOME-Autostart-enabled=true\nNoDisplay=true\n";
  return ReplaceFile(folder, kAutostartName, content, 0644);
}

bool ClearStartupCheck() {
  const std::string folder = AutostartFolder();
  struct stat status {};
  if (stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
      access(folder.c_str(), W_OK) != 0)
    return false;
  unlink((folder + "/" + kAutostartName).c_str());  // an entry already gone is fine
  return true;
}

}  // namespace platform
#endif  // !_WIN32

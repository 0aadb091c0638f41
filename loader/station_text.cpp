// The bench station's texts: its command line, its status lines and its record lines.
#include <chrono>
#include <cstdio>
#include <cstring>

#include "loader/station.h"

namespace loader::station {

const char kUsage[] =
    "usage: fwstation [--image FILE.a37] [--record FILE] [--watch] [--force] [--kernel] "
    "[SERIAL...]\n"
    "  Programs every unit found (or each SERIAL given) with one image, all at once.\n"
    "  --image FILE  the image to apply (S-Record); without it, the image this program\n"
    "                carries (fwimage pack)\n"
    "  --record FILE append one JSON line per unit to FILE (a production record)\n"
    "  --watch       program each unit as it is plugged in, until Ctrl-C; units being\n"
    "                programmed then finish first\n"
    "  --force       reprogram units that already run the image (as Flashwright's /f)\n"
    "  --kernel      rewrite the kernel too (as Flashwright's /k)\n"
    "  Exit: 0 every unit programmed or up to date; 1 the station could not run or keep\n"
    "  its record; 2 a unit failed, was not found or was stopped; 3 a unit was held by\n"
    "  another station or Flashwright.\n";

namespace {

// A serial number selects the unit and names its block: at most 11 characters, as
// Flashwright's /s takes them.
bool CheckSerial(const std::string& serial, std::string* error) {
  if (serial.empty()) {
    *error = "an empty serial number";
    return false;
  }
  if (serial.size() >= kSerialOptionSize) {
    *error = "serial number <" + serial + "> is too long: a serial number has at most 11 characters";
    return false;
  }
  return true;
}

void AppendJsonText(std::string& out, const std::string& text) {
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;  // bytes of 0x80 and above come from our own texts: ASCII
        }
    }
  }
  out += '"';
}

void AppendField(std::string& out, const char* key, const std::string& text) {
  out += out.size() > 1 ? ", \"" : "\"";
  out += key;
  out += "\": ";
  AppendJsonText(out, text);
}

void AppendRaw(std::string& out, const char* key, const std::string& value) {
  out += out.size() > 1 ? ", \"" : "\"";
  out += key;
  out += "\": ";
  out += value;
}

std::string VersionText(int major, int minor, int build) {
  char text[32];
  std::snprintf(text, sizeof text, "%d.%d.%d", major, minor, build);
  return text;
}

std::string HexWord(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

}  // namespace

bool ParseArguments(const std::vector<std::string>& args, StationOptions* options, bool* help,
                    std::string* error) {
  *help = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h" || arg == "/?") {
      *help = true;
      return true;
    }
    if (arg == "--image" || arg == "--record") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        *error = arg + " needs a file name";
        return false;
      }
      (arg == "--image" ? options->imagePath : options->recordPath) = args[++i];
    } else if (arg == "--watch") {
      options->watch = true;
    } else if (arg == "--force") {
      options->force = true;
    } else if (arg == "--kernel") {
      options->kernel = true;
    } else if (!arg.empty() && (arg[0] == '-' || arg[0] == '/')) {
      // Flashwright's /f and /k are asked for by name here: a word taken for a
      // serial number would only end as "not found".
      *error = "unknown option " + arg;
      return false;
    } else {
      if (!CheckSerial(arg, error)) return false;
      bool seen = false;
      for (const std::string& serial : options->serials) seen = seen || serial == arg;
      // Two jobs on one unit would take turns failing: the second is dropped.
      if (!seen) options->serials.push_back(arg);
    }
  }
  return true;
}

const char* StageName(Stage stage) {
  switch (stage) {
    case Stage::Waiting: return "waiting";
    case Stage::Searching: return "searching";
    case Stage::Checking: return "checking";
    case Stage::Programming: return "programming";
    case Stage::Restarting: return "restarting";
    case Stage::Done: return "done";
  }
  return "?";
}

const char* ResultName(Result result) {
  switch (result) {
    case Result::None: return "";
    case Result::Programmed: return "programmed";
    case Result::UpToDate: return "up to date";
    case Result::Failed: return "failed";
    case Result::NotFound: return "not found";
    case Result::InUse: return "in use";
    case Result::Stopped: return "stopped";
  }
  return "?";
}

std::string StatusLine(const UnitReport& report) {
  char head[96];
  std::snprintf(head, sizeof head, "%-11s  %-11s  %5d/%-5d", report.serial.c_str(),
                StageName(report.stage), static_cast<int>(report.blocksDone),
                static_cast<int>(report.blocksTotal));
  std::string line = head;
  if (report.result == Result::None) {
    line.erase(line.find_last_not_of(' ') + 1);
  } else {
    line += "  ";
    line += ResultName(report.result);
    if (!report.text.empty()) line += ": " + report.text;
  }
  return line;
}

std::string RecordLine(const UnitReport& report, const RecordContext& context) {
  std::string line = "{";
  AppendField(line, "time", context.time);
  AppendField(line, "station", context.station);
  AppendField(line, "serial", report.serial);
  if (report.beforeKnown) {
    const std::int32_t v = report.beforeVersion;
    AppendField(line, "before_release", ReleaseTypeName(WordByte(v, 24)));
    AppendField(line, "before_version",
                VersionText(WordByte(v, 16), WordByte(v, 8), WordByte(v, 0)));
    AppendField(line, "before_checksum", HexWord(report.beforeChecksum));
    AppendRaw(line, "before_status", std::to_string(report.beforeStatus));
  } else {
    for (const char* key : {"before_release", "before_version", "before_checksum", "before_status"})
      AppendRaw(line, key, "null");
  }
  const VersionRecord* image = context.image;
  AppendField(line, "image_release", image ? ReleaseTypeName(image->version[0]) : "");
  AppendField(line, "image_version",
              image ? VersionText(image->version[1], image->version[2], image->version[3]) : "");
  AppendField(line, "image_checksum", image ? HexWord(image->checksum) : "");
  AppendField(line, "image", context.imageName);
  AppendField(line, "decision", report.decision);
  AppendField(line, "result", ResultName(report.result));
  AppendField(line, "text", report.text);
  AppendRaw(line, "blocks", std::to_string(report.blocksDone));
  AppendRaw(line, "blocks_total", std::to_string(report.blocksTotal));
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.2f", report.seconds);
  AppendRaw(line, "seconds", seconds);
  line += "}\n";
  return line;
}

std::string UtcNow() {
  using namespace std::chrono;
  const auto now = floor<seconds>(system_clock::now());
  const auto days = floor<std::chrono::days>(now);
  const year_month_day date{days};
  const hh_mm_ss<seconds> time{now - days};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

}  // namespace loader::station

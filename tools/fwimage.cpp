// fwimage: makes firmware image files, checks them as the loader's window does, packs
// them behind a program file and describes what a file carries.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "loader/image.h"
#include "platform/bytes.h"
#include "tools/image_builder.h"

namespace {

namespace fs = std::filesystem;

constexpr int kExitUsage = 3;

// Where a PE file keeps the offset of its "PE\0\0" signature (e_lfanew).
constexpr std::streamoff kPeOffsetField = 0x3C;

const char kUsage[] =
    "usage:\n"
    "  fwimage make [options] -o FILE.a37\n"
    "      --release N|NAME       release type 0..255 or its name (\"Beta Test\"), or\n"
    "                             special, development (dev), alpha, beta, full\n"
    "                             (default full)\n"
    "      --version A.B.C        application version (default 1.0.0)\n"
    "      --kernel-version A.B.C.D  kernel version (default 1.0.0.0)\n"
    "      --date TEXT            compile date, at most 16 characters (default \"Oct 10 2008\")\n"
    "      --time TEXT            compile time, at most 16 characters (default \"15:16:35\")\n"
    "      --app-size BYTES       application size; it ends at 0x8000 + BYTES (default 0x6000)\n"
    "      --kernel-size BYTES    kernel end address, above 0x1030, at most 0x8000 (default "
    "0x3000)\n"
    "      --kernel-copy          add a kernel copy after the application\n"
    "      --no-kernel            application only\n"
    "      --seed N               seed of the pseudo-random code bytes (default 1)\n"
    "  fwimage check FILE.a37\n"
    "      load and check as the loader's window does; prints the check's notes and the\n"
    "      reader's or the check's text\n"
    "  fwimage pack PROGRAM IMAGE.a37 -o OUT\n"
    "      write OUT = PROGRAM (without any image it carries) + image + trailer;\n"
    "      PROGRAM is a PE or ELF executable, OUT a file other than both inputs\n"
    "  fwimage info FILE\n"
    "      describe the image a program file or an S-Record file carries\n"
    "Numbers are decimal or hexadecimal after 0x.\n"
    "Exit codes: 0 success; 1 S-Record reader error (check, pack), or no readable\n"
    "image (info); 2 image check error (check, pack); 3 bad arguments, or a file that\n"
    "cannot be read or written (missing, a directory, empty, OUT an input, PROGRAM\n"
    "no executable).\n";

int Usage(const char* problem) {
  if (problem) std::fprintf(stderr, "fwimage: %s\n", problem);
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

int UsageAbout(const char* what, const std::string& value) {
  const std::string text = std::string(what) + " '" + value + "'";
  return Usage(text.c_str());
}

// "A.B.C" (parts == 3) or "A.B.C.D", each part 0..255.
bool ParseVersion(const std::string& text, std::uint8_t* out, int parts) {
  std::size_t start = 0;
  for (int i = 0; i < parts; ++i) {
    const std::size_t dot = text.find('.', start);
    const bool last = i == parts - 1;
    if (last != (dot == std::string::npos)) return false;
    const auto n = tools::ParseNumber(text.substr(start, last ? std::string::npos : dot - start));
    if (!n || *n > 255) return false;
    out[i] = static_cast<std::uint8_t>(*n);
    start = dot + 1;
  }
  return true;
}

std::optional<std::uint32_t> ParseSize(const std::string& text) {
  const auto n = tools::ParseNumber(text);
  if (!n || *n > 0xFFFFFFFFu) return std::nullopt;
  return static_cast<std::uint32_t>(*n);
}

// Says why `path` cannot be an input, before any command reads it: missing or
// unreadable, a folder or other non-file, or empty (which reads as no image at all).
std::optional<std::string> InputProblem(const std::string& path) {
  std::error_code ec;
  const fs::file_status status = fs::status(fs::path(path), ec);
  if (fs::is_directory(status)) return "<" + path + "> is a directory, not a file";
  if (fs::exists(status) && !fs::is_regular_file(status))
    return "<" + path + "> is not a regular file";
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return "Could not open <" + path + "> - " + std::strerror(errno);
  const int first = std::fgetc(f);
  const bool failed = std::ferror(f) != 0;
  const int reason = errno;
  std::fclose(f);
  if (failed) return "Could not read <" + path + "> - " + std::strerror(reason);
  if (first == EOF) return "<" + path + "> is empty";
  return std::nullopt;
}

// The first input with a problem is reported; true when all can be read.
bool InputsReadable(std::initializer_list<const std::string*> paths) {
  for (const std::string* path : paths) {
    if (auto problem = InputProblem(*path)) {
      std::fprintf(stderr, "%s\n", problem->c_str());
      return false;
    }
  }
  return true;
}

// A PE executable ("MZ", and e_lfanew pointing at "PE\0\0" inside the file) or an ELF
// one: packing anything else would give a file that info calls a program but no
// system runs.
bool IsExecutable(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::uint8_t head[kPeOffsetField + 4] = {};
  if (!file.read(reinterpret_cast<char*>(head), 4)) return false;
  if (head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F') return true;
  if (head[0] != 'M' || head[1] != 'Z') return false;
  if (!file.read(reinterpret_cast<char*>(head) + 4, sizeof head - 4)) return false;
  const std::uint32_t peOffset = platform::ReadLE32(head + kPeOffsetField);
  std::uint8_t signature[4] = {};
  file.seekg(static_cast<std::streamoff>(peOffset));
  if (!file.read(reinterpret_cast<char*>(signature), sizeof signature)) return false;
  return signature[0] == 'P' && signature[1] == 'E' && signature[2] == 0 && signature[3] == 0;
}

// Says why `path` cannot be written, before any work: a folder, or a folder that is
// missing (else the text would name the temporary file written first).
std::optional<std::string> OutputProblem(const std::string& path) {
  const fs::path out(path);
  std::error_code ec;
  if (fs::is_directory(out, ec)) return "<" + path + "> is a directory, not a file";
  const fs::path folder = out.parent_path();
  if (!folder.empty() && !fs::is_directory(folder, ec))
    return "Could not create <" + path + "> - no folder <" + folder.string() + ">";
  return std::nullopt;
}

bool OutputWritable(const std::string& path) {
  if (auto problem = OutputProblem(path)) {
    std::fprintf(stderr, "%s\n", problem->c_str());
    return false;
  }
  return true;
}

// The same file, however it is named (another spelling, a link); compares the files'
// identities, not their names.
bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return fs::equivalent(fs::path(a), fs::path(b), ec) && !ec;
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int Make(const std::vector<std::string>& args) {
  tools::ImageDescription desc;
  std::string out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; };
    if (a == "--kernel-copy") {
      desc.includeKernelCopy = true;
    } else if (a == "--no-kernel") {
      desc.includeKernel = false;
    } else if (a == "-o" || a == "--release" || a == "--version" || a == "--kernel-version" ||
               a == "--date" || a == "--time" || a == "--app-size" || a == "--kernel-size" ||
               a == "--seed") {
      const std::string* v = value();
      if (!v) return UsageAbout("missing value after", a);
      if (a == "-o") {
        out = *v;
      } else if (a == "--release") {
        const auto r = tools::ParseReleaseType(*v);
        if (!r) return UsageAbout("bad release type", *v);
        desc.releaseType = *r;
      } else if (a == "--version") {
        if (!ParseVersion(*v, desc.appVersion, 3)) return UsageAbout("bad version (A.B.C)", *v);
      } else if (a == "--kernel-version") {
        if (!ParseVersion(*v, desc.kernelVersion, 4))
          return UsageAbout("bad kernel version (A.B.C.D)", *v);
      } else if (a == "--date") {
        desc.compileDate = *v;
      } else if (a == "--time") {
        desc.compileTime = *v;
      } else if (a == "--app-size" || a == "--kernel-size") {
        const auto n = ParseSize(*v);
        if (!n) return UsageAbout("bad size", *v);
        (a == "--app-size" ? desc.appSize : desc.kernelSize) = *n;
      } else {
        const auto n = tools::ParseNumber(*v);
        if (!n) return UsageAbout("bad seed", *v);
        desc.seed = *n;
      }
    } else {
      return UsageAbout("unknown argument", a);
    }
  }
  if (out.empty()) return Usage("make needs -o FILE");
  if (!OutputWritable(out)) return kExitUsage;
  if (auto problem = tools::ValidateDescription(desc)) return Usage(problem->c_str());
  std::string header = BaseName(out);
  if (header.size() > 64) header.resize(64);
  if (auto e = tools::WriteImageFile(desc, out, header)) {
    std::fprintf(stderr, "fwimage: %s\n", e->c_str());
    return kExitUsage;
  }
  return 0;
}

// The window's load, exactly; its notes and text as the window shows them.
int Check(const std::string& path) {
  if (!InputsReadable({&path})) return kExitUsage;
  auto image = std::make_unique<loader::FirmwareImage>();
  const loader::SRecordLoadResult r = loader::LoadSRecordFile(path.c_str(), *image, stdout);
  if (r.error) std::fputs(r.error, stdout);
  switch (r.status) {
    case loader::SRecordLoadStatus::Loaded: return 0;
    case loader::SRecordLoadStatus::ReaderError: return 1;
    case loader::SRecordLoadStatus::CheckError: return 2;
  }
  return 2;
}

int Pack(const std::vector<std::string>& args) {
  std::vector<std::string> files;
  std::string out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-o") {
      if (i + 1 >= args.size()) return UsageAbout("missing value after", "-o");
      out = args[++i];
    } else {
      files.push_back(args[i]);
    }
  }
  if (files.size() != 2 || out.empty()) return Usage("pack needs PROGRAM IMAGE.a37 -o OUT");
  const std::string& program = files[0];
  const std::string& image = files[1];
  if (!InputsReadable({&program, &image})) return kExitUsage;
  // Packing writes through a temporary file, so this would not corrupt anything, but
  // it would replace an input the user still needs.
  for (const auto& [input, role] : {std::pair{&program, "program"}, std::pair{&image, "image"}}) {
    if (SameFile(out, *input)) {
      std::fprintf(stderr, "Refusing to write <%s>: it is the %s <%s> itself; name another OUT\n",
                   out.c_str(), role, input->c_str());
      return kExitUsage;
    }
  }
  if (!OutputWritable(out)) return kExitUsage;
  if (!IsExecutable(program)) {
    std::fprintf(stderr,
                 "<%s> is not a program file: neither a PE executable (MZ header pointing at a "
                 "PE signature) nor an ELF executable\n",
                 program.c_str());
    return kExitUsage;
  }
  const tools::PackResult r = tools::PackProgram(program, image, out);
  if (r.status == tools::PackStatus::Packed) return 0;
  std::fflush(stdout);
  std::fputs(r.error.c_str(), stderr);
  if (r.error.empty() || r.error.back() != '\n') std::fputc('\n', stderr);
  switch (r.status) {
    case tools::PackStatus::ReaderError: return 1;
    case tools::PackStatus::CheckError: return 2;
    default: return kExitUsage;
  }
}

int Info(const std::string& path) {
  if (!InputsReadable({&path})) return kExitUsage;
  const tools::InfoResult r = tools::Describe(path);
  switch (r.status) {
    case tools::InfoStatus::Described: std::fputs(r.text.c_str(), stdout); return 0;
    case tools::InfoStatus::NoImage: std::fputs(r.text.c_str(), stdout); return 1;
    case tools::InfoStatus::Unreadable: std::fputs(r.text.c_str(), stderr); return 1;
    case tools::InfoStatus::IoError: break;
  }
  std::fputs(r.text.c_str(), stderr);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage(nullptr);
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "make") return Make(args);
  if (command == "check") return args.size() == 1 ? Check(args[0]) : Usage("check needs FILE.a37");
  if (command == "pack") return Pack(args);
  if (command == "info") return args.size() == 1 ? Info(args[0]) : Usage("info needs FILE");
  if (command == "-h" || command == "--help" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  return UsageAbout("unknown command", command);
}

// Builds, writes and packs firmware images; every read and check of the result goes
// through the loader's image code, so what we ship is what the loader accepts.
#include "tools/image_builder.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "platform/bytes.h"

namespace tools {
namespace {

namespace fs = std::filesystem;
namespace cb = loader::checksum_block;

constexpr std::uint32_t kMinKernelEnd = loader::kKernelBlockAddress + cb::kSize;  // exclusive
constexpr std::size_t kMaxHeaderText = 64;
constexpr std::uint32_t kRecordData = 32;

// splitmix64: small, fast and the same on every platform and compiler, unlike the
// standard library's distributions.
class CodeBytes {
 public:
  explicit CodeBytes(std::uint64_t seed) : state_(seed) {}
  void Fill(std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      if (left_ == 0) {
        word_ = Next();
        left_ = 8;
      }
      p[i] = static_cast<std::uint8_t>(word_);
      word_ >>= 8;
      --left_;
    }
  }

 private:
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint64_t state_;
  std::uint64_t word_ = 0;
  int left_ = 0;
};

std::string ErrnoText() {
  return std::strerror(errno);
}

std::string WithPath(const char* before, const std::string& path, const std::string& after) {
  return std::string(before) + "<" + path + ">" + after;
}

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
  return text;
}

// The temporary name a file is written under before it replaces `path`.
fs::path TempBeside(const std::string& path, const char* suffix) {
  fs::path temp(path);
  temp += suffix;
  return temp;
}

void RemoveQuietly(const fs::path& p) {
  std::error_code ec;
  fs::remove(p, ec);
}

std::optional<std::string> ReadFileBytes(const std::string& path, std::vector<std::uint8_t>& out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return WithPath("Could not open ", path, " - " + ErrnoText());
  out.clear();
  std::uint8_t chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out.insert(out.end(), chunk, chunk + n);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return WithPath("Could not read ", path, "");
  return std::nullopt;
}

// Writes a whole file; on failure removes what was written.
std::optional<std::string> WriteFileBytes(const fs::path& path, const std::uint8_t* data,
                                          std::size_t size) {
  const std::string name = path.string();
  std::FILE* f = std::fopen(name.c_str(), "wb");
  if (!f) return WithPath("Could not create ", name, " - " + ErrnoText());
  bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
  ok = std::fflush(f) == 0 && ok;
  ok = std::fclose(f) == 0 && ok;
  if (!ok) {
    std::string text = WithPath("Could not write ", name, " - " + ErrnoText());
    RemoveQuietly(path);
    return text;
  }
  return std::nullopt;
}

// Moves a finished temporary file over `path` (replacing it), or removes it.
std::optional<std::string> ReplaceWith(const fs::path& temp, const std::string& path) {
  std::error_code ec;
  fs::rename(temp, fs::path(path), ec);
  if (ec) {
    RemoveQuietly(temp);
    return WithPath("Could not replace ", path, " - " + ec.message());
  }
  return std::nullopt;
}

void PutBlock(std::uint8_t* block, std::uint32_t end, const std::uint8_t version[4],
              const std::string& date, const std::string& time) {
  platform::WriteBE32(block + cb::kMagic, loader::kBlockMagic);
  platform::WriteBE32(block + cb::kChecksum, 0);
  platform::WriteBE32(block + cb::kEndAddress, end);
  std::memcpy(block + cb::kVersion, version, 4);
  std::memset(block + cb::kCompileDate, 0, 2 * cb::kTextSize);
  std::memcpy(block + cb::kCompileDate, date.data(), date.size());
  std::memcpy(block + cb::kCompileTime, time.data(), time.size());
}

// One S-Record line: type, count, address, data, checksum, line feed.
void AppendRecord(std::string& out, char type, std::uint32_t address, int addressBytes,
                  const std::uint8_t* data, std::size_t size) {
  static const char kDigits[] = "0123456789ABCDEF";
  auto put = [&out](std::uint8_t b) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  };
  const auto count = static_cast<std::uint8_t>(addressBytes + size + 1);
  std::uint32_t sum = count;
  out += 'S';
  out += type;
  put(count);
  for (int i = addressBytes - 1; i >= 0; --i) {
    const auto b = static_cast<std::uint8_t>(address >> (8 * i));
    sum += b;
    put(b);
  }
  for (std::size_t i = 0; i < size; ++i) {
    sum += data[i];
    put(data[i]);
  }
  put(static_cast<std::uint8_t>(~sum));
  out += '\n';
}

std::string TextLine(const char* key, const std::string& value) {
  return std::string(key) + ": " + value + "\n";
}

std::string VersionText(const std::uint8_t* v, int parts) {
  char text[32];
  if (parts == 3)
    std::snprintf(text, sizeof text, "%d.%d.%d", v[0], v[1], v[2]);
  else
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", v[0], v[1], v[2], v[3]);
  return text;
}

// The "Key: value" lines for a loaded image. `trailerOffset` is set for a program file.
InfoResult DescribeLoaded(const std::string& path, const loader::FirmwareImage& image,
                          std::optional<std::uint32_t> trailerOffset) {
  const std::optional<loader::VersionRecord> app = image.Version();
  if (!app || app->magic != loader::kBlockMagic)
    return {InfoStatus::Unreadable, "No application checksum block in <" + path + ">\n"};
  const std::uint8_t* buf = image.ImageBuffer.data();
  const bool kernel = platform::ReadBE32(buf + loader::kKernelBlockAddress) == loader::kBlockMagic;

  std::string text = TextLine("File", path);
  text += TextLine("Form", trailerOffset ? "program file" : "S-Record file");
  text += TextLine("Release", std::string(loader::ReleaseTypeName(app->version[0])) + " " +
                                  VersionText(app->version + 1, 3));
  if (kernel) {
    const loader::VersionRecord k = loader::ReadVersionRecord(buf + loader::kKernelBlockAddress);
    text += TextLine("Kernel", VersionText(k.version, 4));
  } else {
    text += TextLine("Kernel", "none");
  }
  text += TextLine("Compile date", app->compileDate);
  text += TextLine("Compile time", app->compileTime);
  char length[48];
  std::snprintf(length, sizeof length, "0x%X (%u bytes)", static_cast<unsigned>(image.ImageLength),
                static_cast<unsigned>(image.ImageLength));
  text += TextLine("Image length", length);
  if (trailerOffset) {
    text += TextLine("Application block offset", Hex(*trailerOffset));
    const std::uint32_t appEnd = app->endAddress;
    const bool copy =
        kernel && appEnd <= loader::kImageSize - loader::kKernelBlockAddress - 4 &&
        platform::ReadBE32(buf + appEnd + loader::kKernelBlockAddress) == loader::kBlockMagic;
    text += TextLine("Kernel copy", copy ? "present" : "not present");
  }
  return {InfoStatus::Described, text};
}

}  // namespace

std::optional<std::string> ValidateDescription(const ImageDescription& d) {
  char text[160];
  if (d.releaseType > 255) {
    std::snprintf(text, sizeof text, "release type %u is not 0 to 255", d.releaseType);
    return text;
  }
  if (d.compileDate.size() > cb::kTextSize) return "compile date text is longer than 16 characters";
  if (d.compileTime.size() > cb::kTextSize) return "compile time text is longer than 16 characters";
  if (d.appSize < cb::kSize)
    return "application size must be at least 48 bytes (its checksum block)";
  const std::uint64_t appEnd = std::uint64_t{loader::kApplicationBlockAddress} + d.appSize;
  if (appEnd > loader::kImageSize) {
    std::snprintf(text, sizeof text, "application size 0x%X ends beyond the image (0x%X)",
                  static_cast<unsigned>(d.appSize), static_cast<unsigned>(loader::kImageSize));
    return text;
  }
  if (!d.includeKernel) {
    if (d.includeKernelCopy) return "a kernel copy needs a kernel";
    return std::nullopt;
  }
  if (d.kernelSize <= kMinKernelEnd) {
    std::snprintf(text, sizeof text,
                  "kernel size 0x%X must be above 0x%X (its checksum block at 0x1000)",
                  static_cast<unsigned>(d.kernelSize), static_cast<unsigned>(kMinKernelEnd));
    return text;
  }
  if (d.kernelSize > loader::kApplicationBlockAddress) {
    std::snprintf(text, sizeof text, "kernel size 0x%X overlaps the application (at most 0x8000)",
                  static_cast<unsigned>(d.kernelSize));
    return text;
  }
  if (d.includeKernelCopy && appEnd + d.kernelSize > loader::kImageSize) {
    std::snprintf(text, sizeof text,
                  "application end 0x%X plus kernel copy 0x%X ends beyond the image (0x%X)",
                  static_cast<unsigned>(appEnd), static_cast<unsigned>(d.kernelSize),
                  static_cast<unsigned>(loader::kImageSize));
    return text;
  }
  return std::nullopt;
}

std::optional<std::string> BuildImage(const ImageDescription& d, loader::FirmwareImage& image) {
  if (auto problem = ValidateDescription(d)) return problem;

  // Start where the window's load starts, so every byte the file does not define
  // (0xFF filler, the zero at each page start below 0x8000) is what the loader sees.
  image.ImageLength = 0;
  image.ClearImage();
  std::uint8_t* buf = image.ImageBuffer.data();
  CodeBytes code(d.seed);
  const std::uint32_t appStart = loader::kApplicationBlockAddress;
  const std::uint32_t appEnd = appStart + d.appSize;
  const std::uint32_t kEnd = d.includeKernel ? d.kernelSize : 0;

  if (d.includeKernel) {
    code.Fill(buf, kEnd);
    std::uint8_t* block = buf + loader::kKernelBlockAddress;
    PutBlock(block, kEnd, d.kernelVersion, d.compileDate, d.compileTime);
    platform::WriteBE32(block + cb::kChecksum,
                        loader::RegionChecksum(buf, 0, loader::kKernelBlockAddress, kEnd));
  }

  code.Fill(buf + appStart, d.appSize);
  const std::uint8_t appVersion[4] = {static_cast<std::uint8_t>(d.releaseType), d.appVersion[0],
                                      d.appVersion[1], d.appVersion[2]};
  std::uint8_t* block = buf + appStart;
  PutBlock(block, appEnd, appVersion, d.compileDate, d.compileTime);
  // The copy goes in before the application's checksum: with an odd end address the
  // application's last word takes the copy's first byte.
  if (d.includeKernelCopy) std::memcpy(buf + appEnd, buf, kEnd);
  const std::uint32_t sum = d.includeKernel
                                ? loader::RegionChecksum(buf, appStart, appStart, appEnd)
                                : loader::NoKernelChecksum(buf, appEnd);
  platform::WriteBE32(block + cb::kChecksum, sum);

  image.ImageLength = d.includeKernelCopy ? appEnd + kEnd : appEnd;
  image.ApplicationBlock = loader::kApplicationBlockAddress;
  image.KernelBlock = loader::kKernelBlockAddress;
  return std::nullopt;
}

std::vector<ByteRange> DefinedRanges(const ImageDescription& d) {
  if (ValidateDescription(d)) return {};
  std::vector<ByteRange> ranges;
  const std::uint32_t appEnd = loader::kApplicationBlockAddress + d.appSize;
  if (d.includeKernel) ranges.push_back({0, d.kernelSize});
  ranges.push_back({loader::kApplicationBlockAddress, appEnd});
  if (d.includeKernelCopy) ranges.push_back({appEnd, appEnd + d.kernelSize});
  return ranges;
}

std::optional<std::string> WriteSRecord(const loader::FirmwareImage& image,
                                        const std::vector<ByteRange>& ranges,
                                        const std::string& path, const std::string& header) {
  if (header.size() > kMaxHeaderText) return "S-Record header text is longer than 64 characters";
  if (image.ImageBuffer.size() != loader::kImageSize) return "image buffer has the wrong size";
  for (const ByteRange& r : ranges) {
    if (r.begin > r.end || r.end > loader::kImageSize) {
      return "range " + Hex(r.begin) + " to " + Hex(r.end) + " lies outside the image";
    }
  }

  std::string text;
  AppendRecord(text, '0', 0, 2, reinterpret_cast<const std::uint8_t*>(header.data()),
               header.size());
  for (const ByteRange& r : ranges) {
    for (std::uint32_t a = r.begin; a < r.end; a += kRecordData) {
      const std::uint32_t n = std::min(kRecordData, r.end - a);
      AppendRecord(text, '2', a, 3, image.ImageBuffer.data() + a, n);
    }
  }
  AppendRecord(text, '8', 0, 3, nullptr, 0);

  // Binary mode: the same line feeds on every platform; the reader takes them in text mode.
  const fs::path temp = TempBeside(path, ".part");
  if (auto e =
          WriteFileBytes(temp, reinterpret_cast<const std::uint8_t*>(text.data()), text.size()))
    return e;
  return ReplaceWith(temp, path);
}

std::optional<std::string> WriteImageFile(const ImageDescription& desc, const std::string& path,
                                          const std::string& header) {
  auto image = std::make_unique<loader::FirmwareImage>();
  if (auto e = BuildImage(desc, *image)) return e;
  return WriteSRecord(*image, DefinedRanges(desc), path, header);
}

PackResult PackProgram(const std::string& programPath, const std::string& srecPath,
                       const std::string& outPath, std::FILE* notes) {
  using loader::kBlockMagic;
  using loader::kImageSize;
  using loader::kKernelBlockAddress;

  // The program's own bytes, without any image it already carries: packing again
  // replaces the image instead of stacking a second one behind the first.
  std::vector<std::uint8_t> program;
  if (auto e = ReadFileBytes(programPath, program)) return {PackStatus::IoError, *e};
  {
    auto old = std::make_unique<loader::FirmwareImage>();
    const loader::AppendedImageResult r = loader::LoadAppendedImage(programPath.c_str(), *old);
    switch (r.status) {
      case loader::AppendedImageStatus::Loaded:
        if (std::uint64_t{r.length} + loader::kTrailerSize > program.size())
          return {PackStatus::IoError, WithPath("Image trailer of ", programPath, " is damaged")};
        program.resize(program.size() - loader::kTrailerSize - r.length);
        break;
      case loader::AppendedImageStatus::NoImage: break;
      case loader::AppendedImageStatus::CannotOpen:
        return {PackStatus::IoError, WithPath("Could not open ", programPath, "")};
      case loader::AppendedImageStatus::Invalid:
        return {PackStatus::IoError,
                WithPath("Image trailer of ", programPath, " is damaged: " + r.error)};
    }
  }

  // The S-Record file exactly as the window's load takes it.
  auto image = std::make_unique<loader::FirmwareImage>();
  const loader::SRecordLoadResult loaded = loader::LoadSRecordFile(srecPath.c_str(), *image, notes);
  switch (loaded.status) {
    case loader::SRecordLoadStatus::Loaded: break;
    case loader::SRecordLoadStatus::ReaderError: return {PackStatus::ReaderError, loaded.error};
    case loader::SRecordLoadStatus::CheckError: return {PackStatus::CheckError, loaded.error};
  }

  // Shipped form: [0, appEnd) as loaded (kernel, gap, application), then the kernel copy.
  const std::uint8_t* buf = image->ImageBuffer.data();
  const std::uint32_t appEnd =
      platform::ReadBE32(buf + loader::kApplicationBlockAddress + cb::kEndAddress);
  const bool kernel = platform::ReadBE32(buf + kKernelBlockAddress) == kBlockMagic;
  const std::uint32_t kEnd =
      kernel ? platform::ReadBE32(buf + kKernelBlockAddress + cb::kEndAddress) : 0;
  if (appEnd > kImageSize || kEnd > kImageSize - appEnd) {
    return {PackStatus::CheckError, "No room for the kernel copy: application end " + Hex(appEnd) +
                                        " plus kernel end " + Hex(kEnd) + " is beyond " +
                                        Hex(kImageSize) + "\n"};
  }
  std::vector<std::uint8_t> packed(program);
  packed.insert(packed.end(), buf, buf + appEnd);
  if (kernel) {
    const bool ownCopy = appEnd <= kImageSize - kKernelBlockAddress - 4 &&
                         platform::ReadBE32(buf + appEnd + kKernelBlockAddress) == kBlockMagic;
    const std::uint8_t* copy = ownCopy ? buf + appEnd : buf;
    packed.insert(packed.end(), copy, copy + kEnd);
  }
  const std::uint32_t length = appEnd + kEnd;
  std::uint8_t trailer[loader::kTrailerSize];
  platform::WriteLE32(trailer, kBlockMagic);
  platform::WriteLE32(trailer + 4, length);
  platform::WriteLE32(trailer + 8, loader::kApplicationBlockAddress);
  packed.insert(packed.end(), trailer, trailer + sizeof trailer);

  const fs::path temp = TempBeside(outPath, ".part");
  if (auto e = WriteFileBytes(temp, packed.data(), packed.size())) return {PackStatus::IoError, *e};

  // Read the result back the way the loader starts from it, before it may replace OUT.
  auto fail = [&temp](PackStatus status, std::string text) {
    RemoveQuietly(temp);
    return PackResult{status, std::move(text)};
  };
  auto back = std::make_unique<loader::FirmwareImage>();
  const loader::AppendedImageResult r = loader::LoadAppendedImage(temp.string().c_str(), *back);
  if (r.status != loader::AppendedImageStatus::Loaded || r.length != length ||
      r.offset != loader::kApplicationBlockAddress || back->TrailerMagic != kBlockMagic ||
      !std::equal(packed.begin() + static_cast<std::ptrdiff_t>(program.size()),
                  packed.end() - loader::kTrailerSize, back->ImageBuffer.begin())) {
    return fail(PackStatus::IoError,
                WithPath("Reading back ", temp.string(), " does not give the image written"));
  }
  // The read-back check's notes would only repeat the first ones; they go to a scratch
  // file beside OUT (or to `notes` when that cannot be made).
  const fs::path scratch = TempBeside(outPath, ".notes");
  std::FILE* sink = std::fopen(scratch.string().c_str(), "wb");
  const char* problem = back->CheckImage(sink ? sink : notes);
  if (sink) {
    std::fclose(sink);
    RemoveQuietly(scratch);
  }
  if (problem) {
    return fail(PackStatus::CheckError,
                std::string("The packed image fails its check: ") + problem);
  }

  std::error_code ec;
  const fs::perms perms = fs::status(fs::path(programPath), ec).permissions();
  if (!ec) fs::permissions(temp, perms, ec);
  if (ec) {
    return fail(PackStatus::IoError,
                WithPath("Could not set the permissions of ", temp.string(), " - " + ec.message()));
  }
  if (auto e = ReplaceWith(temp, outPath)) return {PackStatus::IoError, *e};
  return {};
}

InfoResult Describe(const std::string& path) {
  auto image = std::make_unique<loader::FirmwareImage>();
  const loader::AppendedImageResult r = loader::LoadAppendedImage(path.c_str(), *image);
  switch (r.status) {
    case loader::AppendedImageStatus::Loaded: return DescribeLoaded(path, *image, r.offset);
    case loader::AppendedImageStatus::CannotOpen:
      return {InfoStatus::IoError, WithPath("Could not open ", path, "\n")};
    case loader::AppendedImageStatus::Invalid: {
      std::string text = r.error;
      if (text.empty() || text.back() != '\n') text += '\n';
      return {InfoStatus::Unreadable, text};
    }
    case loader::AppendedImageStatus::NoImage: break;
  }

  int first = EOF;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    first = std::fgetc(f);
    std::fclose(f);
  } else {
    return {InfoStatus::IoError, WithPath("Could not open ", path, " - " + ErrnoText() + "\n")};
  }
  if (first != 'S') return {InfoStatus::NoImage, "no image\n"};

  image->ImageLength = 0;
  image->ClearImage();
  if (const char* e = image->ReadSRecordFile(path.c_str())) return {InfoStatus::Unreadable, e};
  image->ApplicationBlock = loader::kApplicationBlockAddress;
  image->KernelBlock = loader::kKernelBlockAddress;
  return DescribeLoaded(path, *image, std::nullopt);
}

std::optional<std::uint64_t> ParseNumber(const std::string& text) {
  std::size_t i = 0;
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  if (i >= text.size()) return std::nullopt;
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = static_cast<unsigned>(c - 'A' + 10);
    else
      return std::nullopt;
    if (value > (UINT64_MAX - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  return value;
}

std::optional<unsigned> ParseReleaseType(const std::string& text) {
  if (auto n = ParseNumber(text)) {
    if (*n > 255) return std::nullopt;
    return static_cast<unsigned>(*n);
  }
  std::string lower;
  for (char c : text) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static const struct {
    const char* name;
    unsigned value;
  } kForms[] = {{"special", 0}, {"development", 1}, {"dev", 1},  {"alpha test", 2},
                {"alpha", 2},   {"beta test", 3},   {"beta", 3}, {"full release", 4},
                {"full", 4},    {"release", 4}};
  for (const auto& form : kForms) {
    if (lower == form.name) return form.value;
  }
  return std::nullopt;
}

}  // namespace tools

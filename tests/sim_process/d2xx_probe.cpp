// d2xx_probe: a minimal D2XX client for end-to-end tests. Binds the library the
// loader would (platform::d2xx::Bind, so FLASHWRIGHT_D2XX applies), opens one
// device, prints its EEPROM strings, writes bytes, reads what comes back, closes.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/d2xx.h"

namespace {

namespace d2xx = platform::d2xx;

constexpr const char* kUsage =
    "usage: d2xx_probe [--index N] [--write HEX]... [--read N] [--wait MS] [--hold MS]\n"
    "  Opens device N (default 0) and prints \"key: value\" lines: open (the status),\n"
    "  vendor-id, product-id, manufacturer, manufacturer-id, description, serial;\n"
    "  written (per --write: the bytes, hex digits with optional spaces); read (the\n"
    "  bytes received, in hex, once N have come or --wait ms (default 2000) passed);\n"
    "  close. --hold keeps the device open that long before closing.\n"
    "  Exit status: 0 every call succeeded, 1 a call failed (\"<call>: status S\"),\n"
    "  2 usage, 3 the library could not be bound.\n";

struct Options {
  int index = 0;
  std::vector<std::vector<std::uint8_t>> writes;
  unsigned long readBytes = 0;
  unsigned long waitMs = 2000;
  unsigned long holdMs = 0;
};

bool ParseHex(const char* text, std::vector<std::uint8_t>* bytes) {
  int high = -1;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == ' ') continue;
    int digit;
    if (*p >= '0' && *p <= '9')
      digit = *p - '0';
    else if (*p >= 'a' && *p <= 'f')
      digit = *p - 'a' + 10;
    else if (*p >= 'A' && *p <= 'F')
      digit = *p - 'A' + 10;
    else
      return false;
    if (high < 0) {
      high = digit;
    } else {
      bytes->push_back(static_cast<std::uint8_t>(high * 16 + digit));
      high = -1;
    }
  }
  return high < 0 && !bytes->empty();
}

bool ParseCount(const char* text, unsigned long* value) {
  char* end = nullptr;
  const unsigned long parsed = std::strtoul(text, &end, 0);
  if (end == text || *end != '\0' || text[0] == '-' || parsed > 10000000) return false;
  *value = parsed;
  return true;
}

// -1 when the command line is good, else the exit status.
int Parse(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "d2xx_probe: unexpected %s\n%s", arg.c_str(), kUsage);
      return 2;
    }
    const char* value = argv[++i];
    unsigned long number = 0;
    bool good = true;
    if (arg == "--index") {
      good = ParseCount(value, &number) && number < 1000;
      options->index = static_cast<int>(number);
    } else if (arg == "--write") {
      options->writes.emplace_back();
      good = ParseHex(value, &options->writes.back());
    } else if (arg == "--read") {
      good = ParseCount(value, &options->readBytes);
    } else if (arg == "--wait") {
      good = ParseCount(value, &options->waitMs);
    } else if (arg == "--hold") {
      good = ParseCount(value, &options->holdMs);
    } else {
      good = false;
    }
    if (!good) {
      std::fprintf(stderr, "d2xx_probe: bad %s %s\n%s", arg.c_str(), value, kUsage);
      return 2;
    }
  }
  return -1;
}

int Failed(const char* call, d2xx::Status status) {
  std::printf("%s: status %u\n", call, static_cast<unsigned>(status));
  return 1;
}

int Run(const d2xx::Api& api, const Options& options) {
  d2xx::Handle handle = nullptr;
  d2xx::Status status = api.Open(options.index, &handle);
  std::printf("open: %u\n", static_cast<unsigned>(status));
  if (status != d2xx::kOk) return 1;

  // Whatever happens next, the device is closed again.
  struct Closer {
    const d2xx::Api& api;
    d2xx::Handle handle;
    ~Closer() { std::printf("close: %u\n", static_cast<unsigned>(api.Close(handle))); }
  } closer{api, handle};

  api.SetLatencyTimer(handle, 1);
  char manufacturer[32] = {}, manufacturerId[16] = {}, description[64] = {}, serial[16] = {};
  d2xx::ProgramData data;
  data.Manufacturer = manufacturer;
  data.ManufacturerId = manufacturerId;
  data.Description = description;
  data.SerialNumber = serial;
  if ((status = api.EeRead(handle, &data)) != d2xx::kOk) return Failed("ee-read", status);
  std::printf("vendor-id: 0x%04x\nproduct-id: 0x%04x\n", static_cast<unsigned>(data.VendorId),
              static_cast<unsigned>(data.ProductId));
  std::printf("manufacturer: %s\nmanufacturer-id: %s\ndescription: %s\nserial: %s\n", manufacturer,
              manufacturerId, description, serial);

  for (const std::vector<std::uint8_t>& bytes : options.writes) {
    std::vector<std::uint8_t> copy = bytes;
    d2xx::Dword written = 0;
    if ((status = api.Write(handle, copy.data(), static_cast<d2xx::Dword>(copy.size()),
                            &written)) != d2xx::kOk)
      return Failed("write", status);
    std::printf("written: %u\n", static_cast<unsigned>(written));
  }

  if (options.readBytes > 0) {
    std::vector<std::uint8_t> received;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options.waitMs);
    while (received.size() < options.readBytes) {
      d2xx::Dword waiting = 0;
      if ((status = api.GetQueueStatus(handle, &waiting)) != d2xx::kOk)
        return Failed("queue-status", status);
      if (waiting > 0) {
        std::vector<std::uint8_t> buffer(waiting);
        d2xx::Dword read = 0;
        if ((status = api.Read(handle, buffer.data(), waiting, &read)) != d2xx::kOk)
          return Failed("read", status);
        received.insert(received.end(), buffer.begin(), buffer.begin() + read);
        continue;
      }
      if (std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::string hex;
    for (std::size_t i = 0; i < received.size(); ++i) {
      char pair[4];
      std::snprintf(pair, sizeof pair, i == 0 ? "%02x" : " %02x",
                    static_cast<unsigned>(received[i]));
      hex += pair;
    }
    std::printf("read: %s\n", hex.c_str());
  }
  if (options.holdMs > 0) {
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::milliseconds(options.holdMs));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (int status = Parse(argc, argv, &options); status >= 0) return status;
  d2xx::Api api{};
  std::string error;
  if (!d2xx::Bind(&api, &error)) {
    std::printf("bind: %s\n", error.c_str());
    return 3;
  }
  const int status = Run(api, options);
  std::fflush(stdout);
  return status;
}

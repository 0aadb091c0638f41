// Bill tables into an Elite or a Lumina: the acceptor found among the unit's, the
// bus taken over, the upgrade begun, the file uploaded in numbered blocks of lines of
// up to 128 bytes (each line retried once), the upgrade finished, a Lumina reset and
// the bus handed back. An Elite takes every message encrypted; a Lumina takes the
// upload and the finish in clear.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "download/cctalk.h"
#include "download/frame.h"

namespace dfl {
namespace {

constexpr std::int32_t kEliteUnitCode = 0x12020107;
constexpr std::int32_t kLuminaUnitCode = 0x12020105;
constexpr int kMaxAcceptors = 1024;  // as in coins.cpp: the list walk is bounded
constexpr std::size_t kLine = 128;
constexpr unsigned kLinesPerBlock = 256;
// Block numbers travel in one byte: 255 blocks of 256 lines of 128 bytes.
constexpr long long kMaxBillTable = 255LL * kLinesPerBlock * kLine;

// Note acceptor messages.
constexpr std::uint8_t kSimplePoll = 254;
constexpr std::uint8_t kBeginUpgrade = 143;
constexpr std::uint8_t kUpload = 144;
constexpr std::uint8_t kFinishUpgrade = 142;
constexpr std::uint8_t kResetDevice = 1;

// Uploads the file line by line; the latest dialogue's result, and whether a line
// failed twice.
std::int32_t Upload(Defloader& library, RawPort& port, std::uint8_t address, bool encrypted,
                    const std::uint8_t* file, std::size_t size, std::int32_t latest,
                    bool* failed) {
  StatusSet& status = library.state.bill;
  std::size_t at = 0;
  unsigned block = 1;
  bool endOfFile = false;
  status.stage = kStageTransmitting;
  while (!endOfFile && latest > 0) {
    for (unsigned line = 0; line < kLinesPerBlock; ++line) {
      // Straight into the message, after the block and line bytes.
      std::uint8_t* data = port.Data();
      const std::size_t count = std::min(kLine, size - at);
      if (count > 0) std::memcpy(data + 2, file + at, count);  // an empty table has no bytes
      at += count;
      std::uint8_t bytes[kLine];
      std::memcpy(bytes, data + 2, count);
      const auto build = [&] {
        data[0] = static_cast<std::uint8_t>(block);
        data[1] = static_cast<std::uint8_t>(line);
        port.Build(address, kUpload, count + 2, Form::kCrc);
      };
      if (count > 0) {
        status.sent = status.sent.load() + 1;
        build();
        latest = port.Dialogue(2000, encrypted);
        if (latest < 0) {
          library.Trace("Error on block %u:%u transmission - retrying\n", block, line);
          // The dialogue left the reply (or the encrypted request) in the data area:
          // the line goes again from the bytes as read.
          std::memcpy(data + 2, bytes, count);
          build();
          latest = port.Dialogue(2000, encrypted);
          if (latest < 0) {
            library.Trace("Second error on block %u:%u transmission - abort download\n", block,
                          line);
            *failed = true;
            break;
          }
        }
      }
      if (count < kLine) {
        library.Trace("End of File\n");
        endOfFile = true;
        break;
      }
    }
    ++block;
  }
  return latest;
}

// Block numbers past 255 would wrap onto blocks already sent, and an empty table
// would leave the acceptor with none after its upgrade began: both are refused
// before anything reaches the acceptor.
bool Unfit(Defloader& library, long long size) {
  if (size > 0 && size <= kMaxBillTable) return false;
  if (size == 0)
    library.Trace("Bill table empty: nothing to download\n");
  else
    library.Trace("Bill table too large: at most %lld bytes\n", kMaxBillTable);
  Finish(library, kResultNoFile);
  return true;
}

// The whole table, read as the size reported says; false when the read fails, falls
// short or finds the file longer: part of a table must never go out as the whole.
bool ReadTable(std::FILE* file, std::size_t size, std::vector<std::uint8_t>* table) {
  try {
    table->resize(size);
  } catch (const std::bad_alloc&) {
    return false;
  }
  const std::size_t read = std::fread(table->data(), 1, size, file);
  return read == size && std::fgetc(file) == EOF && std::ferror(file) == 0;
}

}  // namespace

void RunBillDownload(Defloader& library) {
  StatusSet& status = library.state.bill;
  // A bill table's open failure goes to standard output, not to the trace.
  const auto [file, size] = OpenDownloadFile(library, status, &Defloader::Print);
  if (file == nullptr) return;
  status.total = static_cast<std::uint32_t>(size < 0 ? 0 : size / 128);
  if (size < 0) {
    std::fclose(file);
    library.Trace("Error reading file\n");
    return Finish(library, kResultNoFile);
  }
  if (Unfit(library, size)) {
    std::fclose(file);
    return;
  }
  // The whole table at once: it is small enough to hold (at most some 8 MB).
  std::vector<std::uint8_t> table;
  const bool whole = ReadTable(file, static_cast<std::size_t>(size), &table);
  std::fclose(file);
  if (!whole) {
    library.Trace("Error reading file\n");
    return Finish(library, kResultNoFile);
  }
  DownloadBillTable(library, table.data(), table.size());
}

void DownloadBillTable(Defloader& library, const std::uint8_t* file, std::size_t size) {
  StatusSet& status = library.state.bill;
  const std::uint32_t kind = status.kind.load();
  // A table handed over in memory meets the same bounds.
  if (Unfit(library, static_cast<long long>(
                         std::min<std::size_t>(size, std::size_t{kMaxBillTable} + 1))))
    return;
  library.Trace("File opened OK.\n");

  if (!OpenInterface(library, status)) return Finish(library, kResultNoInterface);

  library.Trace("Searching for note acceptor...\n");
  status.stage = kStageSearching;
  const std::uint32_t target = status.address.load();
  const std::int32_t model = kind == kKindElite ? kEliteUnitCode : kLuminaUnitCode;
  QmxAcceptorDetails details{};
  bool found = false;
  for (int index = 0; index < kMaxAcceptors && !found; ++index) {
    const int exists = library.calls.ReadAcceptorDetails(index, &details);
    library.Trace("Found %u at address %u\n", static_cast<unsigned>(details.UnitCode),
                  static_cast<unsigned>(details.Address));
    if (exists == 0) break;
    found = details.UnitCode == model && static_cast<std::uint32_t>(details.Address) == target;
  }
  if (!found) {
    library.Trace("Failed to find Elite - aborting\n");
    library.calls.DisableInterface();
    return Finish(library, kResultNoDevice);
  }
  const bool encrypted = kind == kKindElite;
  library.Trace("Found acceptor on Interface %d at Address %d\n", details.InterfaceNumber,
                details.Address);
  const auto address = static_cast<std::uint8_t>(details.Address & 0xFF);

  RawPort port(library);
  std::int32_t latest = RequestBus(library, status, port);
  if (latest > 0) {
    Pause(library, 1000);
    library.Trace("Polling address 0x%02X\n", static_cast<unsigned>(address));
    status.stage = kStagePolling;
    port.Build(address, kSimplePoll, {}, Form::kCrc);
    latest = port.Dialogue(1000, true);
    library.Trace("Polling returned %d\n", latest);
  }
  if (latest <= 0) {
    library.Print("***** No Response ***** Letting Tarvex retake control of cctalk\n");
    status.stage = kStageReleasing;
    library.Print("Release bus returned %d\n", port.ReleaseBus());
    return Finish(library, kResultNoResponse);
  }

  bool failed = false;
  library.Trace("Telling Elite to begin bill table upgrade...\n");
  status.stage = kStageBeginning;
  port.Build(address, kBeginUpgrade, {}, Form::kCrc);
  latest = port.Dialogue(4000, true);
  library.Trace("Begin upgrade returned %d\n", latest);
  if (latest < 0) {
    failed = true;
  } else {
    if (!encrypted) {
      status.stage = kStageClearUpload;
      library.Trace("(Encryption OFF)\n");
    }
    library.Trace("Sending \"Upload Bill Tables\" header\n");
    port.Build(address, kUpload, {0, 0, 1, 0, 0}, Form::kCrc);
    latest = port.Dialogue(2000, encrypted);
    library.Trace("Bill header returned %d\n", latest);
    if (latest < 0) failed = true;
    latest = Upload(library, port, address, encrypted, file, size, latest, &failed);
  }
  library.Trace("File transmission complete (%s)\n", latest > 0 ? "SUCCESS" : "FAILURE");

  library.Trace("Telling acceptor to end Bill Table Update\n");
  port.Build(address, kFinishUpgrade, {}, Form::kCrc);
  library.Trace("End Upgrade ReturnCode %i\n", port.Dialogue(10000, encrypted));
  library.Trace("Encryption ON\n");
  status.stage = kStageTransmitted;
  library.Trace("Waiting 3 seconds...\n");
  status.stage = kStageSettling;
  Pause(library, 3000);
  if (kind == kKindLumina) {
    library.Trace("Resetting Lumina\n");
    status.stage = kStageResetting;
    port.Build(address, kResetDevice, {}, Form::kCrc);
    library.Trace("Lumina reset returned %d\n", port.Dialogue(1000, true));
  }
  HandBack(library, status, port, 10000, "Waiting 10 seconds\n", "End of download process\n",
           failed ? kResultSendFailed : kResultDone);
}

}  // namespace dfl

// Coin definitions into an SR5: the file is checked whole, the SR5 found among the
// unit's acceptors, the bus taken over, all coins erased, each coin sent in packets
// of up to 128 bytes, the SR5 reset and the bus handed back.
#include <cstdio>

#include "download/cctalk.h"
#include "download/frame.h"

namespace dfl {
namespace {

constexpr std::size_t kTableSize = 32;  // sixteen 16-bit lengths
constexpr std::size_t kMaxDefinitions = 131072;
constexpr std::size_t kMaxCoinFile = kTableSize + kMaxDefinitions;
constexpr int kPositions = 16;
constexpr std::size_t kPacket = 128;
constexpr std::int32_t kSr5UnitCode = 0x02020103;
// ReadAcceptorDetails ends its list with 0; a stand-in that never does is cut here.
constexpr int kMaxAcceptors = 1024;

// SR5 messages.
constexpr std::uint8_t kSimplePoll = 254;
constexpr std::uint8_t kCoinCommand = 96;
constexpr std::uint8_t kEraseAll = 0xF5;
constexpr std::uint8_t kBeginCoin = 0xFF;
constexpr std::uint8_t kCoinData = 0xFE;
constexpr std::uint8_t kEndCoin = 0xFD;
constexpr std::uint8_t kResetDevice = 1;

// The library-wide file buffer: one download at a time uses it. Static storage with
// nothing to destroy: a worker still reading it while the process ends must not find
// it freed under it.
std::uint8_t* CoinFileBuffer() {
  static std::uint8_t buffer[kMaxCoinFile];
  return buffer;
}

std::size_t Length(const std::uint8_t* table, int position) {
  const std::size_t at = 2 * static_cast<std::size_t>(position - 1);
  return std::size_t{table[at]} | (std::size_t{table[at + 1]} << 8);
}

// Sends every coin the file holds; false at the first failed message. `latest` is
// the result of the latest dialogue.
bool SendCoins(Defloader& library, RawPort& port, std::uint8_t address, const std::uint8_t* file,
               std::int32_t* latest) {
  StatusSet& status = library.state.coin;
  const std::uint8_t* read = file + kTableSize;
  for (int position = 1; position <= kPositions; ++position) {
    std::size_t left = Length(file, position);
    if (left == 0) continue;
    library.Trace("Telling SR5 to begin coin %d upgrade...\n", position);
    unsigned line = 0;
    port.Build(address, kCoinCommand, {kBeginCoin}, Form::kChecksum);
    *latest = port.Dialogue(1000);
    library.Trace("Begin upgrade returned %d\n", *latest);
    if (*latest < 0) {
      library.Trace("Error on \"Begin Packet\" transmission\n");
      return false;
    }
    library.Trace("\"Begin packet\" (%d) accepted\n", position);
    while (left != 0) {
      library.Trace("%d bytes left to transmit\n", static_cast<int>(left));
      const std::size_t count = left < kPacket ? left : kPacket;
      std::uint8_t* data = port.Data();
      data[0] = kCoinData;
      for (std::size_t i = 0; i < count; ++i) data[1 + i] = read[i];
      port.Build(address, kCoinCommand, count + 1, Form::kChecksum);
      read += count;
      left -= count;
      status.sent = status.sent.load() + static_cast<std::uint32_t>(count);
      *latest = port.Dialogue(1000);
      if (*latest < 0) {
        library.Trace("Error on coin %u, line %u transmission\n", static_cast<unsigned>(position),
                      line);
        return false;
      }
      ++line;
    }
    library.Trace("Send End of coin message\n");
    port.Build(address, kCoinCommand, {kEndCoin, static_cast<std::uint8_t>(position)},
               Form::kChecksum);
    *latest = port.Dialogue(1000);
    library.Trace("End coin returned %d\n", *latest);
    Pause(library, 250);
    if (*latest < 0) {
      library.Trace("Error on \"end packet\" transmission\n");
      return false;
    }
  }
  return true;
}

}  // namespace

void RunCoinDownload(Defloader& library) {
  StatusSet& status = library.state.coin;
  const auto [file, size] = OpenDownloadFile(library, status, &Defloader::Trace);
  if (file == nullptr) return;
  library.Trace("File opened OK - reading from disc!\n");
  std::uint8_t* const buffer = CoinFileBuffer();
  const std::size_t read = std::fread(buffer, 1, kMaxCoinFile, file);
  // One byte more tells a file longer than the buffer from one that fills it.
  std::uint8_t extra = 0;
  const bool longer = read == kMaxCoinFile && std::fread(&extra, 1, 1, file) == 1;
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  const std::size_t whole = size >= 0 ? static_cast<std::size_t>(size) : read;
  status.total = static_cast<std::uint32_t>(whole / 128);
  // What was read is what goes out: a read that failed, or that disagrees with the
  // size reported, would send part of a file as if it were whole.
  if (failed || (!longer && size >= 0 && static_cast<unsigned long>(size) != read)) {
    library.Trace("Error reading file\n");
    return Finish(library, kResultNoFile);
  }
  // A file longer than the buffer is not what was read: its first part alone could
  // pass the check and go out without the rest.
  if (longer) {
    library.Trace("Error opening file\n");
    return Finish(library, kResultBadFile);
  }
  DownloadCoinFile(library, buffer, read);
}

void DownloadCoinFile(Defloader& library, const std::uint8_t* buffer, std::size_t read) {
  StatusSet& status = library.state.coin;
  std::size_t expected = kTableSize;
  for (int position = 1; position <= kPositions; ++position)
    expected += read >= kTableSize ? Length(buffer, position) : 0;
  if (read < kTableSize || expected != read) {
    library.Trace("Error opening file\n");
    return Finish(library, kResultBadFile);
  }
  library.Trace("File Internally Consistent\n");

  if (!OpenInterface(library, status)) return Finish(library, kResultNoInterface);

  library.Trace("Searching for SR5...\n");
  status.stage = kStageSearching;
  const std::uint32_t target = status.address.load();
  QmxAcceptorDetails details{};
  bool found = false;
  for (int index = 0; index < kMaxAcceptors && !found; ++index) {
    if (library.calls.ReadAcceptorDetails(index, &details) == 0) break;
    found = details.UnitCode == kSr5UnitCode &&
            static_cast<std::uint32_t>(details.Address) == target;
  }
  if (!found) {
    library.Trace("Failed to find SR5 - aborting\n");
    library.calls.DisableInterface();
    return Finish(library, kResultNoDevice);
  }
  library.Trace("Found SR5 on Interface %d at Address %d\n", details.InterfaceNumber,
                details.Address);
  const auto address = static_cast<std::uint8_t>(details.Address & 0xFF);

  RawPort port(library);
  std::int32_t latest = RequestBus(library, status, port);
  if (latest > 0) {
    Pause(library, 1000);
    library.Trace("Polling SR5 to confirm presence\n");
    status.stage = kStagePolling;
    port.Build(address, kSimplePoll, {}, Form::kChecksum);
    latest = port.Dialogue(1000);
    library.Trace("Polling returned %d\n", latest);
  }
  if (latest <= 0) {
    library.Print("***** No Response ***** Letting Tarvex retake control of cctalk\n");
    status.stage = kStageReleasing;
    const std::int32_t released = port.ReleaseBus();
    library.Trace("Release bus returned %d\n", released);
    return Finish(library, kResultNoResponse);
  }

  bool failed = false;
  library.Trace("Telling SR5 to begin erase all its coins...\n");
  status.stage = kStageErasing;
  port.Build(address, kCoinCommand, {kEraseAll}, Form::kChecksum);
  latest = port.Dialogue(4000);
  library.Trace("Erase coins returned %d\n", latest);
  Pause(library, 250);
  if (latest < 0) {
    failed = true;
  } else {
    library.Trace("Coin erase OK\n");
    status.stage = kStageTransmitting;
    failed = !SendCoins(library, port, address, buffer, &latest);
    library.Trace("File transmission complete (%s)\n", latest > 0 ? "SUCCESS" : "FAILURE");
    status.stage = kStageTransmitted;
    library.Trace("Waiting 1 second...\n");
    status.stage = kStageSettling;
    Pause(library, 1000);
  }

  library.Trace("Resetting SR5\n");
  status.stage = kStageResetting;
  port.Build(address, kResetDevice, {}, Form::kChecksum);
  library.Trace("Resetting SR5 returned %d\n", port.Dialogue(1000));
  HandBack(library, status, port, 2000, "Waiting 2 seconds\n", "Download complete\n",
           failed ? kResultSendFailed : kResultDone);
}

}  // namespace dfl

// Fuzzes the coin definition and bill table files a download checks and sends: the
// input's first byte picks the download (bit 0: bill table, bit 1: a Lumina rather
// than an Elite), its second which of the download's messages the acceptor refuses
// (0: none), and the rest is the file. The download runs from memory on the calling
// thread against an acceptor that acknowledges every message, on a virtual clock.
// Nothing may read past the file, every message must fit the data area, and a file
// the checks refuse must never reach the bus. Regression inputs live in
// corpus/download_files/.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "download/cctalk.h"
#include "download/frame.h"
#include "platform/clock.h"

namespace {

constexpr std::uint32_t kAddress = 2;
constexpr std::int32_t kSr5 = 0x02020103, kElite = 0x12020107, kLumina = 0x12020105;
constexpr std::int32_t kTransmit = 1, kReceive = 2;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_download_files: %s\n", what);
  std::abort();
}

// The unit and the acceptor behind it: every raw port command answered at once, the
// answer standing until the next command; a received reply is an ACK in the form of
// the latest message (its source byte 1 for the checksum form, 0 for CRC).
struct Unit {
  std::int32_t acceptor = kSr5;
  std::uint32_t refuse = 0;  // the message (counted from 1) answered with a NAK
  std::uint32_t messages = 0;
  bool encrypted = false;
  dfl::KeyDigits key{};
  std::int32_t answer = 0;
  std::uint8_t reply[5] = {};
} unit;

int QMX_CALL Open(int) { return 0; }
void QMX_CALL Nothing() {}
int QMX_CALL Acceptors(int index, void* details) {
  if (index != 0) return 0;
  auto* record = static_cast<QmxAcceptorDetails*>(details);
  record->UnitCode = unit.acceptor;
  record->Address = kAddress;
  return 1;
}
// Whether `message` (N + 5 bytes) holds its CRC in clear.
bool ClearCrcHolds(const std::uint8_t* message) {
  const std::size_t total = std::size_t{message[1]} + 5;
  const std::uint16_t crc = dfl::MessageCrc(message);
  return message[2] == (crc & 0xFF) && message[total - 1] == (crc >> 8);
}

void QMX_CALL Request(const QmxRawPortRequest* request) {
  if (request->Length < 0 || request->Length > QMX_RAW_PORT_DATA) Fail("a request past its area");
  unit.answer = 1;
  if (request->Command == kTransmit) {
    const std::uint8_t* message = request->Data;
    if (request->Length != message[1] + 5) Fail("a transmit whose length is not its message's");
    ++unit.messages;
    std::uint8_t* r = unit.reply;
    r[0] = 1;
    r[1] = 0;
    r[3] = unit.messages == unit.refuse ? 5 : 0;
    if (unit.acceptor == kSr5) {
      std::uint8_t sum = 0;
      for (int i = 0; i < request->Length; ++i) sum = static_cast<std::uint8_t>(sum + message[i]);
      if (sum != 0) Fail("a message with a wrong checksum");
      r[2] = static_cast<std::uint8_t>(kAddress);
      r[4] = static_cast<std::uint8_t>(0x100 - (r[0] + r[1] + r[2] + r[3]));
    } else {
      // The acceptor answers in the form it was asked in: a Lumina takes the upload
      // (144) and the finish (142) in clear, the rest encrypted; an Elite takes every
      // message encrypted. (Decrypting each message here would halve the pace.)
      unit.encrypted = unit.acceptor == kElite || !ClearCrcHolds(message) ||
                       (message[3] != 144 && message[3] != 142);
      const std::uint16_t check = dfl::MessageCrc(r);
      r[2] = static_cast<std::uint8_t>(check & 0xFF);
      r[4] = static_cast<std::uint8_t>(check >> 8);
    }
  } else if (request->Command == kReceive) {
    unit.answer = 5;
  }
}
int QMX_CALL Result(unsigned char* buffer) {
  if (unit.answer == 5) {
    std::uint8_t reply[5];
    for (int i = 0; i < 5; ++i) reply[i] = unit.reply[i];
    if (unit.encrypted) dfl::Encrypt(reply + 2, 3, unit.key);
    for (int i = 0; i < 5; ++i) buffer[i] = reply[i];
  }
  return unit.answer;
}

struct Silent final : dfl::LineSink {
  void Line(const char*) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const bool bills = (data[0] & 1) != 0;
  const bool lumina = (data[0] & 2) != 0;
  unit = {};
  unit.acceptor = !bills ? kSr5 : lumina ? kLumina : kElite;
  unit.refuse = data[1];
  // The file on the heap at its exact size: a read past it is AddressSanitizer's.
  // An Elite's table is cut to a piece of one line: each of its lines costs a whole
  // encryption (the cipher has a target of its own), and a longer upload is the
  // Lumina's code.
  const std::size_t length =
      unit.acceptor == kElite ? std::min<std::size_t>(size - 2, 64) : size - 2;
  const std::unique_ptr<std::uint8_t[]> file(new std::uint8_t[length == 0 ? 1 : length]);
  for (std::size_t i = 0; i < length; ++i) file[i] = data[2 + i];

  platform::VirtualClock clock;
  Silent lines;
  const dfl::InterfaceCalls calls = {&Open, &Nothing, &Nothing, &Acceptors, &Request, &Result};
  dfl::Defloader library(calls, clock, lines, lines);
  library.SetEncryptionSerialNumber(123456);
  unit.key = library.Key();
  dfl::StatusSet& status = bills ? library.state.bill : library.state.coin;
  status.address = kAddress;
  status.kind = lumina ? dfl::kKindLumina : dfl::kKindElite;
  library.state.busy = 1;
  if (bills)
    dfl::DownloadBillTable(library, file.get(), length);
  else
    dfl::DownloadCoinFile(library, file.get(), length);

  const std::int32_t result = library.state.result.load();
  if (library.state.busy.load() != 0) Fail("a download that did not finish");
  if (result == dfl::kResultBadFile || result == dfl::kResultNoFile) {
    if (unit.messages != 0) Fail("a refused file reached the bus");
  } else if (unit.refuse == 0 && result != dfl::kResultDone) {
    Fail("a download every message of which was acknowledged failed");
  } else if (result != dfl::kResultDone && result != dfl::kResultSendFailed &&
             result != dfl::kResultNoResponse) {
    Fail("a download ended otherwise than sent, failed or unanswered");
  }
  return 0;
}

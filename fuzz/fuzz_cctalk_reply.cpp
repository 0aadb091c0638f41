// Fuzzes the ccTalk reply side of a download: the judge on an arbitrary data area,
// and one whole exchange whose raw port answers come from the input (counts of any
// sign and size, bytes of any value). Nothing may read or write past the data area.
// The cipher has a target of its own (fuzz_cctalk_cipher). Regression inputs live
// in corpus/cctalk_reply/.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "download/cctalk.h"
#include "download/frame.h"
#include "platform/clock.h"

namespace {

// The exchange's raw port: each RawPortResult takes its count and bytes from here.
struct Script {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0, at = 0;
  std::uint8_t Next() { return at < size ? data[at++] : 0; }
} script;

int QMX_CALL Open(int) { return 0; }
void QMX_CALL Nothing() {}
int QMX_CALL NoAcceptor(int, void*) { return 0; }
void QMX_CALL Request(const QmxRawPortRequest* request) {
  if (request->Length < 0 || request->Length > QMX_RAW_PORT_DATA) std::abort();
}
int QMX_CALL Answer(unsigned char* buffer) {
  // Past the input the interface reads as closed: every wait ends at once.
  if (script.at >= script.size) return QMX_BLOCK_NOT_OPEN;
  // A count as a unit may report it (any sign, past the buffer too), with the bytes
  // Qmxzelti copies: at most a data area's worth.
  const auto count = static_cast<std::int16_t>(script.Next() | script.Next() << 8);
  const std::size_t copied = count > 0 ? std::min<std::size_t>(count, QMX_RAW_PORT_DATA) : 0;
  for (std::size_t i = 0; i < copied; ++i) buffer[i] = script.Next();
  return count;
}

struct Silent final : dfl::LineSink {
  void Line(const char*) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  dfl::KeyDigits key;
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = data[i] & 0x0F;
  const std::uint8_t flags = data[6];
  const std::size_t gathered = data[7];
  data += 8;
  size -= 8;

  // The judge over a whole data area made of the input.
  std::uint8_t area[dfl::kDataArea] = {};
  std::memcpy(area, data, size < sizeof area ? size : sizeof area);
  (void)dfl::JudgeReply(area, gathered, (flags & 1) != 0 ? dfl::Form::kCrc : dfl::Form::kChecksum,
                        (flags & 2) != 0, key);

  // One exchange, its answers scripted by the input.
  script = {data, size, 0};
  platform::VirtualClock clock;
  Silent lines;
  const dfl::InterfaceCalls calls = {&Open, &Nothing, &Nothing, &NoAcceptor, &Request, &Answer};
  dfl::Defloader library(calls, clock, lines, lines);
  library.SetEncryptionSerialNumber(static_cast<std::uint32_t>(key[0]) << 20 | key[5]);
  dfl::RawPort port(library);
  port.Build(40, 254, {}, dfl::Form::kCrc);
  const std::int32_t result = (flags & 4) != 0 ? port.Dialogue(100, (flags & 2) != 0)
                                               : port.Dialogue(100);
  if (result == 0 || (result > 0 && (result < 5 || result > static_cast<std::int32_t>(dfl::kDataArea))))
    std::abort();
  return 0;
}

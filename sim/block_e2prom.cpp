// The unit's housekeeping: the meter it reports (level 3), the counters, captions
// and display code it takes from the host (level 3), its own 256-byte E2Prom, into
// which it writes each row whose change counter the host moved (level 4), and the
// E2Prom reset and device key messages.
#include <algorithm>
#include <cstring>

#include "platform/bytes.h"
#include "sim/block_layout.h"
#include "sim/block_server.h"

namespace sim {

using namespace layout;

// MeterStatusWord 1: a meter is fitted and working; MeterSerialWord its number.
// Neither exists below level 3.
void BlockServer::WriteMeter() {
  const bool fitted = level_ >= kCounterLevel;
  StoreStatus(kMeterStatusWord, fitted ? 1 : 0);
  StoreStatus(kMeterSerialWord, fitted ? options_.meterSerialNumber : 0);
}

// The host's settings from one consistent read. At the first set-up the row
// counters are only noted: rows changed before this process are not owed.
void BlockServer::TakeSettings(const HostSettings& settings, bool first) {
  HostSettings& taken = house_.taken;
  if (first || level_ >= kCounterLevel) {
    taken.counters = settings.counters;
    taken.captions = settings.captions;
    taken.displayCode = settings.displayCode;
  }
  if (settings.rowChanges == taken.rowChanges) return;
  for (int row = 0; row < kE2PromRows && !first && level_ >= kE2PromLevel; ++row) {
    const int shift = 4 * row;
    if (((settings.rowChanges ^ taken.rowChanges) >> shift & 0xF) == 0) continue;
    const std::size_t from = static_cast<std::size_t>(row) * kE2PromRowSize;
    std::copy_n(settings.image.begin() + static_cast<std::ptrdiff_t>(from), kE2PromRowSize,
                house_.e2prom.begin() + static_cast<std::ptrdiff_t>(from));
    ++house_.rowWrites;
  }
  taken.rowChanges = settings.rowChanges;
  taken.image = settings.image;
}

// Type 4, two data bytes: byte 0 is 1 to erase the E2Prom (every byte 0xFF), 0 to
// write the host's whole E2PromImage into it again. Answered with 2 bytes: 1 (done)
// and the flag acted on; refused below level 4 or for any other flag.
std::int32_t BlockServer::AnswerE2PromReset(const Commands& commands, std::uint8_t* reply) {
  const std::uint8_t flag = commands.blockData[0];
  if (level_ < kE2PromLevel || commands.blockLength != 2 || flag > 1) return kRefused;
  if (flag == 1) {
    house_.e2prom.fill(0xFF);
  } else {
    house_.e2prom = commands.settings.image;
    house_.rowWrites += kE2PromRows;
  }
  reply[0] = 1;
  reply[1] = flag;
  return 2;
}

// Type 5, four data bytes: the device key, least significant byte first. The unit
// keeps it and answers with the 4 bytes of the key it now holds.
std::int32_t BlockServer::AnswerDeviceKey(const Commands& commands, std::uint8_t* reply) {
  if (commands.blockLength != 4) return kRefused;
  house_.deviceKey = platform::ReadLE32(commands.blockData);
  platform::WriteLE32(reply, *house_.deviceKey);
  return 4;
}

}  // namespace sim

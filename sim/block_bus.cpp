// The raw port (message types 128 + c) and the ccTalk bus behind it: the host asks
// for the bus, sends bytes, fetches what came back and hands the bus back. The bus
// holds one device, at busDeviceAddress, that acknowledges every well-formed message
// addressed to it in the form it was asked (checksum or CRC).
#include <algorithm>
#include <vector>

#include "sim/block_layout.h"
#include "sim/block_server.h"

namespace sim {
namespace {

using namespace layout;

// ccTalk: the host's own address, and the header of an ACK.
constexpr std::uint8_t kHostAddress = 1;
constexpr std::uint8_t kAck = 0;

// ccTalk's CRC: CRC-16, polynomial 0x1021, initial value 0, most significant bit first.
std::uint16_t Crc16(std::uint16_t crc, std::uint8_t byte) {
  crc = static_cast<std::uint16_t>(crc ^ (byte << 8));
  for (int bit = 0; bit < 8; ++bit)
    crc = static_cast<std::uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
  return crc;
}

// The CRC of a CRC-form message: every byte but the CRC's own two (2 and the last).
std::uint16_t MessageCrc(const std::uint8_t* message, std::size_t total) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i + 1 < total; ++i)
    if (i != 2) crc = Crc16(crc, message[i]);
  return crc;
}

}  // namespace

std::int32_t BlockServer::AnswerRawPort(std::uint32_t command, const Commands& commands,
                                        std::uint8_t* reply) {
  switch (command) {
    case 0:  // hand the bus to the host
      if (options_.refuseBusHandOver) return kRefused;
      bus_.hostHolds = true;
      bus_.sent.clear();
      bus_.received.clear();
      reply[0] = 1;
      return 1;
    case 1:  // send bytes on the bus
      if (!bus_.hostHolds || commands.blockLength > kBlockDataSize) return kRefused;
      BusReceive(commands.blockData, commands.blockLength);
      reply[0] = 1;
      return 1;
    case 2: {  // what the bus brought since the last request
      if (!bus_.hostHolds) return kRefused;
      const std::size_t count = std::min<std::size_t>(bus_.received.size(), kReplyDataSize);
      std::copy_n(bus_.received.begin(), count, reply);
      bus_.received.erase(bus_.received.begin(),
                          bus_.received.begin() + static_cast<std::ptrdiff_t>(count));
      return static_cast<std::int32_t>(count);
    }
    case 3:  // take the bus back, and say so
      bus_.hostHolds = false;
      bus_.sent.clear();
      bus_.received.clear();
      reply[0] = 1;
      return 1;
    default:  // 4: take control back; no answer is awaited
      bus_.hostHolds = false;
      bus_.sent.clear();
      bus_.received.clear();
      return 0;
  }
}

// Whole messages are taken off what the host sent; anything not for our device, or
// not well formed, goes unanswered, as a real device stays silent.
void BlockServer::BusReceive(const std::uint8_t* bytes, std::size_t count) {
  std::vector<std::uint8_t>& sent = bus_.sent;
  sent.insert(sent.end(), bytes, bytes + count);
  while (sent.size() >= 2) {
    const std::size_t total = std::size_t{sent[1]} + 5;
    if (sent.size() < total) break;
    const std::vector<std::uint8_t> message(sent.begin(),
                                            sent.begin() + static_cast<std::ptrdiff_t>(total));
    sent.erase(sent.begin(), sent.begin() + static_cast<std::ptrdiff_t>(total));
    if (message[0] != options_.busDeviceAddress) continue;
    const std::uint16_t crc = MessageCrc(message.data(), total);
    std::uint8_t sum = 0;
    for (std::uint8_t byte : message) sum = static_cast<std::uint8_t>(sum + byte);
    std::uint8_t answer[5] = {kHostAddress, 0, 0, kAck, 0};
    if (message[2] == (crc & 0xFF) && message[total - 1] == (crc >> 8)) {
      const std::uint16_t answerCrc = MessageCrc(answer, sizeof answer);
      answer[2] = static_cast<std::uint8_t>(answerCrc);
      answer[4] = static_cast<std::uint8_t>(answerCrc >> 8);
    } else if (sum == 0) {
      answer[0] = message[2];  // back to whoever sent it
      answer[2] = options_.busDeviceAddress;
      answer[4] = static_cast<std::uint8_t>(0x100 - ((answer[0] + answer[2]) & 0xFF));
    } else {
      continue;
    }
    bus_.received.insert(bus_.received.end(), answer, answer + sizeof answer);
  }
}

}  // namespace sim

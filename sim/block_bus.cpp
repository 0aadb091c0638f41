// The raw port (message types 128 + c) onto the ccTalk bus: the host asks for the
// bus, sends bytes, fetches what the peripherals answered and hands the bus back.
// The peripherals come from the acceptor list (by unit code, at the acceptor's
// address), with an acknowledger at busDeviceAddress where no acceptor sits.
#include "sim/block_layout.h"
#include "sim/block_server.h"

namespace sim {

using namespace layout;

void BlockServer::AttachPeripherals() {
  bus_.SetReplyMs(options_.replyMs);
  bus_.SetBaud(options_.busBaud);
  bus_.SetKeyDigits(options_.keyDigits);
  bool deviceTaken = false;
  for (const AcceptorConfig& acceptor : options_.acceptors) {
    const auto address = static_cast<std::uint8_t>(acceptor.address & 0xFF);
    if (acceptor.unitCode == AcceptorConfig::kSr5Code)
      bus_.Attach(PeripheralModel::kSr5, address);
    else if (acceptor.unitCode == AcceptorConfig::kEliteCode)
      bus_.Attach(PeripheralModel::kElite, address);
    else if (acceptor.unitCode == AcceptorConfig::kLuminaCode)
      bus_.Attach(PeripheralModel::kLumina, address);
    else
      continue;
    deviceTaken = deviceTaken || address == options_.busDeviceAddress;
  }
  if (!deviceTaken) bus_.Attach(PeripheralModel::kAcknowledger, options_.busDeviceAddress);
}

std::int32_t BlockServer::AnswerRawPort(std::uint32_t command, const Commands& commands,
                                        std::uint8_t* reply) {
  switch (command) {
    case 0:  // hand the bus to the host
      if (options_.refuseBusHandOver) return kRefused;
      hostHoldsBus_ = true;
      bus_.Clear();
      reply[0] = 1;
      return 1;
    case 1:  // send bytes on the bus
      if (!hostHoldsBus_ || commands.blockLength > kBlockDataSize) return kRefused;
      bus_.Send(commands.blockData, commands.blockLength);
      reply[0] = 1;
      return 1;
    case 2: {  // what the bus brought since the last request
      if (!hostHoldsBus_) return kRefused;
      // Nothing yet is answered as such (negative), so a host can tell it from a
      // request the unit has not taken yet (no answer, read as 0).
      const std::size_t count = bus_.Fetch(reply, kReplyDataSize);
      return count == 0 ? kNothingReceived : static_cast<std::int32_t>(count);
    }
    case 3:  // take the bus back, and say so
      hostHoldsBus_ = false;
      bus_.Clear();
      reply[0] = 1;
      return 1;
    default:  // 4: take control back; no answer is awaited
      hostHoldsBus_ = false;
      bus_.Clear();
      return 0;
  }
}

}  // namespace sim

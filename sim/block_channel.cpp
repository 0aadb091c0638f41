// The message channel: when the host moves BlockSequence the unit takes the block
// in BlockArea, acts on it by type, writes ReplyLength and ReplyData, and then
// copies the sequence into BlockAckSequence. Types: 4 E2Prom reset, 5 device key,
// 6 ticket print piece, 64 + n a block for destination n, 128 + c raw port command
// c; anything else is answered with -1. With rawAnswerMs a raw-port message is
// held that long before it is acted on and answered.
#include <cstring>

#include "platform/bytes.h"
#include "sim/block_layout.h"
#include "sim/block_server.h"

namespace sim {

using namespace layout;

// Whether the message can be taken now. A raw-port message waits rawAnswerMs from the
// tick that first saw the sequence move past this acknowledge, meanwhile nothing
// moves: hosts read no answer and cannot place another block.
bool BlockServer::MessageDue(const Commands& commands, std::int64_t now) {
  const std::uint32_t type = commands.blockType;
  const bool raw = type >= kTypeRawPort && type < kTypeRawPort + kRawPortCommands;
  if (options_.rawAnswerMs == 0 || !raw) return true;
  if (!heldMessage_.held || heldMessage_.ack != blockAck_) heldMessage_ = {true, blockAck_, now};
  const std::int64_t wait = std::int64_t{options_.rawAnswerMs} * clock_.Frequency() / 1000;
  return now - heldMessage_.since >= wait;
}

void BlockServer::AnswerMessage(const Commands& commands, std::int64_t now) {
  if (!MessageDue(commands, now)) return;
  heldMessage_.held = false;
  std::uint8_t reply[kReplyDataSize] = {};
  std::int32_t length = kRefused;
  const std::uint32_t type = commands.blockType;
  const std::uint32_t dataLength = commands.blockLength;
  if (type == kTypeE2PromReset) {
    length = AnswerE2PromReset(commands, reply);
  } else if (type == kTypeDeviceKey) {
    length = AnswerDeviceKey(commands, reply);
  } else if (type == kTypeTicketPiece) {
    length = AnswerTicketPiece(commands, reply);
  } else if (type >= kTypeDestination && type < kTypeRawPort) {
    // Destination n answers with n, then the data it was sent.
    if (dataLength <= kBlockDataSize) {
      platform::WriteLE32(reply, type - kTypeDestination);
      std::memcpy(reply + 4, commands.blockData, dataLength);
      length = static_cast<std::int32_t>(4 + dataLength);
    }
  } else if (type >= kTypeRawPort && type < kTypeRawPort + kRawPortCommands) {
    length = AnswerRawPort(type - kTypeRawPort, commands, reply);
  }
  StoreStatus(kReplyLength, static_cast<std::uint32_t>(length));
  if (length > 0) {
    for (std::uint32_t i = 0; i < Padded(static_cast<std::size_t>(length)); i += 4)
      Store(kStatusAreaOffset + kReplyData + i, platform::ReadLE32(reply + i));
  }
  blockAck_ = commands.blockSequence;
  Store(kStatusAreaOffset + kBlockAckSequence, blockAck_);
}

}  // namespace sim

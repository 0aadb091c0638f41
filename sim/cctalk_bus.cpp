// The ccTalk bus behind the raw port: frames the host's bytes into messages (byte
// 1 is N, the message N + 5 bytes), hands each to the peripheral at its address,
// applies injected faults and holds the replies until they are due, with a baud
// rate byte by byte as they cross the wire. Also the plain
// acknowledger, which ACKs any well-formed message in the form it came.
#include "sim/cctalk_bus.h"

#include <algorithm>

#include "sim/cctalk_peripheral.h"

namespace sim {
namespace {

using cctalk::Form;

class Acknowledger final : public cctalk::Peripheral {
 public:
  explicit Acknowledger(std::uint8_t address)
      : Peripheral(PeripheralModel::kAcknowledger, address) {}
  std::optional<Form> Open(std::vector<std::uint8_t>* message, const cctalk::KeyDigits&) override {
    if (cctalk::CrcGood(message->data(), message->size())) return Form::kCrc;
    if (cctalk::ChecksumGood(message->data(), message->size())) return Form::kChecksum;
    return std::nullopt;
  }
  bool Act(const std::vector<std::uint8_t>&) override { return true; }
};

}  // namespace

namespace cctalk {

std::vector<std::uint8_t> MakeReply(Form form, std::uint8_t from, std::uint8_t header,
                                    const KeyDigits& key) {
  std::vector<std::uint8_t> reply{kHostAddress, 0, from, header, 0};
  if (form == Form::kChecksum) {
    SetChecksum(reply.data(), reply.size());
    return reply;
  }
  SetCrc(reply.data(), reply.size());
  if (form == Form::kCrcEncrypted) Encrypt(reply.data() + 2, reply.size() - 2, key);
  return reply;
}

bool DecryptAndCheck(std::vector<std::uint8_t>* message, const KeyDigits& key) {
  Decrypt(message->data() + 2, message->size() - 2, key);
  return CrcGood(message->data(), message->size());
}

}  // namespace cctalk

const char* PeripheralModelName(PeripheralModel model) {
  switch (model) {
    case PeripheralModel::kSr5: return "sr5";
    case PeripheralModel::kElite: return "elite";
    case PeripheralModel::kLumina: return "lumina";
    default: return "acknowledger";
  }
}

// CRC-32 with polynomial 0x04C11DB7, most significant bit first, over the bytes and
// then the length (least significant byte first, as few bytes as it needs), the
// result complemented.
std::uint32_t PosixCksum(const std::vector<std::uint8_t>& bytes) {
  std::uint32_t crc = 0;
  const auto feed = [&crc](std::uint8_t byte) {
    crc ^= std::uint32_t{byte} << 24;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  };
  for (std::uint8_t byte : bytes) feed(byte);
  for (std::uint64_t length = bytes.size(); length != 0; length >>= 8)
    feed(static_cast<std::uint8_t>(length & 0xFF));
  return ~crc;
}

CcTalkBus::CcTalkBus(platform::Clock& clock) : clock_(clock) {}
CcTalkBus::~CcTalkBus() = default;

void CcTalkBus::Attach(PeripheralModel model, std::uint8_t address) {
  std::unique_ptr<cctalk::Peripheral> peripheral;
  if (model == PeripheralModel::kSr5)
    peripheral = cctalk::MakeSr5(address);
  else if (model == PeripheralModel::kElite || model == PeripheralModel::kLumina)
    peripheral = cctalk::MakeNoteAcceptor(model, address);
  else
    peripheral = std::make_unique<Acknowledger>(address);
  std::lock_guard<std::mutex> hold(lock_);
  std::erase_if(peripherals_, [address](const auto& p) { return p->holding().address == address; });
  peripherals_.push_back(std::move(peripheral));
  std::sort(peripherals_.begin(), peripherals_.end(), [](const auto& a, const auto& b) {
    return a->holding().address < b->holding().address;
  });
}

void CcTalkBus::SetReplyMs(std::uint32_t ms) {
  std::lock_guard<std::mutex> hold(lock_);
  replyMs_ = ms;
}

void CcTalkBus::SetKeyDigits(const std::array<std::uint8_t, 6>& digits) {
  std::lock_guard<std::mutex> hold(lock_);
  key_ = digits;
}

std::array<std::uint8_t, 6> CcTalkBus::KeyDigits() const {
  std::lock_guard<std::mutex> hold(lock_);
  return key_;
}

std::uint32_t CcTalkBus::ReplyMs() const {
  std::lock_guard<std::mutex> hold(lock_);
  return replyMs_;
}

void CcTalkBus::SetBaud(std::uint32_t baud) {
  std::lock_guard<std::mutex> hold(lock_);
  baud_ = baud;
}

std::uint32_t CcTalkBus::Baud() const {
  std::lock_guard<std::mutex> hold(lock_);
  return baud_;
}

std::int64_t CcTalkBus::WireCounts(std::size_t bytes) const {
  if (baud_ == 0) return 0;
  // A start bit, eight data bits and a stop bit a byte.
  const std::int64_t bits = static_cast<std::int64_t>(bytes) * 10;
  return (bits * clock_.Frequency() + baud_ - 1) / baud_;
}

// The wire is taken in the order things are put on it: the host's bytes go out back
// to back once it is free, and a reply already on its way goes first.
void CcTalkBus::Send(const std::uint8_t* bytes, std::size_t count) {
  const std::int64_t now = clock_.Counter();
  std::lock_guard<std::mutex> hold(lock_);
  const std::int64_t start = baud_ == 0 ? now : std::max(now, wireFree_);
  for (std::size_t i = 0; i < count; ++i) {
    pending_.push_back(bytes[i]);
    pendingEnd_.push_back(start + WireCounts(i + 1));
  }
  if (baud_ != 0) wireFree_ = start + WireCounts(count);
  while (pending_.size() >= 2) {
    const std::size_t total = std::size_t{pending_[1]} + 5;
    if (pending_.size() < total) break;
    const auto cut = static_cast<std::ptrdiff_t>(total);
    std::vector<std::uint8_t> message(pending_.begin(), pending_.begin() + cut);
    const std::int64_t end = pendingEnd_[total - 1];
    pending_.erase(pending_.begin(), pending_.begin() + cut);
    pendingEnd_.erase(pendingEnd_.begin(), pendingEnd_.begin() + cut);
    Deliver(std::move(message), end);
  }
}

// `end`: when the message's last byte has crossed the wire.
void CcTalkBus::Deliver(std::vector<std::uint8_t> message, std::int64_t end) {
  const std::uint8_t address = message[0];
  const auto at = std::find_if(peripherals_.begin(), peripherals_.end(), [address](const auto& p) {
    return p->holding().address == address;
  });
  if (at == peripherals_.end()) return;  // nobody there: silence
  cctalk::Peripheral& peripheral = **at;
  PeripheralHolding& holding = peripheral.holding();
  const std::optional<Form> form = peripheral.Open(&message, key_);
  if (!form) {
    ++holding.rejected;
    return;
  }
  ++holding.messages;
  const std::uint8_t header = message[3];
  const std::optional<FaultKind> fault = FaultFor(address, header);
  bool ack = false;
  if (fault != FaultKind::kNak) {
    ack = peripheral.Act(message);
    if (ack && header == cctalk::kResetDevice) ++holding.resets;
  }
  if (fault == FaultKind::kSilent) return;
  if (!ack) ++holding.naks;
  // Replies come from the peripheral's address in the checksum form (byte 2).
  Reply reply;
  reply.start = end + static_cast<std::int64_t>(replyMs_) * clock_.Frequency() / 1000;
  reply.bytes = cctalk::MakeReply(*form, address, ack ? cctalk::kAck : cctalk::kNak, key_);
  if (baud_ != 0) {
    reply.start = std::max(reply.start, wireFree_);
    wireFree_ = reply.start + WireCounts(reply.bytes.size());
  }
  replies_.push_back(std::move(reply));
}

std::optional<FaultKind> CcTalkBus::FaultFor(std::uint8_t address, std::uint8_t header) {
  std::optional<FaultKind> fired;
  for (auto it = faults_.begin(); it != faults_.end();) {
    const PeripheralFault& fault = it->fault;
    if (fault.address != address || (fault.header >= 0 && fault.header != header)) {
      ++it;
      continue;
    }
    if (it->toGo > 1) {
      --it->toGo;
      ++it;
      continue;
    }
    if (!fired) fired = fault.kind;
    if (fault.always) {
      it->toGo = 0;
      ++it;
    } else {
      it = faults_.erase(it);
    }
  }
  return fired;
}

// A reply byte can be fetched once it has crossed the wire, so a fetch mid-reply
// takes what has arrived and leaves the rest for later.
std::size_t CcTalkBus::Fetch(std::uint8_t* out, std::size_t room) {
  const std::int64_t now = clock_.Counter();
  std::lock_guard<std::mutex> hold(lock_);
  std::size_t count = 0;
  while (!replies_.empty() && count < room) {
    Reply& reply = replies_.front();
    while (reply.taken < reply.bytes.size() && count < room &&
           reply.start + WireCounts(reply.taken + 1) <= now)
      out[count++] = reply.bytes[reply.taken++];
    if (reply.taken < reply.bytes.size()) break;
    replies_.pop_front();
  }
  return count;
}

void CcTalkBus::Clear() {
  std::lock_guard<std::mutex> hold(lock_);
  pending_.clear();
  pendingEnd_.clear();
  replies_.clear();
  wireFree_ = 0;
}

void CcTalkBus::InjectFault(const PeripheralFault& fault) {
  std::lock_guard<std::mutex> hold(lock_);
  faults_.push_back({fault, std::max<std::uint32_t>(fault.nth, 1)});
}

void CcTalkBus::ClearFaults() {
  std::lock_guard<std::mutex> hold(lock_);
  faults_.clear();
}

std::vector<PeripheralHolding> CcTalkBus::Holdings() const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<PeripheralHolding> holdings;
  for (const auto& peripheral : peripherals_) holdings.push_back(peripheral->holding());
  return holdings;
}

}  // namespace sim

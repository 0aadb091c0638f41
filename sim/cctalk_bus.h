// The unit's ccTalk bus as the raw port reaches it: the peripherals on it (an SR5
// coin acceptor, Elite and Lumina note acceptors, or a plain acknowledger), the
// bytes the host puts on the bus and the replies that come back after the
// peripheral's reply time, and with a baud rate the time each byte takes on the
// one wire they share. Faults can be injected per peripheral.
//
// Thread-safe: the block server's thread sends and fetches while ctl and status
// threads attach, inject and read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/clock.h"

namespace sim {

enum class PeripheralModel { kSr5, kElite, kLumina, kAcknowledger };

// "sr5", "elite", "lumina", "acknowledger".
const char* PeripheralModelName(PeripheralModel model);

enum class FaultKind {
  kNak,     // the message is refused: NAK, and the peripheral takes no notice of it
  kSilent,  // the peripheral acts on the message but its reply is lost
};

struct PeripheralFault {
  std::uint8_t address = 0;
  int header = -1;        // the ccTalk header (command) it applies to; -1: any message
  std::uint32_t nth = 1;  // the nth matching message from now (1: the next one)
  bool always = false;    // false: once; true: that one and every later matching one
  FaultKind kind = FaultKind::kNak;
};

// What a peripheral holds and has seen; `tarvex-sim status` and tests read it.
struct PeripheralHolding {
  std::uint8_t address = 0;
  PeripheralModel model = PeripheralModel::kAcknowledger;
  // SR5: the coin definition file its stored coins make (32-byte table of 16
  // little-endian 16-bit lengths, then the definitions in position order);
  // Elite/Lumina: the bill table received.
  std::vector<std::uint8_t> content;
  std::uint32_t messages = 0;  // well-formed messages addressed to it
  std::uint32_t rejected = 0;  // addressed to it but failing the check or decryption
  std::uint32_t naks = 0, resets = 0;
  bool upgradeFinished = false;  // Elite/Lumina: finish received after a complete upload
};

// The POSIX `cksum` CRC of some bytes (what `cksum FILE` prints first).
std::uint32_t PosixCksum(const std::vector<std::uint8_t>& bytes);

namespace cctalk {
class Peripheral;
}

class CcTalkBus {
 public:
  static constexpr std::uint32_t kDefaultReplyMs = 5;
  static constexpr std::array<std::uint8_t, 6> kDefaultKeyDigits = {4, 9, 0, 7, 2, 8};

  explicit CcTalkBus(platform::Clock& clock);
  ~CcTalkBus();
  CcTalkBus(const CcTalkBus&) = delete;
  CcTalkBus& operator=(const CcTalkBus&) = delete;

  // Puts a peripheral at an address; one already there is replaced.
  void Attach(PeripheralModel model, std::uint8_t address);
  // How long after a message is complete its reply can be fetched.
  void SetReplyMs(std::uint32_t ms);
  // The key digits the encrypting peripherals use from the next message on.
  void SetKeyDigits(const std::array<std::uint8_t, 6>& digits);
  std::array<std::uint8_t, 6> KeyDigits() const;
  std::uint32_t ReplyMs() const;
  // The wire's speed: a byte takes 10 bits / baud on it, and messages and replies
  // take their turns on the one wire. 0 (the default): bytes take no time.
  void SetBaud(std::uint32_t baud);
  std::uint32_t Baud() const;

  // Host bytes onto the bus; each message completed is answered (or not) at once,
  // its reply held until it is due: reply time after the message's last byte has
  // crossed the wire, each reply byte once it has crossed too.
  void Send(const std::uint8_t* bytes, std::size_t count);
  // Reply bytes due by now, at most `room`; the rest stay for the next fetch.
  std::size_t Fetch(std::uint8_t* out, std::size_t room);
  // Drops a partial message, undelivered replies and whatever is on the wire (the
  // bus changes hands).
  void Clear();

  void InjectFault(const PeripheralFault& fault);
  // Forgets every armed fault, those that fire always too.
  void ClearFaults();
  std::vector<PeripheralHolding> Holdings() const;  // by address

 private:
  struct Reply {
    std::int64_t start = 0;  // clock count: its first byte goes onto the wire
    std::size_t taken = 0;   // bytes already fetched
    std::vector<std::uint8_t> bytes;
  };
  // Clock counts `bytes` take on the wire, rounded up; 0 without a baud rate.
  std::int64_t WireCounts(std::size_t bytes) const;
  void Deliver(std::vector<std::uint8_t> message, std::int64_t end);
  // The fault that takes this message, if one does; counts it for every armed one.
  std::optional<FaultKind> FaultFor(std::uint8_t address, std::uint8_t header);

  platform::Clock& clock_;
  mutable std::mutex lock_;
  std::uint32_t replyMs_ = kDefaultReplyMs;
  std::uint32_t baud_ = 0;
  std::int64_t wireFree_ = 0;  // clock count from which the wire is free
  std::array<std::uint8_t, 6> key_ = kDefaultKeyDigits;
  std::vector<std::unique_ptr<cctalk::Peripheral>> peripherals_;
  std::vector<std::uint8_t> pending_;    // host bytes not yet a whole message
  std::deque<std::int64_t> pendingEnd_;  // when each of them has crossed the wire
  std::deque<Reply> replies_;
  struct ArmedFault {
    PeripheralFault fault;
    std::uint32_t toGo = 1;  // matching messages until it fires
  };
  std::vector<ArmedFault> faults_;
};

}  // namespace sim

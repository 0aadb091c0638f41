// The link between the virtual D2XX library (and tarvex-sim's own status and ctl
// commands) and a running tarvex-sim: where a unit slot listens, and the framing of
// one request/answer round trip. Little-endian throughout:
//   request  [u8 op][u32 payload length][payload]
//   answer   [u32 status][u32 payload length][payload]
// A connection's first request decides what it is: kOpen starts a D2XX session that
// lasts until kClose (or the connection ends); kStatus, kControl or kPresence is a
// one-shot exchange.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/local_socket.h"

namespace sim::link {

// D2XX calls carry the ordinal of their FTD2XX.dll entry point.
enum class Op : std::uint8_t {
  kOpen = 1,          // -> status
  kClose = 2,         // -> status; the session ends
  kRead = 3,          // u32 count -> the bytes read
  kWrite = 4,         // bytes -> u32 written
  kReset = 6,         // -> status
  kQueueStatus = 18,  // -> u32 receive bytes
  kGetStatus = 21,    // -> u32 receive bytes, u32 transmit bytes, u32 event status
  kSetLatency = 29,   // u8 milliseconds -> status
  kEeRead = 38,       // u32 signature 1, u32 signature 2, u32 version -> kEepromAnswerSize
  kStatus = 0x80,     // -> "key: value" lines
  kControl = 0x81,    // the command's words, each closed by a zero byte -> answer text;
                      // status 0 done, kUsageError for a command the unit cannot take
  kPresence = 0x82,   // -> status 0 when the unit is on the USB, else FT_DEVICE_NOT_FOUND
};

// EEPROM answer: u32 version, u16 vendor id, u16 product id, then the four texts in
// zero-padded fields of the sizes the library's callers give their buffers.
inline constexpr std::uint32_t kManufacturerSize = 32;
inline constexpr std::uint32_t kManufacturerIdSize = 16;
inline constexpr std::uint32_t kDescriptionSize = 64;
inline constexpr std::uint32_t kSerialNumberSize = 16;
inline constexpr std::uint32_t kEepromAnswerSize =
    8 + kManufacturerSize + kManufacturerIdSize + kDescriptionSize + kSerialNumberSize;

inline constexpr std::uint32_t kUsageError = 2;  // kControl: the command was refused

// No payload is larger (a read or write is cut into pieces this size).
inline constexpr std::uint32_t kMaxPayload = 0x10000;

// Bounds of every wait: a dead simulator never holds its caller up for longer.
inline constexpr int kConnectTimeoutMs = 2000;
inline constexpr int kAnswerTimeoutMs = 5000;

// Slots a status or ctl command looks through for a unit.
inline constexpr int kMaxSlots = 16;
inline constexpr std::uint16_t kDefaultBasePort = 47810;

// The endpoint of unit slot `slot`: under $TARVEX_SIM_ENDPOINT (POSIX a folder,
// Windows a base port), else the per-user default.
std::string SlotEndpoint(int slot);
// The base itself, for messages.
std::string EndpointBase();

// The client side of one connection.
class Client {
 public:
  // kOk, kClosed (nobody listens at that slot) or another failure.
  platform::SocketResult Connect(int slot, int timeoutMs = kConnectTimeoutMs);
  // One round trip. False when the link failed; it then stays failed, since an
  // answer arriving late would be taken for the next one.
  bool Exchange(Op op, const std::uint8_t* payload, std::uint32_t size, std::uint32_t* status,
                std::vector<std::uint8_t>* answer, int timeoutMs = kAnswerTimeoutMs);
  bool connected() const { return socket_.valid() && !failed_; }
  void Close() { socket_.Close(); }

 private:
  platform::LocalSocket socket_;
  bool failed_ = false;
};

// Server side. The op byte is waited for up to `firstByteMs` (kTimeout when none
// came); the rest of the request then within kAnswerTimeoutMs.
platform::SocketResult ReceiveRequest(platform::LocalSocket& socket, int firstByteMs, Op* op,
                                      std::vector<std::uint8_t>* payload);
bool SendAnswer(platform::LocalSocket& socket, std::uint32_t status, const std::uint8_t* payload,
                std::uint32_t size);

}  // namespace sim::link

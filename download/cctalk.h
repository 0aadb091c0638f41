// The ccTalk side of a download: taking the unit's bus over through Qmxzelti's raw
// port and handing it back, one message and its reply (checksum or CRC form,
// encrypted or clear), the CRC and the cipher.
#pragma once

#include <cstddef>
#include <cstdint>

#include "download/frame.h"

namespace dfl {

inline constexpr std::size_t kDataArea = QMX_RAW_PORT_DATA;  // 140 bytes
inline constexpr std::size_t kMaxMessageData = kDataArea - 5;  // N: 0 to 135

// Dialogue results besides the count of reply bytes gathered (5 or more).
inline constexpr std::int32_t kNotAck = -98;
inline constexpr std::int32_t kBadCheck = -99;
inline constexpr std::int32_t kTimeout = -1;

// The unit answers raw port commands within its next rounds; one that stays silent
// this long has stopped serving, and the step counts as failed.
inline constexpr std::uint32_t kUnitAnswerMs = 5000;
// The unit takes one command at a time: one placed before it answered the last is
// refused, and that answer (maybe the reply) is lost. So a command goes out only once
// the one before it is answered. Inside a 100 ms tick the answer is looked for every
// millisecond, and a fresh receive request follows an answer at once, but no sooner
// than kLookMs after the one before (a fast unit is not flooded). A unit that answers
// "nothing received" with a negative count shows that a 0 means "not answered yet";
// until one has, a 0 that lasts kUnsureLookMs (the pace of one receive request per
// tick) is taken for an empty answer.
inline constexpr std::uint32_t kPauseMs = 1;
inline constexpr std::uint32_t kLookMs = 5;
inline constexpr std::uint32_t kUnsureLookMs = 100;

enum class Form { kChecksum, kCrc };

// ccTalk's CRC-16 (polynomial 0x1021, initial 0, most significant bit first).
std::uint16_t Crc16(const std::uint8_t* bytes, std::size_t count, std::uint16_t crc = 0);
// The message's CRC: bytes 0, 1, 3 and the data; not the CRC's own bytes 2 and N+4.
std::uint16_t MessageCrc(const std::uint8_t* message);

// The cipher over n bytes (a message's bytes 2 to N+4), in place.
void Encrypt(std::uint8_t* bytes, std::size_t count, const KeyDigits& key);
void Decrypt(std::uint8_t* bytes, std::size_t count, const KeyDigits& key);

// Judges `gathered` (5 or more) reply bytes at the start of the data area: decrypts
// (CRC form, encrypted), checks, and answers gathered, kNotAck or kBadCheck. A
// length byte that would take the check past the area is a bad reply.
std::int32_t JudgeReply(std::uint8_t (&area)[kDataArea], std::size_t gathered, Form form,
                        bool encrypted, const KeyDigits& key);

// One download's raw port request and the exchanges over it.
class RawPort {
 public:
  explicit RawPort(Defloader& library) : library_(library) {}

  // Lays out a message for `destination` with `header`: the data bytes are already
  // at Data(), or given here. Source address 1 in the checksum form.
  std::uint8_t* Data() { return request_.Data + 4; }
  void Build(std::uint8_t destination, std::uint8_t header, std::size_t dataLength, Form form);
  void Build(std::uint8_t destination, std::uint8_t header, std::initializer_list<std::uint8_t> data,
             Form form);

  std::int32_t RequestBusControl();  // positive: the unit handed the bus over
  std::int32_t ReleaseBus();
  void ReturnControl();

  // Sends the message built and gathers its reply into the data area.
  std::int32_t Dialogue(std::uint32_t timeoutMs);                 // checksum form
  std::int32_t Dialogue(std::uint32_t timeoutMs, bool encrypted);  // CRC form

  const QmxRawPortRequest& request() const { return request_; }

 private:
  // Places a raw port command once the one before is answered; false when the unit
  // answered or took none within kUnitAnswerMs.
  bool Command(std::int32_t command, std::int32_t length);
  // Waits for the unit's answer to the latest command, at most kUnitAnswerMs from
  // the clock count `since`, read into `buffer` (the data area, or a scratch buffer
  // of kScratch bytes).
  bool AwaitAnswer(std::int32_t* answer, std::uint8_t* buffer, std::int64_t since);
  // One look at the answer to the outstanding command: its count, 0 while none.
  std::int32_t Look(std::uint8_t* buffer);
  std::int32_t HandOver(std::int32_t command);  // the answer, or kTimeout
  std::int32_t Exchange(std::uint32_t timeoutMs, Form form, bool encrypted);
  std::int64_t MsSince(std::int64_t count) const;  // milliseconds since a clock count

  Defloader& library_;
  QmxRawPortRequest request_{};
  bool outstanding_ = false;         // the latest command awaits its answer
  std::int64_t placed_ = 0;          // clock count when it was placed
  bool emptyIsNegative_ = false;     // the unit answered "nothing received" below 0
};

// Both downloads' first step on the bus: asks the unit for it (stage 5) and traces
// the answer, which it returns (positive: handed over).
std::int32_t RequestBus(Defloader& library, StatusSet& status, RawPort& port);

// Both downloads' last steps: the bus handed back, the wait after it (`waitLine`,
// `waitMs`), control returned and 2 s more, then `lastLine` and the result.
void HandBack(Defloader& library, StatusSet& status, RawPort& port, std::uint32_t waitMs,
              const char* waitLine, const char* lastLine, std::int32_t result);

}  // namespace dfl

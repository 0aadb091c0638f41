// ccTalk over the unit's raw port: the hand-over commands, one message and its reply,
// the CRC and the cipher.
#include "download/cctalk.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace dfl {
namespace {

// Raw port commands.
constexpr std::int32_t kRequestControl = 0;
constexpr std::int32_t kTransmit = 1;
constexpr std::int32_t kReceive = 2;
constexpr std::int32_t kRelease = 3;
constexpr std::int32_t kReturnControl = 4;

// RawPortResult's answer when the latest command was not placed: the unit had not
// yet answered the one before it (one command is in flight at a time).
constexpr std::int32_t kNotPlaced = -2;

constexpr std::uint8_t kHostAddress = 1;
constexpr std::size_t kScratch = 256;  // what RawPortResult may fill
constexpr std::size_t kMinimumReply = 5;

// Bit positions tested for the feedback, and the mixing constant.
constexpr std::uint8_t kTap[10] = {2, 5, 7, 1, 6, 3, 4, 7, 2, 5};
constexpr std::uint8_t kMix = 0x3C;
constexpr int kRounds = 12;

constexpr std::array<std::uint16_t, 256> MakeCrcTable() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned n = 0; n < 256; ++n) {
    std::uint16_t crc = static_cast<std::uint16_t>(n << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
    table[n] = crc;
  }
  return table;
}
constexpr std::array<std::uint16_t, 256> kCrcTable = MakeCrcTable();

std::uint8_t BitReverse(std::uint8_t byte) {
  std::uint8_t reversed = 0;
  for (int bit = 0; bit < 8; ++bit)
    if ((byte & (1u << bit)) != 0) reversed = static_cast<std::uint8_t>(reversed | (0x80u >> bit));
  return reversed;
}

bool Bit(std::uint8_t byte, unsigned bit) { return ((byte >> bit) & 1u) != 0; }

}  // namespace

std::uint16_t Crc16(const std::uint8_t* bytes, std::size_t count, std::uint16_t crc) {
  for (std::size_t i = 0; i < count; ++i)
    crc = static_cast<std::uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ bytes[i]) & 0xFF]);
  return crc;
}

std::uint16_t MessageCrc(const std::uint8_t* message) {
  std::uint16_t crc = Crc16(message, 2);
  crc = Crc16(message + 3, 1, crc);
  return Crc16(message + 4, message[1], crc);
}

void Encrypt(std::uint8_t* b, std::size_t n, const KeyDigits& k) {
  if (n == 0) return;
  const auto first = static_cast<std::uint8_t>(~(16 * k[0] + k[4]));
  for (std::size_t i = 0; i < n; ++i) b[i] ^= first;
  for (std::size_t i = 0; i < n; ++i)
    if (Bit(k[3], i % 4)) b[i] = BitReverse(b[i]);
  const auto mix = static_cast<std::uint8_t>(k[5] ^ kMix);
  for (int r = 0; r < kRounds; ++r) {
    std::uint8_t feedback = Bit(b[n - 1], 0) ? 0x80 : 0;
    for (std::size_t j = 0; j < n; ++j)
      if (Bit(b[j], kTap[(k[1] + j) % 10])) feedback ^= 0x80;
    std::uint8_t carry = feedback;
    for (std::size_t j = 0; j < n; ++j) {
      std::uint8_t out = Bit(b[j], 0) ? 0x80 : 0;
      if (Bit(mix, static_cast<unsigned>((r + j) % 8))) out ^= 0x80;
      b[j] = static_cast<std::uint8_t>((b[j] >> 1) | carry);
      carry = out;
    }
  }
  const auto last = static_cast<std::uint8_t>(17 * k[2]);
  for (std::size_t i = 0; i < n; ++i) b[i] ^= last;
}

void Decrypt(std::uint8_t* b, std::size_t n, const KeyDigits& k) {
  if (n == 0) return;
  const auto last = static_cast<std::uint8_t>(17 * k[2]);
  for (std::size_t i = 0; i < n; ++i) b[i] ^= last;
  const auto mix = static_cast<std::uint8_t>(k[5] ^ kMix);
  for (int r = kRounds - 1; r >= 0; --r) {
    std::uint8_t feedback = Bit(b[0], 7) ? 1 : 0;
    for (std::size_t j = 0; j < n; ++j)
      if (Bit(b[j], kTap[(k[1] + j) % 10] - 1u)) feedback ^= 1;
    std::uint8_t carry = feedback;
    for (std::size_t j = n; j-- > 0;) {
      std::uint8_t out = Bit(b[j], 7) ? 1 : 0;
      const long long position = static_cast<long long>(r) + static_cast<long long>(j) - 1;
      if (position >= 0 && Bit(mix, static_cast<unsigned>(position % 8))) out ^= 1;
      b[j] = static_cast<std::uint8_t>((b[j] << 1) | carry);
      carry = out;
    }
  }
  for (std::size_t i = 0; i < n; ++i)
    if (Bit(k[3], i % 4)) b[i] = BitReverse(b[i]);
  const auto first = static_cast<std::uint8_t>(~(16 * k[0] + k[4]));
  for (std::size_t i = 0; i < n; ++i) b[i] ^= first;
}

std::int32_t JudgeReply(std::uint8_t (&area)[kDataArea], std::size_t gathered, Form form,
                        bool encrypted, const KeyDigits& key) {
  const std::size_t total = std::size_t{area[1]} + 5;
  // The check covers N + 5 bytes: a length byte beyond the area makes the reply bad.
  if (gathered < kMinimumReply || gathered > kDataArea || total > kDataArea) return kBadCheck;
  if (form == Form::kChecksum) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < total; ++i) sum = static_cast<std::uint8_t>(sum + area[i]);
    if (sum != 0) return kBadCheck;
  } else {
    if (encrypted) Decrypt(area + 2, total - 2, key);
    const std::uint8_t low = area[2], high = area[total - 1];
    const std::uint16_t crc = MessageCrc(area);
    if (low != (crc & 0xFF) || high != (crc >> 8)) return kBadCheck;
  }
  if (area[3] != 0) return kNotAck;
  return static_cast<std::int32_t>(gathered);
}

void RawPort::Build(std::uint8_t destination, std::uint8_t header, std::size_t dataLength,
                    Form form) {
  request_.Data[0] = destination;
  request_.Data[1] = static_cast<std::uint8_t>(dataLength);
  request_.Data[2] = form == Form::kChecksum ? kHostAddress : 0;
  request_.Data[3] = header;
}

void RawPort::Build(std::uint8_t destination, std::uint8_t header,
                    std::initializer_list<std::uint8_t> data, Form form) {
  std::copy(data.begin(), data.end(), Data());
  Build(destination, header, data.size(), form);
}

bool RawPort::Command(std::int32_t command, std::int32_t length) {
  // Never over a command still in flight: the unit would refuse this one, and once it
  // answered, this one placed again would wipe that answer (the last receive request
  // of a reply wait, before a block goes again, say). Its answer is not wanted now.
  std::uint8_t scratch[kScratch];
  std::int32_t ignored = 0;
  if (outstanding_ && !AwaitAnswer(&ignored, scratch, library_.clock.Counter())) return false;
  request_.Command = command;
  request_.Parameter = 0;
  request_.Length = length;
  library_.calls.DoRawPort(&request_);
  // Refused all the same: another process's block is in flight. Nothing of ours is
  // waiting to be read, so place it again once the unit has caught up, within the
  // same bound; a unit that never catches up has stopped serving.
  const std::int64_t placed = library_.clock.Counter();
  while (library_.calls.RawPortResult(scratch) == kNotPlaced) {
    if (MsSince(placed) >= kUnitAnswerMs) return false;
    Pause(library_, kPauseMs);
    library_.calls.DoRawPort(&request_);
  }
  outstanding_ = command != kReturnControl;  // control handed back is not answered
  placed_ = library_.clock.Counter();
  return true;
}

// Elapsed time from a start count, never a count turned into milliseconds: a
// nanosecond counter times 1000 overflows after some 106 days of uptime, and a
// deadline set across that would never come.
std::int64_t RawPort::MsSince(std::int64_t count) const {
  return (library_.clock.Counter() - count) * 1000 / library_.clock.Frequency();
}

std::int32_t RawPort::Look(std::uint8_t* buffer) {
  const std::int32_t answer = library_.calls.RawPortResult(buffer);
  if (answer != 0) {
    outstanding_ = false;
    if (answer < 0 && request_.Command == kReceive) emptyIsNegative_ = true;
  } else if (request_.Command == kReceive && !emptyIsNegative_ &&
             MsSince(placed_) >= kUnsureLookMs) {
    outstanding_ = false;  // a unit that answers "nothing" with 0, as far as we know
  }
  return answer;
}

bool RawPort::AwaitAnswer(std::int32_t* answer, std::uint8_t* buffer, std::int64_t since) {
  // The unit answers within its next serving rounds; a silent one must not hold the
  // worker forever, nor burn a core meanwhile.
  for (;;) {
    *answer = Look(buffer);
    if (!outstanding_) return true;
    if (MsSince(since) >= kUnitAnswerMs) return false;
    Pause(library_, kPauseMs);
  }
}

std::int32_t RawPort::HandOver(std::int32_t command) {
  std::int32_t answer = 0;
  return Command(command, 0) && AwaitAnswer(&answer, request_.Data, placed_) ? answer : kTimeout;
}

std::int32_t RawPort::RequestBusControl() { return HandOver(kRequestControl); }

std::int32_t RawPort::ReleaseBus() { return HandOver(kRelease); }

void RawPort::ReturnControl() { (void)Command(kReturnControl, 0); }

std::int32_t RawPort::Dialogue(std::uint32_t timeoutMs) {
  library_.Trace("Entered \"RawDialogue\" (%d ms)\n", static_cast<int>(timeoutMs));
  std::uint8_t* message = request_.Data;
  const std::size_t last = std::size_t{message[1]} + 4;
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < last; ++i) sum = static_cast<std::uint8_t>(sum + message[i]);
  message[last] = static_cast<std::uint8_t>(0x100 - sum);
  return Exchange(timeoutMs, Form::kChecksum, false);
}

std::int32_t RawPort::Dialogue(std::uint32_t timeoutMs, bool encrypted) {
  library_.Trace("Entered \"RawDialogue\" (%d ms) (%s)\n", static_cast<int>(timeoutMs),
                 encrypted ? "Encrypted" : "Clear");
  std::uint8_t* message = request_.Data;
  const std::size_t last = std::size_t{message[1]} + 4;
  const std::uint16_t crc = MessageCrc(message);
  message[2] = static_cast<std::uint8_t>(crc & 0xFF);
  message[last] = static_cast<std::uint8_t>(crc >> 8);
  if (encrypted) Encrypt(message + 2, last - 1, library_.Key());
  return Exchange(timeoutMs, Form::kCrc, encrypted);
}

std::int32_t RawPort::Exchange(std::uint32_t timeoutMs, Form form, bool encrypted) {
  const char* const badCheck = form == Form::kChecksum ? "Bad Checksum\n" : "Bad CRC\n";
  // Any answer to the transmit, an error too, lets the dialogue go on to the reply;
  // none at all, or a unit that takes no request, ends it.
  std::int32_t answer = 0;
  if (!Command(kTransmit, static_cast<std::int32_t>(request_.Data[1]) + 5) ||
      !AwaitAnswer(&answer, request_.Data, placed_) || !Command(kReceive, 0)) {
    library_.Trace("Timeout Condition\n");
    return kTimeout;
  }
  const std::uint32_t ticks = std::max<std::uint32_t>(timeoutMs, 100) / 100;
  std::size_t gathered = 0;
  std::uint8_t scratch[kScratch];
  bool placing = true;  // false once a receive request could not be placed
  for (std::uint32_t left = ticks; left > 0 && placing; --left) {
    library_.Trace("Sleeping... (* %d) - ", static_cast<int>(left));
    const std::int64_t tickStart = library_.clock.Counter();
    do {
      Pause(library_, kPauseMs);
      const std::int32_t count = outstanding_ ? Look(scratch) : 0;
      if (count > 0) {
        // More than the scratch or the data area holds is not a reply we can judge.
        if (static_cast<std::size_t>(count) > kScratch ||
            gathered + static_cast<std::size_t>(count) > kDataArea) {
          library_.Trace("%s", badCheck);
          return kBadCheck;
        }
        std::memcpy(request_.Data + gathered, scratch, static_cast<std::size_t>(count));
        gathered += static_cast<std::size_t>(count);
        if (gathered >= kMinimumReply) {
          const std::int32_t verdict =
              JudgeReply(request_.Data, gathered, form, encrypted, library_.Key());
          if (verdict == kBadCheck) library_.Trace("%s", badCheck);
          if (verdict == kNotAck) library_.Trace("Not ACK\n");
          return verdict;
        }
      }
      // Answered: the next request may go (bytes came, so more may follow at once).
      if (!outstanding_ && (count > 0 || MsSince(placed_) >= kLookMs))
        placing = Command(kReceive, 0);
    } while (placing && MsSince(tickStart) < 100);
  }
  // The last tick's request stays in flight when unanswered; one answered is
  // followed by a fresh one, as after every tick.
  if (placing && !outstanding_) (void)Command(kReceive, 0);
  library_.Trace("Timeout Condition\n");
  return kTimeout;
}

std::int32_t RequestBus(Defloader& library, StatusSet& status, RawPort& port) {
  library.Trace("Requesting Tarvex to release control\n");
  status.stage = kStageRequestingBus;
  const std::int32_t answer = port.RequestBusControl();
  library.Trace("Control request returned %d\n", answer);
  return answer;
}

void HandBack(Defloader& library, StatusSet& status, RawPort& port, std::uint32_t waitMs,
              const char* waitLine, const char* lastLine, std::int32_t result) {
  library.Trace("Letting Tarvex retake control of the device\n");
  status.stage = kStageReleasing;
  library.Trace("Release bus returned %d\n", port.ReleaseBus());
  library.Trace("%s", waitLine);
  status.stage = kStageReleaseWait;
  Pause(library, waitMs);
  library.Trace("Return control to TarVex\n");
  status.stage = kStageReturning;
  port.ReturnControl();
  Pause(library, 2000);
  library.Trace("%s", lastLine);
  status.stage = kStageFinished;
  Finish(library, result);
}

}  // namespace dfl

// The peripherals' checksum, CRC and cipher. The cipher is twelve rounds of a
// one-bit shift of the whole buffer with a feedback bit from fixed tap positions,
// between a digit-keyed XOR and bit reversal on either side; decryption runs the
// rounds backwards.
#include "sim/cctalk_cipher.h"

namespace sim::cctalk {
namespace {

// Bit positions the feedback reads, each 1 to 7 so every round can be undone.
constexpr std::uint8_t kTap[10] = {2, 5, 7, 1, 6, 3, 4, 7, 2, 5};
constexpr std::uint8_t kMix = 0x3C;
constexpr int kRounds = 12;

std::uint8_t BitReverse(std::uint8_t byte) {
  std::uint8_t reversed = 0;
  for (int bit = 0; bit < 8; ++bit)
    if ((byte >> bit) & 1) reversed = static_cast<std::uint8_t>(reversed | (0x80 >> bit));
  return reversed;
}

bool Bit(unsigned value, unsigned bit) {
  return ((value >> bit) & 1) != 0;
}

std::uint16_t CrcStep(std::uint16_t crc, std::uint8_t byte) {
  crc = static_cast<std::uint16_t>(crc ^ (byte << 8));
  for (int bit = 0; bit < 8; ++bit)
    crc = static_cast<std::uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
  return crc;
}

}  // namespace

std::uint16_t Crc16(const std::uint8_t* bytes, std::size_t count) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < count; ++i) crc = CrcStep(crc, bytes[i]);
  return crc;
}

std::uint16_t Crc(const std::uint8_t* message, std::size_t count) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i + 1 < count; ++i)
    if (i != 2) crc = CrcStep(crc, message[i]);
  return crc;
}

bool CrcGood(const std::uint8_t* message, std::size_t count) {
  const std::uint16_t crc = Crc(message, count);
  return message[2] == (crc & 0xFF) && message[count - 1] == (crc >> 8);
}

void SetCrc(std::uint8_t* message, std::size_t count) {
  const std::uint16_t crc = Crc(message, count);
  message[2] = static_cast<std::uint8_t>(crc & 0xFF);
  message[count - 1] = static_cast<std::uint8_t>(crc >> 8);
}

bool ChecksumGood(const std::uint8_t* message, std::size_t count) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += message[i];
  return (sum & 0xFF) == 0;
}

void SetChecksum(std::uint8_t* message, std::size_t count) {
  unsigned sum = 0;
  for (std::size_t i = 0; i + 1 < count; ++i) sum += message[i];
  message[count - 1] = static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
}

void Encrypt(std::uint8_t* b, std::size_t n, const KeyDigits& k) {
  if (n == 0) return;
  const auto outer = static_cast<std::uint8_t>(~(16 * k[0] + k[4]));
  const unsigned mix = (k[5] ^ kMix) & 0xFF;
  for (std::size_t i = 0; i < n; ++i) {
    b[i] ^= outer;
    if (Bit(k[3], i % 4)) b[i] = BitReverse(b[i]);
  }
  for (int r = 0; r < kRounds; ++r) {
    std::uint8_t feedback = (b[n - 1] & 1) != 0 ? 0x80 : 0;
    for (std::size_t j = 0; j < n; ++j)
      if (Bit(b[j], kTap[(k[1] + j) % 10])) feedback ^= 0x80;
    std::uint8_t carry = feedback;
    for (std::size_t j = 0; j < n; ++j) {
      std::uint8_t out = (b[j] & 1) != 0 ? 0x80 : 0;
      if (Bit(mix, (r + j) % 8)) out ^= 0x80;
      b[j] = static_cast<std::uint8_t>((b[j] >> 1) | carry);
      carry = out;
    }
  }
  const auto inner = static_cast<std::uint8_t>(17 * k[2]);
  for (std::size_t i = 0; i < n; ++i) b[i] ^= inner;
}

void Decrypt(std::uint8_t* b, std::size_t n, const KeyDigits& k) {
  if (n == 0) return;
  const auto inner = static_cast<std::uint8_t>(17 * k[2]);
  const unsigned mix = (k[5] ^ kMix) & 0xFF;
  for (std::size_t i = 0; i < n; ++i) b[i] ^= inner;
  for (int r = kRounds - 1; r >= 0; --r) {
    std::uint8_t feedback = (b[0] & 0x80) != 0 ? 1 : 0;
    for (std::size_t j = 0; j < n; ++j)
      if (Bit(b[j], kTap[(k[1] + j) % 10] - 1u)) feedback ^= 1;
    std::uint8_t carry = feedback;
    for (std::size_t j = n; j-- > 0;) {
      std::uint8_t out = (b[j] & 0x80) != 0 ? 1 : 0;
      const std::size_t step = static_cast<std::size_t>(r) + j;
      if (step >= 1 && Bit(mix, (step - 1) % 8)) out ^= 1;
      b[j] = static_cast<std::uint8_t>((b[j] << 1) | carry);
      carry = out;
    }
  }
  const auto outer = static_cast<std::uint8_t>(~(16 * k[0] + k[4]));
  for (std::size_t i = 0; i < n; ++i) {
    if (Bit(k[3], i % 4)) b[i] = BitReverse(b[i]);
    b[i] ^= outer;
  }
}

}  // namespace sim::cctalk

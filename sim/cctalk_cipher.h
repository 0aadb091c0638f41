// The ccTalk message checks and cipher as the peripherals apply them: the 8-bit
// checksum, the 16-bit CRC of the CRC form, and the note acceptors' encryption of a
// message's bytes 2 to N+4. Written for the peripherals' side only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace sim::cctalk {

// The six key digits, most significant first (490728 is {4, 9, 0, 7, 2, 8}).
using KeyDigits = std::array<std::uint8_t, 6>;

// CRC-16, polynomial 0x1021, initial 0, most significant bit first, no final XOR.
std::uint16_t Crc16(const std::uint8_t* bytes, std::size_t count);
// A CRC-form message's CRC: over bytes 0, 1 and 3 to count-2 (the CRC's own bytes,
// 2 and the last, left out). `count` is the whole message, N + 5, at least 5.
std::uint16_t Crc(const std::uint8_t* message, std::size_t count);
// Whether a CRC-form message carries its CRC (low byte at 2, high byte last).
bool CrcGood(const std::uint8_t* message, std::size_t count);
// Puts the CRC into bytes 2 and count-1.
void SetCrc(std::uint8_t* message, std::size_t count);
// Whether the 8-bit sum of all bytes is zero.
bool ChecksumGood(const std::uint8_t* message, std::size_t count);
// Makes the last byte the one that brings the 8-bit sum to zero.
void SetChecksum(std::uint8_t* message, std::size_t count);

// In place, over a message's bytes 2 to N+4 (count = N + 3, at least 1).
void Encrypt(std::uint8_t* bytes, std::size_t count, const KeyDigits& key);
void Decrypt(std::uint8_t* bytes, std::size_t count, const KeyDigits& key);

}  // namespace sim::cctalk

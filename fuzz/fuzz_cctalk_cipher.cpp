// Fuzzes the ccTalk cipher: bytes 0 to 5 of the input are the key digits (low four
// bits each), byte 6 picks the check, the rest (at most a message's 138 enciphered
// bytes) are the bytes. Encryption must be undone by decryption and, as a reply is
// decrypted whatever it holds, decryption by encryption; and a reply the acceptor
// encrypted with its CRC in place must pass the judge. Regression inputs live in
// corpus/cctalk_cipher/.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "download/cctalk.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_cctalk_cipher: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kEnciphered = dfl::kDataArea - 2;  // bytes 2 to N+4
  if (size < 8 || size - 7 > kEnciphered) return 0;
  dfl::KeyDigits key;
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = data[i] & 0x0F;
  const std::uint8_t pick = data[6];
  data += 7;
  size -= 7;

  std::uint8_t bytes[kEnciphered];
  std::memcpy(bytes, data, size);
  switch (pick % 3) {
    case 0:
      dfl::Encrypt(bytes, size, key);
      dfl::Decrypt(bytes, size, key);
      if (std::memcmp(bytes, data, size) != 0) Fail("decryption does not undo encryption");
      break;
    case 1:
      dfl::Decrypt(bytes, size, key);
      dfl::Encrypt(bytes, size, key);
      if (std::memcmp(bytes, data, size) != 0) Fail("encryption does not undo decryption");
      break;
    default: {
      // A reply of the input's header and data, its CRC in place, as the acceptor
      // sends it: encrypted from byte 2 on.
      if (size < 3) return 0;
      std::uint8_t area[dfl::kDataArea] = {};
      const std::size_t n = size - 3;
      area[0] = 1;
      area[1] = static_cast<std::uint8_t>(n);
      std::memcpy(area + 3, data, size - 2);  // header and data
      const std::uint16_t crc = dfl::MessageCrc(area);
      area[2] = static_cast<std::uint8_t>(crc & 0xFF);
      area[n + 4] = static_cast<std::uint8_t>(crc >> 8);
      dfl::Encrypt(area + 2, n + 3, key);
      const std::int32_t verdict = dfl::JudgeReply(area, n + 5, dfl::Form::kCrc, true, key);
      if (verdict != (data[0] == 0 ? static_cast<std::int32_t>(n + 5) : dfl::kNotAck))
        Fail("a sound encrypted reply judged otherwise");
    }
  }
  return 0;
}

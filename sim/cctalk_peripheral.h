// What each simulated ccTalk peripheral implements for the bus (sim/cctalk_bus.cpp):
// open a message addressed to it (check, decrypt), act on it, and frame a reply in
// the form the message came in. One file per peripheral family.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "sim/cctalk_bus.h"
#include "sim/cctalk_cipher.h"

namespace sim::cctalk {

// ccTalk headers the peripherals know.
inline constexpr std::uint8_t kAck = 0;
inline constexpr std::uint8_t kResetDevice = 1;
inline constexpr std::uint8_t kNak = 5;
inline constexpr std::uint8_t kHostAddress = 1;
inline constexpr std::uint8_t kSimplePoll = 254;

enum class Form { kChecksum, kCrc, kCrcEncrypted };

class Peripheral {
 public:
  Peripheral(PeripheralModel model, std::uint8_t address) {
    holding_.model = model;
    holding_.address = address;
  }
  virtual ~Peripheral() = default;

  // A whole message addressed here: its form, with the message left in clear, or
  // nothing when it fails its check (a real device stays silent then).
  virtual std::optional<Form> Open(std::vector<std::uint8_t>* message, const KeyDigits& key) = 0;
  // Acts on an opened message: true to ACK it, false to NAK it.
  virtual bool Act(const std::vector<std::uint8_t>& message) = 0;

  PeripheralHolding& holding() { return holding_; }
  const PeripheralHolding& holding() const { return holding_; }

 protected:
  PeripheralHolding holding_;
};

// A reply with no data from `from` to the host, in the given form.
std::vector<std::uint8_t> MakeReply(Form form, std::uint8_t from, std::uint8_t header,
                                    const KeyDigits& key);
// Whether the whole message checks in the CRC form once bytes 2 to N+4 are decrypted;
// the message is left decrypted either way.
bool DecryptAndCheck(std::vector<std::uint8_t>* message, const KeyDigits& key);

std::unique_ptr<Peripheral> MakeSr5(std::uint8_t address);  // sr5.cpp
std::unique_ptr<Peripheral> MakeNoteAcceptor(PeripheralModel model,
                                             std::uint8_t address);  // note_acceptor.cpp

}  // namespace sim::cctalk

// The Elite and Lumina note acceptors on the ccTalk bus, CRC form: the simple poll,
// reset and a bill table upgrade (begin, upload in numbered blocks of lines, finish).
// An Elite takes every message encrypted; a Lumina takes the upload and the finish in
// clear and everything else encrypted, and refuses other mixtures. Replies go back
// in the form the message came in.
#include <algorithm>

#include "sim/cctalk_peripheral.h"

namespace sim::cctalk {
namespace {

constexpr std::uint8_t kFinishUpgrade = 142;
constexpr std::uint8_t kBeginUpgrade = 143;
constexpr std::uint8_t kUploadTables = 144;

// The upload's opening message; then block messages carry block (from 1), line
// (0 to 255) and up to 128 bytes of the table, each line 128 bytes into it.
constexpr std::uint8_t kOpening[] = {0, 0, 1, 0, 0};
constexpr std::size_t kLineBytes = 128;
constexpr std::size_t kLinesPerBlock = 256;

class NoteAcceptor final : public Peripheral {
 public:
  NoteAcceptor(PeripheralModel model, std::uint8_t address) : Peripheral(model, address) {}

  std::optional<Form> Open(std::vector<std::uint8_t>* message, const KeyDigits& key) override {
    if (holding_.model == PeripheralModel::kLumina) {
      const std::uint8_t header = (*message)[3];
      if ((header == kUploadTables || header == kFinishUpgrade) &&
          CrcGood(message->data(), message->size()))
        return Form::kCrc;
      if (!DecryptAndCheck(message, key)) return std::nullopt;
      const std::uint8_t clearHeader = (*message)[3];
      if (clearHeader != kSimplePoll && clearHeader != kBeginUpgrade && clearHeader != kResetDevice)
        return std::nullopt;
      return Form::kCrcEncrypted;
    }
    if (!DecryptAndCheck(message, key)) return std::nullopt;
    return Form::kCrcEncrypted;
  }

  bool Act(const std::vector<std::uint8_t>& message) override {
    const std::size_t count = message[1];
    switch (message[3]) {
      case kSimplePoll: return true;
      case kResetDevice:
        begun_ = false;  // an upgrade under way is abandoned; the table stays
        return true;
      case kBeginUpgrade:
        if (count != 0) return false;
        begun_ = true;
        opened_ = false;
        holding_.upgradeFinished = false;
        return true;
      case kUploadTables: return begun_ && Upload(message.data() + 4, count);
      case kFinishUpgrade:
        if (!begun_ || count != 0) return false;
        begun_ = false;
        holding_.upgradeFinished = opened_;
        return true;
      default: return false;
    }
  }

 private:
  bool Upload(const std::uint8_t* data, std::size_t count) {
    if (count == sizeof kOpening && std::equal(data, data + count, kOpening)) {
      holding_.content.clear();
      opened_ = true;
      stored_ = false;
      return true;
    }
    if (!opened_ || count < 3 || count > 2 + kLineBytes || data[0] == 0) return false;
    const std::uint8_t block = data[0], line = data[1];
    const bool repeat = stored_ && block == lastBlock_ && line == lastLine_;
    const bool next = stored_ ? (line == lastLine_ + 1 && block == lastBlock_) ||
                                    (line == 0 && lastLine_ == 255 && block == lastBlock_ + 1)
                              : block == 1 && line == 0;
    if (!repeat && !next) return false;
    // A repeat (the host retrying a line whose reply it missed) replaces that line.
    const std::size_t at = ((block - 1u) * kLinesPerBlock + line) * kLineBytes;
    holding_.content.resize(at);
    holding_.content.insert(holding_.content.end(), data + 2, data + count);
    lastBlock_ = block;
    lastLine_ = line;
    stored_ = true;
    return true;
  }

  bool begun_ = false;   // between begin and finish (or reset)
  bool opened_ = false;  // the upload's opening message came in this upgrade
  bool stored_ = false;  // a line has been stored since the opening message
  std::uint8_t lastBlock_ = 0, lastLine_ = 0;
};

}  // namespace

std::unique_ptr<Peripheral> MakeNoteAcceptor(PeripheralModel model, std::uint8_t address) {
  return std::make_unique<NoteAcceptor>(model, address);
}

}  // namespace sim::cctalk

// The SR5 coin acceptor on the ccTalk bus, checksum form: answers the simple poll and
// reset, and takes coin definitions: erase all coins, then per coin a begin, data
// packets and an end that stores the definition at its coin position. What it holds
// reads back as the coin definition file those coins make.
#include <array>

#include "sim/cctalk_peripheral.h"

namespace sim::cctalk {
namespace {

// Header 96 and the sub-command in its first data byte.
constexpr std::uint8_t kCoinDownload = 96;
constexpr std::uint8_t kEraseAll = 0xF5;
constexpr std::uint8_t kBeginCoin = 0xFF;
constexpr std::uint8_t kCoinData = 0xFE;
constexpr std::uint8_t kEndCoin = 0xFD;

constexpr std::size_t kPositions = 16;
constexpr std::size_t kMostPerPacket = 128;
// A definition's length must fit its 16-bit entry in the file's table.
constexpr std::size_t kMostPerCoin = 0xFFFF;

class Sr5 final : public Peripheral {
 public:
  explicit Sr5(std::uint8_t address) : Peripheral(PeripheralModel::kSr5, address) { Publish(); }

  std::optional<Form> Open(std::vector<std::uint8_t>* message, const KeyDigits&) override {
    if (!ChecksumGood(message->data(), message->size())) return std::nullopt;
    return Form::kChecksum;
  }

  bool Act(const std::vector<std::uint8_t>& message) override {
    const std::size_t count = message[1];
    const std::uint8_t* data = message.data() + 4;
    switch (message[3]) {
      case kSimplePoll: return true;
      case kResetDevice:
        begun_ = false;  // a coin half sent is lost; stored coins stay
        pending_.clear();
        return true;
      case kCoinDownload: return count >= 1 && Download(data[0], data + 1, count - 1);
      default: return false;
    }
  }

 private:
  bool Download(std::uint8_t step, const std::uint8_t* data, std::size_t count) {
    switch (step) {
      case kEraseAll:
        if (count != 0) return false;
        for (auto& coin : coins_) coin.clear();
        begun_ = false;
        pending_.clear();
        Publish();
        return true;
      case kBeginCoin:
        if (count != 0) return false;
        begun_ = true;
        pending_.clear();
        return true;
      case kCoinData:
        if (!begun_ || count == 0 || count > kMostPerPacket ||
            pending_.size() + count > kMostPerCoin)
          return false;
        pending_.insert(pending_.end(), data, data + count);
        return true;
      case kEndCoin:
        if (!begun_ || count != 1 || data[0] < 1 || data[0] > kPositions) return false;
        coins_[data[0] - 1u] = std::move(pending_);
        pending_.clear();
        begun_ = false;
        Publish();
        return true;
      default: return false;
    }
  }

  // The coin definition file of the stored coins.
  void Publish() {
    std::vector<std::uint8_t>& file = holding_.content;
    file.assign(2 * kPositions, 0);
    for (std::size_t p = 0; p < kPositions; ++p) {
      file[2 * p] = static_cast<std::uint8_t>(coins_[p].size() & 0xFF);
      file[2 * p + 1] = static_cast<std::uint8_t>(coins_[p].size() >> 8);
      file.insert(file.end(), coins_[p].begin(), coins_[p].end());
    }
  }

  std::array<std::vector<std::uint8_t>, kPositions> coins_;
  std::vector<std::uint8_t> pending_;
  bool begun_ = false;
};

}  // namespace

std::unique_ptr<Peripheral> MakeSr5(std::uint8_t address) {
  return std::make_unique<Sr5>(address);
}

}  // namespace sim::cctalk

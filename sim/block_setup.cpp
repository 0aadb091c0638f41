// Setting the block up and taking it down: the header and lists written before the
// magic, the first set-up that starts the StatusArea afresh on whatever the hosts
// left, and the driver state (Flashwright's claim, USBDriverExit, a unit that is
// unplugged from USB).
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/bytes.h"
#include "sim/block_layout.h"
#include "sim/block_server.h"

namespace sim {
namespace {

using namespace layout;

// The firmware source is asked every this many ticks while serving.
constexpr int kFirmwareEveryTicks = 50;

bool IsCoinAcceptor(const AcceptorConfig& acceptor) {
  return (acceptor.unitCode >> 24) == 0x02;
}

}  // namespace

std::string BlockServer::CoinText(int acceptor, int entry) const {
  const AcceptorConfig& config = options_.acceptors[static_cast<std::size_t>(acceptor)];
  char text[32];
  std::snprintf(text, sizeof text, "%s %" PRId32, IsCoinAcceptor(config) ? "Coin" : "Note",
                config.values[static_cast<std::size_t>(entry)]);
  return text;
}

void BlockServer::WriteText(std::uint32_t offset, const std::string& text) {
  // The text, its zero and padding to whole words.
  std::vector<std::uint8_t> bytes(text.begin(), text.end());
  bytes.resize(Padded(text.size() + 1), 0);
  for (std::size_t i = 0; i < bytes.size(); i += 4)
    Store(offset + static_cast<std::uint32_t>(i), platform::ReadLE32(bytes.data() + i));
}

// Writes every entry; words the host may write are set only the first time, so a
// later rewrite (a new level) keeps the host's settings.
void BlockServer::WriteLists(bool initial) {
  BeginUpdate();
  const bool texts = level_ >= kTextLevel;
  for (std::size_t a = 0; a < options_.acceptors.size(); ++a) {
    const AcceptorConfig& config = options_.acceptors[a];
    const std::uint32_t e = place_.acceptors[a];
    const std::vector<std::uint32_t>& coins = place_.coins[a];
    Store(e + 0, a + 1 < place_.acceptors.size() ? place_.acceptors[a + 1] : 0);
    if (initial) Store(e + 4, 0);
    Store(e + 8, config.unitCode);
    Store(e + 12, 0);
    Store(e + 16, static_cast<std::uint32_t>(coins.size()));
    Store(e + 20, config.interfaceNumber);
    Store(e + 24, config.address);
    if (initial) Store(e + 28, 0);
    Store(e + 32, 0);
    Store(e + 36, 0);
    Store(e + 40, coins.empty() ? 0 : coins[0]);
    Store(e + 44, texts ? static_cast<std::uint32_t>(coins.size()) : 0);
    Store(e + 48, texts ? place_.acceptorTexts[a] : 0);
    for (std::size_t c = 0; c < coins.size(); ++c) {
      const std::uint32_t k = coins[c];
      const auto channel = static_cast<std::uint32_t>(c + 1);
      Store(k + 0, c + 1 < coins.size() ? coins[c + 1] : 0);
      Store(k + 4, 0);
      Store(k + 8, static_cast<std::uint32_t>(config.values[c]));
      Store(k + kCoinAccepted, accepted_[a][c]);
      Store(k + 24, channel);  // the acceptor's channel for it
      if (initial) {
        for (std::uint32_t host : {12u, 20u, 28u, 32u}) Store(k + host, 0);
      }
      Store(k + 36, level_ >= kEscrowLevel ? channel : 0);
      Store(k + 40, 0);
      Store(k + 44, texts ? place_.coinTexts[a][c] : 0);
    }
  }
  for (std::size_t d = 0; d < options_.dispensers.size(); ++d) {
    const DispenserConfig& config = options_.dispensers[d];
    const std::uint32_t e = place_.dispensers[d];
    Store(e + 0, d + 1 < place_.dispensers.size() ? place_.dispensers[d + 1] : 0);
    if (initial) {
      for (std::uint32_t host : {4u, 12u, 24u, 32u}) Store(e + host, 0);
    }
    Store(e + 8, static_cast<std::uint32_t>(config.value));
    Store(e + 16, static_cast<std::uint32_t>(config.stock));
    Store(e + 20, config.address);
    Store(e + 28, 0);
    Store(e + 36, 0);
    // Low and high fill marks from level 6, a spare word from level 7.
    Store(e + 40, level_ >= 6 ? 10 : 0);
    Store(e + 44, level_ >= 6 ? 1000 : 0);
    Store(e + 48, texts ? 1 : 0);
    Store(e + 52, texts ? place_.dispenserTexts[d] : 0);
  }
  Store(kStatusAreaOffset + kAcceptorListOffset,
        place_.acceptors.empty() ? 0 : place_.acceptors[0]);
  Store(kStatusAreaOffset + kDispenserListOffset,
        place_.dispensers.empty() ? 0 : place_.dispensers[0]);
}

void BlockServer::WriteTexts() {
  for (std::size_t a = 0; a < options_.acceptors.size(); ++a) {
    WriteText(place_.acceptorTexts[a], options_.acceptors[a].description);
    for (std::size_t c = 0; c < place_.coinTexts[a].size(); ++c)
      WriteText(place_.coinTexts[a][c], CoinText(static_cast<int>(a), static_cast<int>(c)));
  }
  for (std::size_t d = 0; d < options_.dispensers.size(); ++d)
    WriteText(place_.dispenserTexts[d], options_.dispensers[d].description);
}

void BlockServer::RefreshFirmware(bool force) {
  if (!force && ++firmwareAge_ < kFirmwareEveryTicks) return;
  firmwareAge_ = 0;
  FirmwareInfo info;
  if (options_.firmware) info = options_.firmware();
  if (options_.fixedVersionWord || !options_.firmware) info.versionWord = options_.versionWord;
  if (info == firmware_ && !force) return;
  firmware_ = std::move(info);
  if (force) return;  // the set-up writes the header itself
  // The firmware changed under a served block (a restart finished late): the header
  // follows it.
  Store(kFirmwareVersionWord, firmware_.versionWord);
  WriteCompileTexts();
}

// CompileDate and CompileTime: 16-byte fields, cut to 15 characters and zero-padded.
void BlockServer::WriteCompileTexts() {
  for (auto [offset, text] :
       {std::pair<std::uint32_t, const std::string*>{kCompileDate, &firmware_.compileDate},
        {kCompileTime, &firmware_.compileTime}}) {
    std::uint8_t bytes[kHeaderTextSize] = {};
    std::memcpy(bytes, text->data(), std::min<std::size_t>(text->size(), kHeaderTextSize - 1));
    for (std::uint32_t i = 0; i < kHeaderTextSize; i += 4)
      Store(offset + i, platform::ReadLE32(bytes + i));
  }
}

void BlockServer::WriteHeader() {
  Store(kBlockFormat, 1);
  Store(kFirmwareLevel, static_cast<std::uint32_t>(level_));
  Store(kFirmwareVersionWord, firmware_.versionWord);
  Store(kStatusAreaOffsetAt, kStatusAreaOffset);
  Store(kCommandAreaOffsetAt, kCommandAreaOffset);
  Store(kUnitSerialNumber, options_.unitSerialNumber);
  Store(kPayoutBase, options_.payoutBase);
  WriteCompileTexts();
}

// The target the unit pays toward at its level: BasedPayoutTarget less PayoutBase
// from level 5, PayoutTarget below.
std::uint32_t BlockServer::PayoutTargetOfLevel() const {
  return level_ >= kEscrowLevel ? commands_.basedPayoutTarget - options_.payoutBase
                                : commands_.payoutTarget;
}

// The first set-up of this process: the StatusArea starts afresh, and whatever the
// hosts left in the CommandArea counts as already done (no message, event, payout,
// escrow or barcode decision, or E2Prom row is owed from before this process). The
// payout starts clean: the host's PayoutTarget counts as paid (or --paid-total
// stands), PayStatus 1, and only a later move of the target is a payout.
void BlockServer::FirstSetUp() {
  statusCount_ = Load(kStatusAreaOffset + kStatusStartCount);
  Commands commands;
  // A host that died halfway through a change would hold us here for ever: after a
  // bounded number of tries the words are taken as they are.
  for (int tries = 0; tries < 1000 && !ReadCommands(&commands, false); ++tries) {
  }
  BeginUpdate();
  for (std::uint32_t field = kOpenInhibit; field < kStatusAreaSize; field += 4)
    Store(kStatusAreaOffset + field, 0);
  commands_ = commands;
  blockAck_ = commands.blockSequence;
  eventSequence_ = commands.eventAck;
  pay_.paid = options_.paidTotal.value_or(commands.payoutTarget);
  pay_.status = 1;
  pay_.paying = false;
  escrowAccept_ = commands.escrowAccept;
  escrowReturn_ = commands.escrowReturn;
  escrowThroughput_ = escrowAccept_ + escrowReturn_;
  barcode_.acceptSeen = commands.barcodeAccept;
  barcode_.returnSeen = commands.barcodeReturn;
  barcode_.escrowCount = barcode_.acceptSeen + barcode_.returnSeen;
  checkA_ = commands.checkA;
  checkB_ = commands.checkB;
  Store(kStatusAreaOffset + kBlockAckSequence, blockAck_);
  Store(kStatusAreaOffset + kPaidTotal, pay_.paid);
  Store(kStatusAreaOffset + kPayStatus, pay_.status);
  Store(kStatusAreaOffset + kAvailableValueWord, static_cast<std::uint32_t>(availableValue_));
  Store(kStatusAreaOffset + kEventSequence, eventSequence_);
  Store(kStatusAreaOffset + kEscrowThroughputCount, escrowThroughput_);
  Store(kStatusAreaOffset + kBarcodeEscrowCount, barcode_.escrowCount);
  Store(kStatusAreaOffset + kCheckOperationResult, checkA_ ^ checkB_);
  TakeSettings(commands.settings, true);
  WriteLists(true);
  EndUpdate();
  setUp_ = true;
}

// DriverState is 1 (ours) on entry: everything the hosts check is written before
// the magic, and the state goes to 0 only if nobody took the unit meanwhile.
void BlockServer::SetUp() {
  if (!setUp_) FirstSetUp();
  RefreshFirmware(true);
  if (!firmware_.ApplicationRuns()) {
    HoldNotReady();
    return;
  }
  noApplication_ = false;
  BeginUpdate();
  WriteLists(false);
  Store(kStatusAreaOffset + kOpenInhibit, openInhibit_);
  WriteMeter();
  printer_.status = ~0u;  // written afresh by RunPrinter
  RunPrinter(clock_.Counter());
  WriteTexts();
  EndUpdate();
  WriteHeader();
  Store(kMagicAt, kBlockMagic);
  if (!MoveDriverState(kStateStarting, kStateReady)) {
    Store(kMagicAt, 0);
    return;
  }
  serving_ = true;
  Publish();
  pay_.lastTarget = PayoutTargetOfLevel();
  pay_.lastTick = clock_.Counter();
}

// A unit whose application does not run (it failed its checksum after programming
// that ended unfinished, or the unit is still taking a firmware): no magic, no
// firmware named in the header, and DriverState 1, so that hosts are told "not
// ready" rather than shown a healthy unit. The firmware is asked again now and then.
void BlockServer::HoldNotReady() {
  Store(kMagicAt, 0);
  firmware_.versionWord = 0;
  firmware_.compileDate.clear();
  firmware_.compileTime.clear();
  WriteHeader();  // the unit's serial number stays readable
  serving_ = false;
  noApplication_ = true;
  firmwareAge_ = 0;
  if (Load(kDriverState) == kStateReady) MoveDriverState(kStateReady, kStateStarting);
  Publish();
}

void BlockServer::TakeDown() {
  Store(kMagicAt, 0);
  serving_ = false;
  Publish();
}

// The driver state is the one word the driver process shares with writers of its own
// kind (Flashwright, USBDriverExit): a move from one state to the next happens only
// if nobody changed the word meanwhile.
bool BlockServer::MoveDriverState(std::uint32_t from, std::uint32_t to) {
  return platform::CompareExchangeSharedWord(base_ + kDriverState, &from, to);
}

bool BlockServer::Connected() const {
  return !options_.connected || options_.connected();
}

// A unit unplugged from USB: the driver stops serving and says so with state 5
// (the hosts' "device not connected"), and serves again once it is back. Only a 5
// of its own is taken back; one another party wrote waits for that party's 0.
void BlockServer::HandleDriverState() {
  const std::uint32_t state = Load(kDriverState);
  const bool connected = Connected();
  if (state != kStateNotConnected) unplugNoted_ = false;
  if (serving_) {
    if (state == kStateReady && connected) return;
    // Flashwright holds the unit (2), the process is asked to end (4), someone
    // marked the driver not ready or the unit gone, or it was unplugged: the block
    // is not served.
    TakeDown();
    if (state == kStateExit) exitRequested_ = true;
    if (state == kStateReady && MoveDriverState(kStateReady, kStateNotConnected))
      unplugNoted_ = true;
    return;
  }
  if (!setUp_) {
    // Starting: only Flashwright's claim is respected; anything else an earlier
    // driver process left is ours to replace.
    if (state == kStateFlashwright) return;
    Store(kDriverAreaMagic, kBlockMagic);
    if (!MoveDriverState(state, kStateStarting)) return;
    SetUp();
    return;
  }
  if (state == kStateExit) {
    exitRequested_ = true;
  } else if (state == kStateStarting && noApplication_) {
    if (++firmwareAge_ >= kFirmwareEveryTicks) SetUp();
  } else if (state == kStateReady && !connected) {
    if (MoveDriverState(kStateReady, kStateNotConnected)) unplugNoted_ = true;
  } else if (state == kStateReady && MoveDriverState(kStateReady, kStateStarting)) {
    SetUp();
  } else if (state == kStateNotConnected && unplugNoted_ && connected &&
             MoveDriverState(kStateNotConnected, kStateStarting)) {
    unplugNoted_ = false;
    SetUp();
  }
}

}  // namespace sim

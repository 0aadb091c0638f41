// The unit's side of the shared interface block: header and lists set up before the
// magic, every StatusArea and list change inside the StatusStartCount/StatusEndCount
// pair, the host's CommandArea taken only as one consistent set, and the serving
// rounds (driver state, message channel and raw ccTalk port, payouts, events,
// switches, escrow, coins and notes).
//
// Every word goes through LoadSharedWord/StoreSharedWord, which are acquire loads
// and release stores. That alone orders the counter pair: a host that reads a field
// stored after our StatusStartCount increment then also reads that increment, so
// no separate fences are needed (and none trouble ThreadSanitizer).
#include "sim/block_server.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/bytes.h"

namespace sim {
namespace {

constexpr std::uint32_t kBlockMagic = 0xAA8D4A8C;

// Header.
constexpr std::uint32_t kMagicAt = 0;
constexpr std::uint32_t kBlockFormat = 4;
constexpr std::uint32_t kFirmwareLevel = 8;
constexpr std::uint32_t kFirmwareVersionWord = 12;
constexpr std::uint32_t kStatusAreaOffsetAt = 16;
constexpr std::uint32_t kCommandAreaOffsetAt = 20;
constexpr std::uint32_t kUnitSerialNumber = 36;
constexpr std::uint32_t kPayoutBase = 44;
constexpr std::uint32_t kCompileDate = 48;
constexpr std::uint32_t kCompileTime = 64;
constexpr std::uint32_t kHeaderTextSize = 16;
constexpr std::uint32_t kDriverAreaMagic = 0x2000;
constexpr std::uint32_t kDriverState = 0x2004;
constexpr std::uint32_t kDriverAreaEnd = 0x2008;

// DriverState values the driver process writes or acts on.
constexpr std::uint32_t kStateReady = 0;
constexpr std::uint32_t kStateStarting = 1;
constexpr std::uint32_t kStateFlashwright = 2;
constexpr std::uint32_t kStateExit = 4;

// StatusArea, from StatusAreaOffset.
constexpr std::uint32_t kStatusStartCount = 0;
constexpr std::uint32_t kStatusEndCount = 4;
constexpr std::uint32_t kOpenInhibit = 8;
constexpr std::uint32_t kBlockAckSequence = 12;
constexpr std::uint32_t kReplyLength = 16;
constexpr std::uint32_t kReplyData = 20;
constexpr std::uint32_t kReplyDataSize = 316;
constexpr std::uint32_t kSwitchCloseCounts = 336;
constexpr std::uint32_t kSwitchOpenCounts = 592;
constexpr int kSwitches = 64;
constexpr std::uint32_t kCurrentValueWord = 848;
constexpr std::uint32_t kPaidTotal = 852;
constexpr std::uint32_t kPayStatus = 856;
constexpr std::uint32_t kAvailableValueWord = 860;
constexpr std::uint32_t kAcceptorListOffset = 868;
constexpr std::uint32_t kDispenserListOffset = 872;
constexpr std::uint32_t kEscrowThroughputCount = 884;
constexpr std::uint32_t kEventSequence = 888;
constexpr std::uint32_t kEventWord = 892;
constexpr std::uint32_t kCheckOperationResult = 948;
constexpr std::uint32_t kStatusAreaSize = 952;

// CommandArea, from CommandAreaOffset.
constexpr std::uint32_t kCommandStartCount = 0;
constexpr std::uint32_t kCommandEndCount = 4;
constexpr std::uint32_t kHostOpen = 8;
constexpr std::uint32_t kBlockSequence = 12;
constexpr std::uint32_t kBlockType = 16;
constexpr std::uint32_t kBlockLength = 20;
constexpr std::uint32_t kBlockData = 24;
constexpr std::uint32_t kBlockDataSize = 312;
constexpr std::uint32_t kInterfaceEnabled = 336;
constexpr std::uint32_t kIndicatorSlots = 340;
constexpr std::uint32_t kPayoutTarget = 596;
constexpr std::uint32_t kValueNeeded = 600;
constexpr std::uint32_t kEscrowEnabled = 1384;
constexpr std::uint32_t kEscrowAcceptCount = 1388;
constexpr std::uint32_t kEscrowReturnCount = 1392;
constexpr std::uint32_t kEventAckSequence = 1408;
constexpr std::uint32_t kBasedPayoutTarget = 1412;
constexpr std::uint32_t kAttachCount = 1416;
constexpr std::uint32_t kCheckOperationA = 1420;
constexpr std::uint32_t kCheckOperationB = 1424;
constexpr std::uint32_t kCommandAreaSize = 1428;

// Both areas lie between the header and the driver area.
static_assert(BlockServer::kStatusAreaOffset >= 80 &&
              BlockServer::kStatusAreaOffset + kStatusAreaSize <= BlockServer::kCommandAreaOffset);
static_assert(BlockServer::kCommandAreaOffset + kCommandAreaSize <= kDriverAreaMagic);
static_assert(BlockServer::kListOffset >= kDriverAreaEnd);

// List entries.
constexpr std::uint32_t kAcceptorEntrySize = 52;
constexpr std::uint32_t kCoinEntrySize = 48;
constexpr std::uint32_t kDispenserEntrySize = 56;
constexpr std::size_t kMaxCoinEntries = 256;
constexpr std::uint32_t kCoinAccepted = 16;

// Message block types.
constexpr std::uint32_t kTypeE2PromReset = 4;
constexpr std::uint32_t kTypeDeviceKey = 5;
constexpr std::uint32_t kTypeTicketPiece = 6;
constexpr std::uint32_t kTypeDestination = 64;
constexpr std::uint32_t kTypeRawPort = 128;
constexpr std::uint32_t kRawPortCommands = 5;
// ReplyLength of a block the unit cannot act on: an answer, but not a positive one.
constexpr std::int32_t kRefused = -1;

// ccTalk: the host's own address, and the header of an ACK.
constexpr std::uint8_t kHostAddress = 1;
constexpr std::uint8_t kAck = 0;

// Changes kept for AwaitApplied.
constexpr std::size_t kOutcomesKept = 64;
// The firmware source is asked every this many ticks while serving.
constexpr int kFirmwareEveryTicks = 50;

std::uint32_t Padded(std::size_t bytes) {
  return static_cast<std::uint32_t>((bytes + 3) & ~std::size_t{3});
}

bool IsCoinAcceptor(const AcceptorConfig& acceptor) {
  return (acceptor.unitCode >> 24) == 0x02;
}

// ccTalk's CRC: CRC-16, polynomial 0x1021, initial value 0, most significant bit first.
std::uint16_t Crc16(std::uint16_t crc, std::uint8_t byte) {
  crc = static_cast<std::uint16_t>(crc ^ (byte << 8));
  for (int bit = 0; bit < 8; ++bit)
    crc = static_cast<std::uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
  return crc;
}

// The CRC of a CRC-form message: every byte but the CRC's own two (2 and the last).
std::uint16_t MessageCrc(const std::uint8_t* message, std::size_t total) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i + 1 < total; ++i)
    if (i != 2) crc = Crc16(crc, message[i]);
  return crc;
}

}  // namespace

std::vector<AcceptorConfig> BlockOptions::DefaultAcceptors() {
  AcceptorConfig coins;
  coins.unitCode = 0x02000001;
  coins.address = 2;
  coins.values = {5, 10, 20, 50, 100, 200};
  coins.description = "Coin acceptor";
  AcceptorConfig notes;
  notes.unitCode = 0x01000001;
  notes.address = 40;
  notes.values = {500, 1000, 2000, 5000};
  notes.description = "Note acceptor";
  return {coins, notes};
}

std::vector<DispenserConfig> BlockOptions::DefaultDispensers() {
  return {{100, 3, 500, "Dispenser 100"}, {10, 4, 500, "Dispenser 10"}};
}

BlockServer::BlockServer(std::uint8_t* base, std::size_t size, BlockOptions options,
                         platform::Clock& clock)
    : base_(base), size_(size), options_(std::move(options)), clock_(clock) {
  level_ = options_.level;
  availableValue_ = options_.availableValue;
  closeCounts_.assign(kSwitches, 0);
  openCounts_.assign(kSwitches, 0);

  // Entries first (each acceptor followed by its coins, then the dispensers), then
  // every text, each closed by a zero and padded to a whole word.
  std::uint64_t at = kListOffset;
  for (const AcceptorConfig& acceptor : options_.acceptors) {
    place_.acceptors.push_back(static_cast<std::uint32_t>(at));
    at += kAcceptorEntrySize;
    std::vector<std::uint32_t> coins;
    for (std::size_t i = 0; i < acceptor.values.size(); ++i) {
      coins.push_back(static_cast<std::uint32_t>(at));
      at += kCoinEntrySize;
    }
    place_.coins.push_back(std::move(coins));
    accepted_.emplace_back(acceptor.values.size(), 0);
  }
  for (std::size_t i = 0; i < options_.dispensers.size(); ++i) {
    place_.dispensers.push_back(static_cast<std::uint32_t>(at));
    at += kDispenserEntrySize;
  }
  for (std::size_t a = 0; a < options_.acceptors.size(); ++a) {
    place_.acceptorTexts.push_back(static_cast<std::uint32_t>(at));
    at += Padded(options_.acceptors[a].description.size() + 1);
    std::vector<std::uint32_t> texts;
    for (std::size_t c = 0; c < options_.acceptors[a].values.size(); ++c) {
      texts.push_back(static_cast<std::uint32_t>(at));
      at += Padded(CoinText(static_cast<int>(a), static_cast<int>(c)).size() + 1);
    }
    place_.coinTexts.push_back(std::move(texts));
  }
  for (const DispenserConfig& dispenser : options_.dispensers) {
    place_.dispenserTexts.push_back(static_cast<std::uint32_t>(at));
    at += Padded(dispenser.description.size() + 1);
  }
  place_.end = static_cast<std::uint32_t>(std::min<std::uint64_t>(at, 0xFFFFFFFFu));

  char text[160];
  fits_ = false;
  if (reinterpret_cast<std::uintptr_t>(base_) % 4 != 0) {
    misfit_ = "the block is not aligned to a whole word";
  } else if (size_ < kDriverAreaEnd || at > size_) {
    std::snprintf(text, sizeof text,
                  "the lists need the block up to 0x%" PRIX64 " but it has 0x%zX bytes", at, size_);
    misfit_ = text;
  } else if (options_.tickMs == 0) {
    misfit_ = "the tick must be at least 1 ms";
  } else {
    fits_ = true;
    for (std::size_t a = 0; a < options_.acceptors.size(); ++a) {
      if (options_.acceptors[a].values.size() > kMaxCoinEntries) {
        std::snprintf(text, sizeof text, "acceptor %zu has %zu entries; at most %zu", a,
                      options_.acceptors[a].values.size(), kMaxCoinEntries);
        misfit_ = text;
        fits_ = false;
        break;
      }
    }
  }
  Publish();
}

BlockServer::~BlockServer() {
  Stop();
}

bool BlockServer::Check(std::string* error) const {
  if (!fits_ && error != nullptr) *error = misfit_;
  return fits_;
}

// --- block access ---------------------------------------------------------------------

std::uint32_t BlockServer::Load(std::uint32_t offset) const {
  return platform::LoadSharedWord(base_ + offset);
}

void BlockServer::Store(std::uint32_t offset, std::uint32_t value) {
  platform::StoreSharedWord(base_ + offset, value);
}

void BlockServer::StoreStatus(std::uint32_t field, std::uint32_t value) {
  BeginUpdate();
  Store(kStatusAreaOffset + field, value);
}

void BlockServer::BeginUpdate() {
  if (inUpdate_) return;
  ++statusCount_;
  Store(kStatusAreaOffset + kStatusStartCount, statusCount_);
  inUpdate_ = true;
}

void BlockServer::EndUpdate() {
  if (!inUpdate_) return;
  Store(kStatusAreaOffset + kStatusEndCount, statusCount_);
  inUpdate_ = false;
}

// The mirror of the host's consistent read: end count, the fields, start count; a
// host halfway through a change (the counts differ) is left alone this tick.
bool BlockServer::ReadCommands(Commands* commands, bool withBlock) const {
  constexpr std::uint32_t c = kCommandAreaOffset;
  const std::uint32_t end = Load(c + kCommandEndCount);
  if (Load(c + kCommandStartCount) != end) return false;
  commands->blockSequence = Load(c + kBlockSequence);
  if (withBlock && commands->blockSequence != blockAck_) {
    commands->blockType = Load(c + kBlockType);
    commands->blockLength = Load(c + kBlockLength);
    for (std::uint32_t i = 0; i < kBlockDataSize; i += 4)
      platform::WriteLE32(commands->blockData + i, Load(c + kBlockData + i));
  }
  commands->payoutTarget = Load(c + kPayoutTarget);
  commands->basedPayoutTarget = Load(c + kBasedPayoutTarget);
  commands->escrowEnabled = Load(c + kEscrowEnabled);
  commands->escrowAccept = Load(c + kEscrowAcceptCount);
  commands->escrowReturn = Load(c + kEscrowReturnCount);
  commands->eventAck = Load(c + kEventAckSequence);
  commands->checkA = Load(c + kCheckOperationA);
  commands->checkB = Load(c + kCheckOperationB);
  return Load(c + kCommandStartCount) == end;
}

// --- set-up ---------------------------------------------------------------------------

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
  const bool texts = level_ >= 7;
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
      Store(k + 36, level_ >= 5 ? channel : 0);
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

// The first set-up of this process: the StatusArea starts afresh, and whatever the
// hosts left in the CommandArea counts as already done (no message, event, payout
// or escrow decision is owed from before this process).
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
  paidTotal_ = static_cast<std::int32_t>(commands.payoutTarget);
  escrowAccept_ = commands.escrowAccept;
  escrowReturn_ = commands.escrowReturn;
  escrowThroughput_ = escrowAccept_ + escrowReturn_;
  checkA_ = commands.checkA;
  checkB_ = commands.checkB;
  payStatus_ = 1;
  Store(kStatusAreaOffset + kBlockAckSequence, blockAck_);
  Store(kStatusAreaOffset + kPaidTotal, static_cast<std::uint32_t>(paidTotal_));
  Store(kStatusAreaOffset + kPayStatus, payStatus_);
  Store(kStatusAreaOffset + kAvailableValueWord, static_cast<std::uint32_t>(availableValue_));
  Store(kStatusAreaOffset + kEventSequence, eventSequence_);
  Store(kStatusAreaOffset + kEscrowThroughputCount, escrowThroughput_);
  Store(kStatusAreaOffset + kCheckOperationResult, checkA_ ^ checkB_);
  WriteLists(true);
  EndUpdate();
  setUp_ = true;
}

// DriverState is 1 (ours) on entry: everything the hosts check is written before
// the magic, and the state goes to 0 only if nobody took the unit meanwhile.
void BlockServer::SetUp() {
  if (!setUp_) FirstSetUp();
  RefreshFirmware(true);
  BeginUpdate();
  WriteLists(false);
  Store(kStatusAreaOffset + kOpenInhibit, openInhibit_);
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
  lastTarget_ = static_cast<std::int32_t>(
      level_ >= 5 ? commands_.basedPayoutTarget - options_.payoutBase : commands_.payoutTarget);
  lastPayTick_ = clock_.Counter();
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

void BlockServer::HandleDriverState() {
  const std::uint32_t state = Load(kDriverState);
  if (serving_) {
    if (state == kStateReady) return;
    // Flashwright holds the unit (2), the process is asked to end (4), or someone
    // marked the driver not ready or the unit gone: the block is not served.
    TakeDown();
    if (state == kStateExit) exitRequested_ = true;
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
  } else if (state == kStateReady && MoveDriverState(kStateReady, kStateStarting)) {
    SetUp();
  }
}

// --- serving --------------------------------------------------------------------------

void BlockServer::Tick() {
  if (!fits_ || exitRequested_.load()) return;
  if (dead_) {
    // A unit that died mid-update serves nothing; the process can still be ended.
    if (Load(kDriverState) == kStateExit) exitRequested_ = true;
    Publish();
    return;
  }
  HandleDriverState();
  if (!serving_) {
    Publish();
    return;
  }
  const std::int64_t now = clock_.Counter();
  RefreshFirmware(false);
  Commands fresh;
  if (ReadCommands(&fresh, true)) {
    if (fresh.blockSequence == blockAck_) {
      // Keep the block words of the last message: they are only read when it moves.
      std::memcpy(fresh.blockData, commands_.blockData, sizeof fresh.blockData);
      fresh.blockType = commands_.blockType;
      fresh.blockLength = commands_.blockLength;
    }
    commands_ = fresh;
  }

  // A switch pressed last tick opens now: close and open are two changes.
  for (int number : switchesToOpen_) {
    ++openCounts_[static_cast<std::size_t>(number)];
    StoreStatus(kSwitchOpenCounts + 4 * static_cast<std::uint32_t>(number),
                openCounts_[static_cast<std::size_t>(number)]);
  }
  switchesToOpen_.clear();

  std::deque<Action> todo;
  {
    std::lock_guard<std::mutex> hold(lock_);
    todo.swap(actions_);
  }
  while (!todo.empty() && !dead_) {
    Apply(todo.front());
    todo.pop_front();
  }
  if (!todo.empty()) {
    std::lock_guard<std::mutex> hold(lock_);
    actions_.insert(actions_.begin(), todo.begin(), todo.end());
  }
  if (dead_) {
    Publish();
    applied_.notify_all();
    return;
  }

  if (commands_.blockSequence != blockAck_) AnswerMessage(commands_);
  DecideEscrow(commands_);
  if (commands_.checkA != checkA_ || commands_.checkB != checkB_) {
    checkA_ = commands_.checkA;
    checkB_ = commands_.checkB;
    StoreStatus(kCheckOperationResult, checkA_ ^ checkB_);
  }
  PostNextEvent(commands_);
  Pay(now);
  EndUpdate();
  Publish();
  applied_.notify_all();
}

void BlockServer::Accept(int acceptor, int entry) {
  const auto a = static_cast<std::size_t>(acceptor);
  const auto e = static_cast<std::size_t>(entry);
  currentValue_ += options_.acceptors[a].values[e];
  ++accepted_[a][e];
  StoreStatus(kCurrentValueWord, static_cast<std::uint32_t>(currentValue_));
  Store(place_.coins[a][e] + kCoinAccepted, accepted_[a][e]);
}

void BlockServer::Apply(const Action& action) {
  char text[160];
  switch (action.kind) {
    case ActionKind::kCoin:
    case ActionKind::kNote: {
      const char* kind = action.kind == ActionKind::kCoin ? "coin" : "note";
      const std::int32_t value = static_cast<std::int32_t>(action.value);
      // Notes wait in escrow while the host has it enabled (level 5 and above).
      if (action.kind == ActionKind::kNote && level_ >= 5 && commands_.escrowEnabled == 1) {
        escrow_.push_back({action.acceptor, action.entry, value});
        ++escrowThroughput_;
        StoreStatus(kEscrowThroughputCount, escrowThroughput_);
        std::snprintf(text, sizeof text, "%s %" PRId32 " held in escrow by acceptor %d", kind,
                      value, action.acceptor);
      } else {
        Accept(action.acceptor, action.entry);
        std::snprintf(text, sizeof text, "%s %" PRId32 " accepted by acceptor %d", kind, value,
                      action.acceptor);
      }
      break;
    }
    case ActionKind::kEvent:
      events_.push_back(action.value);
      std::snprintf(text, sizeof text, "event 0x%08" PRIX32 " queued (%zu waiting)", action.value,
                    events_.size());
      break;
    case ActionKind::kSwitch: {
      const auto number = static_cast<std::size_t>(action.value);
      ++closeCounts_[number];
      StoreStatus(kSwitchCloseCounts + 4 * action.value, closeCounts_[number]);
      switchesToOpen_.push_back(static_cast<int>(action.value));
      std::snprintf(text, sizeof text, "switch %" PRIu32 " closed, opens on the next tick",
                    action.value);
      break;
    }
    case ActionKind::kFailPayout:
      failArmed_ = true;
      failSet_ = false;
      failCode_ = action.value;
      std::snprintf(text, sizeof text, "the %s payout fails with code %" PRIu32,
                    paying_ ? "current" : "next", action.value);
      break;
    case ActionKind::kLevel:
      level_ = static_cast<std::int32_t>(action.value);
      WriteLists(false);
      WriteTexts();
      Store(kFirmwareLevel, action.value);
      // A new level reads the payout target another way; that is no new payout.
      lastTarget_ = static_cast<std::int32_t>(
          level_ >= 5 ? commands_.basedPayoutTarget - options_.payoutBase : commands_.payoutTarget);
      std::snprintf(text, sizeof text, "level %" PRId32, level_);
      break;
    case ActionKind::kInhibit:
      openInhibit_ = action.value;
      StoreStatus(kOpenInhibit, openInhibit_);
      std::snprintf(text, sizeof text, "OpenInhibit %" PRIu32, openInhibit_);
      break;
    case ActionKind::kDie:
      BeginUpdate();  // and never the copy into StatusEndCount
      dead_ = true;
      std::snprintf(text, sizeof text,
                    "stopped mid-update: StatusStartCount %" PRIu32 ", StatusEndCount %" PRIu32,
                    statusCount_, statusCount_ - 1);
      break;
  }
  std::lock_guard<std::mutex> hold(lock_);
  doneTicket_ = action.ticket;
  outcomes_.emplace_back(action.ticket, text);
  if (outcomes_.size() > kOutcomesKept) outcomes_.erase(outcomes_.begin());
}

void BlockServer::AnswerMessage(const Commands& commands) {
  std::uint8_t reply[kReplyDataSize] = {};
  std::int32_t length = kRefused;
  const std::uint32_t type = commands.blockType;
  const std::uint32_t dataLength = commands.blockLength;
  if (type == kTypeE2PromReset || type == kTypeDeviceKey || type == kTypeTicketPiece) {
    // Taken; what the firmware does with them comes with the E2Prom and printer.
    reply[0] = 1;
    length = 1;
  } else if (type >= kTypeDestination && type < kTypeRawPort) {
    // Destination n answers with n, then the data it was sent.
    if (dataLength <= kBlockDataSize) {
      platform::WriteLE32(reply, type - kTypeDestination);
      std::memcpy(reply + 4, commands.blockData, dataLength);
      length = static_cast<std::int32_t>(4 + dataLength);
    }
  } else if (type >= kTypeRawPort && type < kTypeRawPort + kRawPortCommands) {
    length = AnswerRawPort(type - kTypeRawPort, commands, reply);
  }
  StoreStatus(kReplyLength, static_cast<std::uint32_t>(length));
  if (length > 0) {
    for (std::uint32_t i = 0; i < Padded(static_cast<std::size_t>(length)); i += 4)
      Store(kStatusAreaOffset + kReplyData + i, platform::ReadLE32(reply + i));
  }
  blockAck_ = commands.blockSequence;
  Store(kStatusAreaOffset + kBlockAckSequence, blockAck_);
}

std::int32_t BlockServer::AnswerRawPort(std::uint32_t command, const Commands& commands,
                                        std::uint8_t* reply) {
  switch (command) {
    case 0:  // hand the bus to the host
      if (options_.refuseBusHandOver) return kRefused;
      hostHoldsBus_ = true;
      busSent_.clear();
      busReceived_.clear();
      reply[0] = 1;
      return 1;
    case 1:  // send bytes on the bus
      if (!hostHoldsBus_ || commands.blockLength > kBlockDataSize) return kRefused;
      BusReceive(commands.blockData, commands.blockLength);
      reply[0] = 1;
      return 1;
    case 2: {  // what the bus brought since the last request
      if (!hostHoldsBus_) return kRefused;
      const std::size_t count = std::min<std::size_t>(busReceived_.size(), kReplyDataSize);
      std::copy_n(busReceived_.begin(), count, reply);
      busReceived_.erase(busReceived_.begin(),
                         busReceived_.begin() + static_cast<std::ptrdiff_t>(count));
      return static_cast<std::int32_t>(count);
    }
    case 3:  // take the bus back, and say so
      hostHoldsBus_ = false;
      busSent_.clear();
      busReceived_.clear();
      reply[0] = 1;
      return 1;
    default:  // 4: take control back; no answer is awaited
      hostHoldsBus_ = false;
      busSent_.clear();
      busReceived_.clear();
      return 0;
  }
}

// The bus stand-in: one device at busDeviceAddress that ACKs every well-formed
// message addressed to it, in the form it was asked (checksum or CRC); anything
// else on the bus goes unanswered, as a real device stays silent.
void BlockServer::BusReceive(const std::uint8_t* bytes, std::size_t count) {
  busSent_.insert(busSent_.end(), bytes, bytes + count);
  while (busSent_.size() >= 2) {
    const std::size_t total = std::size_t{busSent_[1]} + 5;
    if (busSent_.size() < total) break;
    const std::vector<std::uint8_t> message(busSent_.begin(),
                                            busSent_.begin() + static_cast<std::ptrdiff_t>(total));
    busSent_.erase(busSent_.begin(), busSent_.begin() + static_cast<std::ptrdiff_t>(total));
    if (message[0] != options_.busDeviceAddress) continue;
    const std::uint16_t crc = MessageCrc(message.data(), total);
    std::uint8_t sum = 0;
    for (std::uint8_t byte : message) sum = static_cast<std::uint8_t>(sum + byte);
    std::uint8_t answer[5] = {kHostAddress, 0, 0, kAck, 0};
    if (message[2] == (crc & 0xFF) && message[total - 1] == (crc >> 8)) {
      const std::uint16_t answerCrc = MessageCrc(answer, sizeof answer);
      answer[2] = static_cast<std::uint8_t>(answerCrc);
      answer[4] = static_cast<std::uint8_t>(answerCrc >> 8);
    } else if (sum == 0) {
      answer[0] = message[2];  // back to whoever sent it
      answer[2] = options_.busDeviceAddress;
      answer[4] = static_cast<std::uint8_t>(0x100 - ((answer[0] + answer[2]) & 0xFF));
    } else {
      continue;
    }
    busReceived_.insert(busReceived_.end(), answer, answer + sizeof answer);
  }
}

// Items in escrow are decided in the order they came: each rise of the accept count
// takes that many in, each rise of the return count hands that many back.
void BlockServer::DecideEscrow(const Commands& commands) {
  const auto accepted = static_cast<std::int32_t>(commands.escrowAccept - escrowAccept_);
  const auto returned = static_cast<std::int32_t>(commands.escrowReturn - escrowReturn_);
  escrowAccept_ = commands.escrowAccept;
  escrowReturn_ = commands.escrowReturn;
  for (std::int32_t i = 0; i < accepted && !escrow_.empty(); ++i) {
    Accept(escrow_.front().acceptor, escrow_.front().entry);
    escrow_.pop_front();
  }
  for (std::int32_t i = 0; i < returned && !escrow_.empty(); ++i) escrow_.pop_front();
}

void BlockServer::PostNextEvent(const Commands& commands) {
  if (events_.empty() || commands.eventAck != eventSequence_) return;
  // The word before the sequence: a host that sees the new sequence finds its word.
  StoreStatus(kEventWord, events_.front());
  events_.pop_front();
  ++eventSequence_;
  Store(kStatusAreaOffset + kEventSequence, eventSequence_);
}

// Pays toward the host's target at payRate: a payout begins when the target moves
// above what has been paid and ends when it is reached (PayStatus 1), when an
// injected failure hits halfway (its code), or when the dispensers run dry. A
// failed payout is not resumed: only a new move of the target starts another.
void BlockServer::Pay(std::int64_t now) {
  const std::int64_t frequency = std::max<std::int64_t>(clock_.Frequency(), 1);
  const std::int64_t elapsed = std::clamp<std::int64_t>(now - lastPayTick_, 0, frequency);
  lastPayTick_ = now;
  const auto target = static_cast<std::int32_t>(
      level_ >= 5 ? commands_.basedPayoutTarget - options_.payoutBase : commands_.payoutTarget);
  if (target != lastTarget_) {
    lastTarget_ = target;
    if (target > paidTotal_) {
      if (!paying_) {
        paying_ = true;
        payCredit_ = 0;
        payStatus_ = 0;
        StoreStatus(kPayStatus, payStatus_);
        if (failArmed_) failSet_ = false;
      }
    } else if (paying_) {
      paying_ = false;  // the host took the rest back
      payStatus_ = 1;
      StoreStatus(kPayStatus, payStatus_);
    }
  }
  if (!paying_) return;
  if (failArmed_ && !failSet_) {
    failAt_ = paidTotal_ + (target - paidTotal_) / 2;
    failSet_ = true;
  }
  std::int64_t step = std::int64_t{target} - paidTotal_;
  if (options_.payRate != 0) {
    payCredit_ += elapsed * options_.payRate;
    step = std::min(step, payCredit_ / frequency);
    payCredit_ %= frequency;
  }
  if (failSet_) step = std::min<std::int64_t>(step, std::int64_t{failAt_} - paidTotal_);
  step = std::clamp<std::int64_t>(step, 0, std::max(availableValue_, 0));
  if (step > 0) {
    paidTotal_ += static_cast<std::int32_t>(step);
    availableValue_ -= static_cast<std::int32_t>(step);
    StoreStatus(kPaidTotal, static_cast<std::uint32_t>(paidTotal_));
    StoreStatus(kAvailableValueWord, static_cast<std::uint32_t>(availableValue_));
  }
  std::uint32_t ended = 0;
  if (failSet_ && paidTotal_ >= failAt_) {
    ended = failCode_;
    failArmed_ = failSet_ = false;
  } else if (paidTotal_ >= target) {
    ended = 1;
  } else if (availableValue_ <= 0) {
    ended = kDispensersEmpty;
  }
  if (ended != 0) {
    paying_ = false;
    payStatus_ = ended;
    StoreStatus(kPayStatus, payStatus_);
  }
}

// --- control --------------------------------------------------------------------------

std::uint64_t BlockServer::Queue(Action action) {
  std::lock_guard<std::mutex> hold(lock_);
  action.ticket = nextTicket_++;
  actions_.push_back(action);
  return action.ticket;
}

std::uint64_t BlockServer::InsertCoin(std::int32_t value, int acceptor, std::string* error) {
  char text[128];
  const auto count = static_cast<int>(options_.acceptors.size());
  if (acceptor >= count) {
    std::snprintf(text, sizeof text, "acceptor %d does not exist (the unit has %d)", acceptor,
                  count);
    *error = text;
    return 0;
  }
  for (int a = acceptor < 0 ? 0 : acceptor; a < (acceptor < 0 ? count : acceptor + 1); ++a) {
    const AcceptorConfig& config = options_.acceptors[static_cast<std::size_t>(a)];
    if (acceptor < 0 && !IsCoinAcceptor(config)) continue;
    const auto at = std::find(config.values.begin(), config.values.end(), value);
    if (at == config.values.end()) continue;
    Action action;
    action.kind = ActionKind::kCoin;
    action.value = static_cast<std::uint32_t>(value);
    action.acceptor = a;
    action.entry = static_cast<int>(at - config.values.begin());
    return Queue(action);
  }
  if (acceptor < 0)
    std::snprintf(text, sizeof text, "no coin acceptor takes the value %" PRId32, value);
  else
    std::snprintf(text, sizeof text, "acceptor %d does not take the value %" PRId32, acceptor,
                  value);
  *error = text;
  return 0;
}

std::uint64_t BlockServer::InsertNote(std::int32_t value, std::string* error) {
  for (std::size_t a = 0; a < options_.acceptors.size(); ++a) {
    const AcceptorConfig& config = options_.acceptors[a];
    if (IsCoinAcceptor(config)) continue;
    const auto at = std::find(config.values.begin(), config.values.end(), value);
    if (at == config.values.end()) continue;
    Action action;
    action.kind = ActionKind::kNote;
    action.value = static_cast<std::uint32_t>(value);
    action.acceptor = static_cast<int>(a);
    action.entry = static_cast<int>(at - config.values.begin());
    return Queue(action);
  }
  char text[96];
  std::snprintf(text, sizeof text, "no note acceptor takes the value %" PRId32, value);
  *error = text;
  return 0;
}

std::uint64_t BlockServer::PostEvent(std::uint32_t eventWord) {
  Action action;
  action.kind = ActionKind::kEvent;
  action.value = eventWord;
  return Queue(action);
}

std::uint64_t BlockServer::PressSwitch(int number, std::string* error) {
  if (number < 0 || number >= kSwitches) {
    *error = "switches are numbered 0 to 63";
    return 0;
  }
  Action action;
  action.kind = ActionKind::kSwitch;
  action.value = static_cast<std::uint32_t>(number);
  return Queue(action);
}

std::uint64_t BlockServer::FailPayout(std::uint32_t code, std::string* error) {
  if (code == 0 || code == 1) {
    *error = "a payout error code is neither 0 (paying) nor 1 (ended normally)";
    return 0;
  }
  Action action;
  action.kind = ActionKind::kFailPayout;
  action.value = code;
  return Queue(action);
}

std::uint64_t BlockServer::SetLevel(std::int32_t level) {
  Action action;
  action.kind = ActionKind::kLevel;
  action.value = static_cast<std::uint32_t>(level);
  return Queue(action);
}

std::uint64_t BlockServer::SetOpenInhibit(bool inhibit) {
  Action action;
  action.kind = ActionKind::kInhibit;
  action.value = inhibit ? 1 : 0;
  return Queue(action);
}

std::uint64_t BlockServer::StopServingMidUpdate() {
  Action action;
  action.kind = ActionKind::kDie;
  return Queue(action);
}

void BlockServer::SetDriverState(std::uint32_t state) {
  if (fits_) Store(kDriverState, state);
}

bool BlockServer::AwaitApplied(std::uint64_t ticket, int timeoutMs, std::string* outcome) {
  std::unique_lock<std::mutex> hold(lock_);
  if (!applied_.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                         [&] { return doneTicket_ >= ticket; }))
    return false;
  if (outcome != nullptr) {
    outcome->clear();
    for (const auto& [done, text] : outcomes_)
      if (done == ticket) *outcome = text;
  }
  return true;
}

// --- the thread and the report -------------------------------------------------------

void BlockServer::Start() {
  if (thread_.joinable() || !fits_) return;
  stopping_ = false;
  thread_ = std::thread([this] {
    while (!stopping_.load() && !exitRequested_.load()) {
      Tick();
      if (exitRequested_.load()) break;
      clock_.Sleep(options_.tickMs);
    }
  });
}

void BlockServer::Stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (serving_ && !dead_) TakeDown();
  Publish();
}

void BlockServer::Publish() {
  std::lock_guard<std::mutex> hold(lock_);
  report_.level = level_;
  report_.serving = serving_;
  report_.dead = dead_;
  report_.currentValue = currentValue_;
  report_.paidTotal = paidTotal_;
  report_.payStatus = payStatus_;
  report_.availableValue = availableValue_;
}

BlockServer::Report BlockServer::Status() {
  Report report;
  {
    std::lock_guard<std::mutex> hold(lock_);
    report = report_;
  }
  if (fits_) {
    report.driverState = Load(kDriverState);
    report.interfaceEnabled = Load(kCommandAreaOffset + kInterfaceEnabled);
    report.hostOpen = Load(kCommandAreaOffset + kHostOpen);
    report.attachCount = Load(kCommandAreaOffset + kAttachCount);
    for (std::uint32_t n = 0; n < 64; ++n)
      if (Load(kCommandAreaOffset + kIndicatorSlots + 4 * n) != 0)
        report.indicatorSlots |= std::uint64_t{1} << n;
    report.valueNeeded = static_cast<std::int32_t>(Load(kCommandAreaOffset + kValueNeeded));
    report.escrowEnabled = Load(kCommandAreaOffset + kEscrowEnabled);
  }
  return report;
}

}  // namespace sim

// The block server's frame: where the lists lie, word access and the counter pairs,
// the host's CommandArea taken only as one consistent set, the serving round that
// calls on each family, the serving thread and the report for status.
//
// Every word goes through LoadSharedWord/StoreSharedWord, which are acquire loads
// and release stores. That alone orders the counter pair: a host that reads a field
// stored after our StatusStartCount increment then also reads that increment, so
// no separate fences are needed (and none trouble ThreadSanitizer).
#include "sim/block_server.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/bytes.h"
#include "sim/block_layout.h"

namespace sim {

using namespace layout;

// Both areas lie between the header and the driver area.
static_assert(BlockServer::kStatusAreaOffset >= 80 &&
              BlockServer::kStatusAreaOffset + kStatusAreaSize <= BlockServer::kCommandAreaOffset);
static_assert(BlockServer::kCommandAreaOffset + kCommandAreaSize <= kDriverAreaMagic);
static_assert(BlockServer::kListOffset >= kDriverAreaEnd);

std::vector<AcceptorConfig> BlockOptions::DefaultAcceptors() {
  AcceptorConfig coins;
  coins.unitCode = AcceptorConfig::kSr5Code;
  coins.address = 2;
  coins.values = {5, 10, 20, 50, 100, 200};
  coins.description = "Coin acceptor";
  AcceptorConfig notes;
  notes.unitCode = AcceptorConfig::kEliteCode;
  notes.address = 40;
  notes.values = {500, 1000, 2000, 5000};
  notes.description = "Note acceptor";
  AcceptorConfig second = notes;
  second.unitCode = AcceptorConfig::kLuminaCode;
  second.address = 41;
  second.description = "Second note acceptor";
  return {coins, notes, second};
}

std::vector<DispenserConfig> BlockOptions::DefaultDispensers() {
  return {{100, 3, 500, "Dispenser 100"}, {10, 4, 500, "Dispenser 10"}};
}

BlockServer::BlockServer(std::uint8_t* base, std::size_t size, BlockOptions options,
                         platform::Clock& clock)
    : base_(base), size_(size), options_(std::move(options)), clock_(clock), bus_(clock) {
  level_ = options_.level;
  availableValue_ = options_.availableValue;
  closeCounts_.assign(kSwitches, 0);
  openCounts_.assign(kSwitches, 0);
  house_.e2prom.fill(0xFF);  // an erased E2Prom until the host writes rows
  AttachPeripherals();

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

// A text field of the StatusArea: the text cut to size - 1 bytes and zero-padded.
void BlockServer::StoreStatusText(std::uint32_t field, std::uint32_t size,
                                  const std::string& text) {
  std::vector<std::uint8_t> bytes(Padded(size), 0);
  std::memcpy(bytes.data(), text.data(), std::min<std::size_t>(text.size(), size - 1));
  BeginUpdate();
  for (std::uint32_t i = 0; i < bytes.size(); i += 4)
    Store(kStatusAreaOffset + field + i, platform::ReadLE32(bytes.data() + i));
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
  commands->barcodeEnabled = Load(c + kBarcodeEnabled);
  commands->barcodeAccept = Load(c + kBarcodeAcceptCount);
  commands->barcodeReturn = Load(c + kBarcodeReturnCount);
  HostSettings& settings = commands->settings;
  for (int n = 0; n < kCounters; ++n)
    settings.counters[static_cast<std::size_t>(n)] =
        Load(c + kCounterValues + 4 * static_cast<std::uint32_t>(n));
  for (std::uint32_t i = 0; i < settings.captions.size(); i += 4)
    platform::WriteLE32(settings.captions.data() + i, Load(c + kCounterCaptions + i));
  settings.displayCode = Load(c + kCounterDisplayCode);
  settings.rowChanges = Load(c + kE2PromRowChanges);
  for (std::uint32_t i = 0; i < kE2PromSize; i += 4)
    platform::WriteLE32(settings.image.data() + i, Load(c + kE2PromImage + i));
  return Load(c + kCommandStartCount) == end;
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
  // The application stopped under a served block (programming abandoned, say).
  if (!firmware_.ApplicationRuns()) {
    HoldNotReady();
    return;
  }
  const std::uint32_t commandsSeen = Load(kCommandAreaOffset + kCommandEndCount);
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

  OpenPressedSwitches();
  RunPrinter(now);

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

  if (commands_.blockSequence != blockAck_) AnswerMessage(commands_, now);
  DecideEscrow(commands_);
  DecideBarcode(commands_);
  TakeSettings(commands_.settings, false);
  AnswerCheckOperation(commands_);
  PostNextEvent(commands_);
  Pay(now);
  // A running unit refreshes its area at least 20 times a second, so hosts see its
  // update count move. Not while a host's change came in after this tick read the
  // commands: a count that moved would tell that host its change was taken up.
  if (now - lastUpdate_ >= clock_.Frequency() / 20 &&
      Load(kCommandAreaOffset + kCommandEndCount) == commandsSeen)
    BeginUpdate();
  if (inUpdate_) lastUpdate_ = now;
  EndUpdate();
  Publish();
  applied_.notify_all();
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
  Report& r = report_;
  r.level = level_;
  r.serving = serving_;
  r.dead = dead_;
  r.currentValue = static_cast<std::int32_t>(currentValue_);
  r.paidTotal = pay_.paid;
  r.payStatus = pay_.status;
  r.availableValue = availableValue_;
  r.counters = house_.taken.counters;
  for (std::size_t n = 0; n < r.captions.size(); ++n) {
    const auto* field = reinterpret_cast<const char*>(house_.taken.captions.data()) + 12 * n;
    r.captions[n].assign(field,
                         static_cast<std::size_t>(std::find(field, field + 12, '\0') - field));
  }
  r.counterDisplayCode = house_.taken.displayCode;
  r.meterStatus = level_ >= kCounterLevel ? 1 : 0;
  r.meterSerial = level_ >= kCounterLevel ? options_.meterSerialNumber : 0;
  r.e2promRowWrites = house_.rowWrites;
  r.deviceKey = house_.deviceKey;
  r.e2prom = house_.e2prom;
  r.escrowBarcode = barcode_.inEscrow.value_or(std::string());
  r.barcodeEscrowCount = barcode_.escrowCount;
  r.barcodeStackedCount = barcode_.stackedCount;
  r.stackedBarcode = barcode_.stacked;
  r.printerStatus = printer_.status;
  r.printerHeld = printer_.held;
  r.printing = printer_.printing;
  r.ticketsPrinted = printer_.printed;
  if (r.lastTicket != printer_.last) r.lastTicket = printer_.last;
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
    report.barcodeEnabled = Load(kCommandAreaOffset + kBarcodeEnabled);
  }
  return report;
}

}  // namespace sim

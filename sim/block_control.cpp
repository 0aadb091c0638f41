// Changes to a running unit, from tarvex-sim's ctl commands and from tests: checked
// and queued on the caller's thread, carried out by the next serving tick, and each
// answered with an outcome text that AwaitApplied hands back.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>

#include "sim/block_layout.h"
#include "sim/block_server.h"

namespace sim {
namespace {

using namespace layout;

// Changes kept for AwaitApplied.
constexpr std::size_t kOutcomesKept = 64;
// Characters of a barcode ticket the block has room for.
constexpr std::size_t kBarcodeLength = kBarcodeFieldSize - 1;

bool IsCoinAcceptor(const AcceptorConfig& acceptor) {
  return (acceptor.unitCode >> 24) == 0x02;
}

}  // namespace

std::uint64_t BlockServer::Queue(Action action) {
  std::lock_guard<std::mutex> hold(lock_);
  action.ticket = nextTicket_++;
  actions_.push_back(std::move(action));
  return actions_.back().ticket;
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

std::uint64_t BlockServer::PresentBarcode(const std::string& text, std::string* error) {
  if (text.empty() || text.size() > kBarcodeLength ||
      std::any_of(text.begin(), text.end(), [](char c) { return c < ' ' || c > '~'; })) {
    *error = "a barcode ticket carries 1 to 19 printable characters (normally 18 digits)";
    return 0;
  }
  Action action;
  action.kind = ActionKind::kBarcode;
  action.text = text;
  return Queue(action);
}

std::uint64_t BlockServer::SetPrinterBusy(bool busy) {
  Action action;
  action.kind = ActionKind::kPrinterBusy;
  action.value = busy ? 1 : 0;
  return Queue(action);
}

std::uint64_t BlockServer::SetPaidTotal(std::uint32_t paid) {
  Action action;
  action.kind = ActionKind::kPaidTotal;
  action.value = paid;
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

void BlockServer::Apply(const Action& action) {
  char text[160];
  std::string outcome;
  switch (action.kind) {
    case ActionKind::kCoin:
    case ActionKind::kNote: {
      const char* kind = action.kind == ActionKind::kCoin ? "coin" : "note";
      const std::int32_t value = static_cast<std::int32_t>(action.value);
      // Notes wait in escrow while the host has it enabled (level 5 and above).
      if (action.kind == ActionKind::kNote && level_ >= kEscrowLevel &&
          commands_.escrowEnabled == 1) {
        escrow_.push_back({action.acceptor, action.entry});
        ++escrowThroughput_;
        StoreStatus(kEscrowThroughputCount, escrowThroughput_);
        std::snprintf(text, sizeof text, "%s %" PRId32 " held in escrow by acceptor %d", kind,
                      value, action.acceptor);
      } else {
        Accept(action.acceptor, action.entry);
        std::snprintf(text, sizeof text, "%s %" PRId32 " accepted by acceptor %d", kind, value,
                      action.acceptor);
      }
      outcome = text;
      break;
    }
    case ActionKind::kEvent:
      events_.push_back(action.value);
      std::snprintf(text, sizeof text, "event 0x%08" PRIX32 " queued (%zu waiting)", action.value,
                    events_.size());
      outcome = text;
      break;
    case ActionKind::kSwitch: {
      const auto number = static_cast<std::size_t>(action.value);
      ++closeCounts_[number];
      StoreStatus(kSwitchCloseCounts + 4 * action.value, closeCounts_[number]);
      switchesToOpen_.push_back(static_cast<int>(action.value));
      std::snprintf(text, sizeof text, "switch %" PRIu32 " closed, opens on the next tick",
                    action.value);
      outcome = text;
      break;
    }
    case ActionKind::kFailPayout:
      pay_.failArmed = true;
      pay_.failSet = false;
      pay_.failCode = action.value;
      std::snprintf(text, sizeof text, "the %s payout fails with code %" PRIu32,
                    pay_.paying ? "current" : "next", action.value);
      outcome = text;
      break;
    case ActionKind::kLevel:
      level_ = static_cast<std::int32_t>(action.value);
      WriteLists(false);
      WriteTexts();
      WriteMeter();
      RunPrinter(clock_.Counter());
      Store(kFirmwareLevel, action.value);
      // A new level reads the payout target another way; that is no new payout.
      pay_.lastTarget = PayoutTargetOfLevel();
      std::snprintf(text, sizeof text, "level %" PRId32, level_);
      outcome = text;
      break;
    case ActionKind::kInhibit:
      openInhibit_ = action.value;
      StoreStatus(kOpenInhibit, openInhibit_);
      std::snprintf(text, sizeof text, "OpenInhibit %" PRIu32, openInhibit_);
      outcome = text;
      break;
    case ActionKind::kDie:
      BeginUpdate();  // and never the copy into StatusEndCount
      dead_ = true;
      std::snprintf(text, sizeof text,
                    "stopped mid-update: StatusStartCount %" PRIu32 ", StatusEndCount %" PRIu32,
                    statusCount_, statusCount_ - 1);
      outcome = text;
      break;
    case ActionKind::kBarcode: outcome = PresentTicket(action.text); break;
    case ActionKind::kPrinterBusy: outcome = HoldPrinter(action.value != 0); break;
    case ActionKind::kPaidTotal: outcome = ChangePaidTotal(action.value); break;
  }
  std::lock_guard<std::mutex> hold(lock_);
  doneTicket_ = action.ticket;
  outcomes_.emplace_back(action.ticket, std::move(outcome));
  if (outcomes_.size() > kOutcomesKept) outcomes_.erase(outcomes_.begin());
}

}  // namespace sim

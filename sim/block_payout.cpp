// Money and the unit's other inputs: payouts toward the host's target, coins and
// notes counted, notes decided in escrow, events posted one at a time, switches, and
// the check operation.
//
// Totals are 32-bit words that wrap, as the block's do: PaidTotal and the targets
// are compared by their signed difference (target - paid > 0: something to pay),
// so a payout goes on across 2^31 and 2^32 alike.
#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "sim/block_layout.h"
#include "sim/block_server.h"

namespace sim {
namespace {

using namespace layout;

// How far `to` lies ahead of `from` on the wrapping scale of 32-bit totals.
std::int64_t Ahead(std::uint32_t to, std::uint32_t from) {
  return static_cast<std::int32_t>(to - from);
}

}  // namespace

void BlockServer::Accept(int acceptor, int entry) {
  const auto a = static_cast<std::size_t>(acceptor);
  const auto e = static_cast<std::size_t>(entry);
  currentValue_ += static_cast<std::uint32_t>(options_.acceptors[a].values[e]);
  ++accepted_[a][e];
  StoreStatus(kCurrentValueWord, currentValue_);
  Store(place_.coins[a][e] + kCoinAccepted, accepted_[a][e]);
}

// Items in escrow are decided in the order they came: each rise of the accept count
// takes that many in, each rise of the return count hands that many back.
void BlockServer::DecideEscrow(const Commands& commands) {
  const std::int64_t accepted = Ahead(commands.escrowAccept, escrowAccept_);
  const std::int64_t returned = Ahead(commands.escrowReturn, escrowReturn_);
  escrowAccept_ = commands.escrowAccept;
  escrowReturn_ = commands.escrowReturn;
  for (std::int64_t i = 0; i < accepted && !escrow_.empty(); ++i) {
    Accept(escrow_.front().acceptor, escrow_.front().entry);
    escrow_.pop_front();
  }
  for (std::int64_t i = 0; i < returned && !escrow_.empty(); ++i) escrow_.pop_front();
}

void BlockServer::PostNextEvent(const Commands& commands) {
  if (events_.empty() || commands.eventAck != eventSequence_) return;
  // The word before the sequence: a host that sees the new sequence finds its word.
  StoreStatus(kEventWord, events_.front());
  events_.pop_front();
  ++eventSequence_;
  Store(kStatusAreaOffset + kEventSequence, eventSequence_);
}

// A switch pressed last tick opens now: close and open are two changes.
void BlockServer::OpenPressedSwitches() {
  for (int number : switchesToOpen_) {
    const auto n = static_cast<std::size_t>(number);
    ++openCounts_[n];
    StoreStatus(kSwitchOpenCounts + 4 * static_cast<std::uint32_t>(number), openCounts_[n]);
  }
  switchesToOpen_.clear();
}

void BlockServer::AnswerCheckOperation(const Commands& commands) {
  if (commands.checkA == checkA_ && commands.checkB == checkB_) return;
  checkA_ = commands.checkA;
  checkB_ = commands.checkB;
  StoreStatus(kCheckOperationResult, checkA_ ^ checkB_);
}

// Pays toward the host's target at payRate: a payout begins when the target moves
// ahead of what has been paid and ends when it is reached (PayStatus 1), when an
// injected failure hits halfway (its code), or when the dispensers run dry. A
// failed payout is not resumed: only a new move of the target starts another.
void BlockServer::Pay(std::int64_t now) {
  const std::int64_t frequency = std::max<std::int64_t>(clock_.Frequency(), 1);
  const std::int64_t elapsed = std::clamp<std::int64_t>(now - pay_.lastTick, 0, frequency);
  pay_.lastTick = now;
  std::uint32_t target = PayoutTargetOfLevel();
  // From level 5 a host's payout request moves both words, BasedPayoutTarget being
  // PayoutTarget plus the base. A based target alone asks for nothing: a host's
  // attach sets it to the bare base, which must neither stop the payout in hand nor,
  // with PaidTotal past 2^31, look like a target ahead of it.
  if (level_ >= kEscrowLevel && target != commands_.payoutTarget) target = pay_.lastTarget;
  if (target != pay_.lastTarget) {
    pay_.lastTarget = target;
    if (Ahead(target, pay_.paid) > 0) {
      if (!pay_.paying) {
        pay_.paying = true;
        pay_.credit = 0;
        pay_.status = 0;
        StoreStatus(kPayStatus, pay_.status);
        if (pay_.failArmed) pay_.failSet = false;
      }
    } else if (pay_.paying) {
      pay_.paying = false;  // the host took the rest back
      pay_.status = 1;
      StoreStatus(kPayStatus, pay_.status);
    }
  }
  if (!pay_.paying) return;
  if (pay_.failArmed && !pay_.failSet) {
    pay_.failAt = pay_.paid + static_cast<std::uint32_t>(Ahead(target, pay_.paid) / 2);
    pay_.failSet = true;
  }
  std::int64_t step = Ahead(target, pay_.paid);
  if (options_.payRate != 0) {
    pay_.credit += elapsed * options_.payRate;
    step = std::min(step, pay_.credit / frequency);
    pay_.credit %= frequency;
  }
  if (pay_.failSet) step = std::min(step, Ahead(pay_.failAt, pay_.paid));
  step = std::clamp<std::int64_t>(step, 0, std::max(availableValue_, 0));
  if (step > 0) {
    pay_.paid += static_cast<std::uint32_t>(step);
    availableValue_ -= static_cast<std::int32_t>(step);
    StoreStatus(kPaidTotal, pay_.paid);
    StoreStatus(kAvailableValueWord, static_cast<std::uint32_t>(availableValue_));
  }
  std::uint32_t ended = 0;
  if (pay_.failSet && Ahead(pay_.failAt, pay_.paid) <= 0) {
    ended = pay_.failCode;
    pay_.failArmed = pay_.failSet = false;
  } else if (Ahead(target, pay_.paid) <= 0) {
    ended = 1;
  } else if (availableValue_ <= 0) {
    ended = kDispensersEmpty;
  }
  if (ended != 0) {
    pay_.paying = false;
    pay_.status = ended;
    StoreStatus(kPayStatus, pay_.status);
  }
}

// ctl set-paid-total: the total jumps (to bring it near the wrap, say); a payout
// under way ends, and only a later move of the target starts the next.
std::string BlockServer::ChangePaidTotal(std::uint32_t paid) {
  pay_.paid = paid;
  pay_.paying = false;
  pay_.status = 1;
  pay_.lastTarget = PayoutTargetOfLevel();
  StoreStatus(kPaidTotal, pay_.paid);
  StoreStatus(kPayStatus, pay_.status);
  char text[64];
  std::snprintf(text, sizeof text, "PaidTotal %" PRIu32, paid);
  return text;
}

}  // namespace sim

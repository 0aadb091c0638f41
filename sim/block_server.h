// The unit's side of the shared interface block, as the USB driver process serves
// it: the header, the acceptor and dispenser lists, and on every tick the driver
// state, the message channel with its raw ccTalk port, payouts, events, switches,
// escrow and inserted coins and notes. Works over any (base, size): the named
// mapping in tarvex-sim, or a plain buffer in a test.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"

namespace sim {

// What the running firmware says about itself; the header carries it.
struct FirmwareInfo {
  std::uint32_t versionWord = 0;
  std::string compileDate, compileTime;
  bool operator==(const FirmwareInfo&) const = default;
};

struct AcceptorConfig {
  std::uint32_t unitCode = 0;  // top byte 0x02: a coin acceptor, else a note acceptor
  std::uint32_t interfaceNumber = 1;
  std::uint32_t address = 0;         // on its ccTalk bus
  std::vector<std::int32_t> values;  // one coin (or note) entry each, at most 256
  std::string description;           // its text at level 7 and above
};

struct DispenserConfig {
  std::int32_t value = 0;     // of the coin it pays (entry +8)
  std::uint32_t address = 0;  // on its ccTalk bus (entry +20)
  std::int32_t stock = 0;     // coins held (entry +16)
  std::string description;    // its text at level 7 and above
};

struct BlockOptions {
  std::int32_t level = 0;  // FirmwareLevel
  // FirmwareVersionWord when `firmware` is empty, or to override what it says.
  bool fixedVersionWord = false;
  std::uint32_t versionWord = 0;
  std::uint32_t unitSerialNumber = 1;
  std::uint32_t payoutBase = 0;
  std::uint32_t payRate = 1000;          // value paid per second; 0: a payout is paid at once
  std::int32_t availableValue = 100000;  // what the dispensers hold; used up by payouts
  std::vector<AcceptorConfig> acceptors = DefaultAcceptors();
  std::vector<DispenserConfig> dispensers = DefaultDispensers();
  std::uint8_t busDeviceAddress = 2;  // the ccTalk device that answers on the raw port
  bool refuseBusHandOver = false;     // raw port command 0 answers -1
  std::uint32_t tickMs = 2;           // the serving thread's pause between ticks
  // Asked at every set-up and now and then while serving; empty: the texts stay
  // empty and the version word is `versionWord`.
  std::function<FirmwareInfo()> firmware;

  // One coin acceptor with six coins at address 2, one note acceptor with four
  // notes at address 40; two dispensers (100 at address 3, 10 at address 4).
  static std::vector<AcceptorConfig> DefaultAcceptors();
  static std::vector<DispenserConfig> DefaultDispensers();
};

class BlockServer {
 public:
  // Where the areas and lists lie: both areas below the driver area at 0x2000, the
  // lists and their texts from 0x2100 up to the end of the block.
  static constexpr std::uint32_t kStatusAreaOffset = 0x0100;
  static constexpr std::uint32_t kCommandAreaOffset = 0x0800;
  static constexpr std::uint32_t kListOffset = 0x2100;
  // PayStatus of a payout that ran out of value (AvailableValueWord reached 0).
  static constexpr std::uint32_t kDispensersEmpty = 2;

  // `base` must stay mapped, 4-byte aligned and `size` bytes long while the
  // server lives. Check() says whether the options fit.
  BlockServer(std::uint8_t* base, std::size_t size, BlockOptions options, platform::Clock& clock);
  BlockServer(const BlockServer&) = delete;
  BlockServer& operator=(const BlockServer&) = delete;
  ~BlockServer();

  // False with the reason when the lists do not fit the block, an acceptor has
  // more than 256 entries, the block is smaller than the layout, or the level is
  // out of range.
  bool Check(std::string* error) const;

  // Serves from a thread of its own, one Tick() per tickMs on the clock, until
  // Stop() or until DriverState 4 asks the process to end.
  void Start();
  // Ends serving; a block still served loses its BlockMagic.
  void Stop();
  // One round of serving; for tests that step the server themselves.
  void Tick();
  // DriverState 4 was seen: the process is asked to end.
  bool exitRequested() const { return exitRequested_.load(); }

  // Changes from ctl commands and tests. Each is carried out by the next tick that
  // serves; the result is a ticket for AwaitApplied. Those that can be refused
  // return 0 with the reason.
  std::uint64_t InsertCoin(std::int32_t value, int acceptor, std::string* error);  // -1: any
  std::uint64_t InsertNote(std::int32_t value, std::string* error);
  std::uint64_t PostEvent(std::uint32_t eventWord);
  std::uint64_t PressSwitch(int number, std::string* error);
  std::uint64_t FailPayout(std::uint32_t code, std::string* error);
  std::uint64_t SetLevel(std::int32_t level);
  std::uint64_t SetOpenInhibit(bool inhibit);
  std::uint64_t StopServingMidUpdate();
  // Stores DriverState directly, as the other parties of the driver area do.
  void SetDriverState(std::uint32_t state);
  // Waits (in real time) until the change with this ticket was carried out; its
  // outcome text then, or false when it is still waiting.
  bool AwaitApplied(std::uint64_t ticket, int timeoutMs, std::string* outcome);

  // What `tarvex-sim status` shows of the block.
  struct Report {
    std::int32_t level = 0;
    std::uint32_t driverState = 0;
    bool serving = false;
    bool dead = false;  // stopped mid-update
    std::int32_t currentValue = 0;
    std::int32_t paidTotal = 0;
    std::uint32_t payStatus = 1;
    std::int32_t availableValue = 0;
    std::uint32_t interfaceEnabled = 0;  // CommandArea words, as the hosts left them
    std::uint32_t hostOpen = 0;
    std::uint32_t attachCount = 0;
    std::uint64_t indicatorSlots = 0;  // bit n: slot n holds a non-zero word
    std::int32_t valueNeeded = 0;
    std::uint32_t escrowEnabled = 0;
  };
  Report Status();

 private:
  enum class ActionKind { kCoin, kNote, kEvent, kSwitch, kFailPayout, kLevel, kInhibit, kDie };
  struct Action {
    std::uint64_t ticket = 0;
    ActionKind kind = ActionKind::kCoin;
    std::uint32_t value = 0;
    int acceptor = 0, entry = 0;
  };
  // The host's CommandArea words the unit acts on, read as one consistent set.
  struct Commands {
    std::uint32_t blockSequence = 0;
    std::uint32_t blockType = 0;
    std::uint32_t blockLength = 0;
    std::uint8_t blockData[312] = {};
    std::uint32_t payoutTarget = 0;
    std::uint32_t basedPayoutTarget = 0;
    std::uint32_t escrowEnabled = 0;
    std::uint32_t escrowAccept = 0;
    std::uint32_t escrowReturn = 0;
    std::uint32_t eventAck = 0;
    std::uint32_t checkA = 0, checkB = 0;
  };
  struct EscrowItem {
    int acceptor = 0, entry = 0;
    std::int32_t value = 0;
  };
  struct ListPlace {  // where each entry and text lies in the block
    std::vector<std::uint32_t> acceptors;
    std::vector<std::vector<std::uint32_t>> coins;
    std::vector<std::uint32_t> dispensers;
    std::vector<std::uint32_t> acceptorTexts, dispenserTexts;
    std::vector<std::vector<std::uint32_t>> coinTexts;
    std::uint32_t end = 0;
  };

  std::uint32_t Load(std::uint32_t offset) const;
  void Store(std::uint32_t offset, std::uint32_t value);
  void StoreStatus(std::uint32_t field, std::uint32_t value);  // inside the bracket
  void BeginUpdate();
  void EndUpdate();
  bool ReadCommands(Commands* commands, bool withBlock) const;

  void HandleDriverState();
  bool MoveDriverState(std::uint32_t from, std::uint32_t to);
  void SetUp();
  void TakeDown();
  void FirstSetUp();
  void WriteHeader();
  void WriteCompileTexts();
  void WriteTexts();
  void WriteLists(bool initial);
  void WriteText(std::uint32_t offset, const std::string& text);
  std::string CoinText(int acceptor, int entry) const;
  void RefreshFirmware(bool force);

  void Apply(const Action& action);
  void Accept(int acceptor, int entry);
  void AnswerMessage(const Commands& commands);
  std::int32_t AnswerRawPort(std::uint32_t command, const Commands& commands, std::uint8_t* reply);
  void BusReceive(const std::uint8_t* bytes, std::size_t count);
  void DecideEscrow(const Commands& commands);
  void Pay(std::int64_t now);
  void PostNextEvent(const Commands& commands);
  std::uint64_t Queue(Action action);
  void Publish();

  std::uint8_t* base_;
  std::size_t size_;
  BlockOptions options_;
  platform::Clock& clock_;
  ListPlace place_;
  bool fits_ = false;
  std::string misfit_;

  // Serving thread.
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> exitRequested_{false};

  // Changes waiting for a tick, and the tickets done.
  std::mutex lock_;
  std::condition_variable applied_;
  std::deque<Action> actions_;
  std::uint64_t nextTicket_ = 1;
  std::uint64_t doneTicket_ = 0;  // every ticket up to this one is done
  std::vector<std::pair<std::uint64_t, std::string>> outcomes_;  // the latest few
  Report report_;

  // The unit's state; only the serving thread (or the one calling Tick) uses it.
  bool setUp_ = false;    // the StatusArea has been cleared once
  bool serving_ = false;  // BlockMagic is ours and the block is served
  bool dead_ = false;
  bool inUpdate_ = false;
  std::uint32_t statusCount_ = 0;
  std::int32_t level_ = 0;
  FirmwareInfo firmware_;
  int firmwareAge_ = 0;
  std::uint32_t openInhibit_ = 0;
  Commands commands_;  // the latest consistent set
  std::int32_t currentValue_ = 0;
  std::int32_t paidTotal_ = 0;
  std::uint32_t payStatus_ = 1;
  std::int32_t availableValue_ = 0;
  std::int32_t lastTarget_ = 0;
  bool paying_ = false;
  bool failArmed_ = false;
  bool failSet_ = false;
  std::uint32_t failCode_ = 0;
  std::int32_t failAt_ = 0;
  std::int64_t lastPayTick_ = 0;
  std::int64_t payCredit_ = 0;
  std::uint32_t blockAck_ = 0;
  std::uint32_t eventSequence_ = 0;
  std::deque<std::uint32_t> events_;
  std::uint32_t checkA_ = 0, checkB_ = 0;
  std::vector<int> switchesToOpen_;
  std::vector<std::uint32_t> closeCounts_, openCounts_;
  std::uint32_t escrowThroughput_ = 0;
  std::uint32_t escrowAccept_ = 0, escrowReturn_ = 0;
  std::deque<EscrowItem> escrow_;
  std::vector<std::vector<std::uint32_t>> accepted_;  // per acceptor, per entry
  // The ccTalk bus behind the raw port.
  bool hostHoldsBus_ = false;
  std::vector<std::uint8_t> busSent_;     // bytes from the host not yet a whole message
  std::deque<std::uint8_t> busReceived_;  // answers not yet fetched
};

}  // namespace sim

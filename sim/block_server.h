// The unit's side of the shared interface block, as the USB driver process serves
// it: the header, the acceptor and dispenser lists, and on every tick the driver
// state, the message channel with its raw ccTalk port, payouts, events, switches,
// escrow, coins and notes, counters and the meter, the E2Prom, barcode tickets and
// the ticket printer. Works over any (base, size): the named mapping in tarvex-sim,
// or a plain buffer in a test.
//
// One class, its member functions by family: block_server.cpp (layout, access,
// serving rounds, report), block_setup.cpp (header, lists, driver state),
// block_control.cpp (ctl changes), block_payout.cpp (payouts, events, switches,
// escrow), block_channel.cpp (message channel), block_bus.cpp (raw port and the
// ccTalk bus), block_e2prom.cpp (counters, meter, E2Prom, device key),
// block_barcode.cpp (barcode escrow and the ticket printer).
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "sim/cctalk_bus.h"

namespace sim {

// What the running firmware says about itself; the header carries it.
struct FirmwareInfo {
  std::uint32_t versionWord = 0;
  std::string compileDate, compileTime;
  // What the unit reports of itself: its status (kChecksumFailure: the application
  // failed its checksum) and whether it is taking a new firmware. Either way no
  // application runs, and the driver has no unit to serve the block for.
  static constexpr std::uint32_t kChecksumFailure = 0x200;
  std::uint32_t unitStatus = 1;
  bool programming = false;
  bool ApplicationRuns() const { return !programming && unitStatus != kChecksumFailure; }
  bool operator==(const FirmwareInfo&) const = default;
};

struct AcceptorConfig {
  // Top byte 0x02: a coin acceptor, else a note acceptor. These also put a ccTalk
  // peripheral at `address` on the raw port's bus: kSr5Code an SR5, kEliteCode an
  // Elite, kLuminaCode a Lumina.
  static constexpr std::uint32_t kSr5Code = 0x02020103;
  static constexpr std::uint32_t kEliteCode = 0x12020107;
  static constexpr std::uint32_t kLuminaCode = 0x12020105;
  std::uint32_t unitCode = 0;
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
  // PaidTotal at the first set-up; without it the host's PayoutTarget counts as paid.
  std::optional<std::uint32_t> paidTotal;
  std::uint32_t meterSerialNumber = 100001;  // MeterSerialWord from level 3
  std::uint32_t printMs = 300;               // a complete ticket keeps the printer busy so long
  std::vector<AcceptorConfig> acceptors = DefaultAcceptors();
  std::vector<DispenserConfig> dispensers = DefaultDispensers();
  // An acknowledger on the raw port's bus here, unless an acceptor's peripheral is.
  std::uint8_t busDeviceAddress = 2;
  bool refuseBusHandOver = false;  // raw port command 0 answers -1
  std::uint32_t replyMs = CcTalkBus::kDefaultReplyMs;  // the peripherals' reply time
  // The ccTalk wire's baud rate; 0: bytes take no time on it.
  std::uint32_t busBaud = 0;
  // A raw-port message (types 128 to 132) is acted on and answered this long after
  // the tick that first saw it, as by a unit whose loop takes it late; 0: at once.
  std::uint32_t rawAnswerMs = 0;
  std::array<std::uint8_t, 6> keyDigits = CcTalkBus::kDefaultKeyDigits;
  std::uint32_t tickMs = 2;           // the serving thread's pause between ticks
  // Asked at every set-up and now and then while serving; empty: the texts stay
  // empty and the version word is `versionWord`.
  std::function<FirmwareInfo()> firmware;
  // Asked every tick: false while the unit is off the USB (unplugged). Empty: it
  // is always there.
  std::function<bool()> connected;

  // An SR5 coin acceptor with six coins at address 2, an Elite and a Lumina note
  // acceptor with the same four notes at addresses 40 and 41; two dispensers (100
  // at address 3, 10 at address 4).
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
  // The ccTalk bus behind the raw port; ctl faults and status go to it directly.
  CcTalkBus& bus() { return bus_; }
  // Fixed when the server is made, so any thread may ask.
  std::uint32_t rawAnswerMs() const { return options_.rawAnswerMs; }

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
  // A barcode ticket (1 to 19 characters) at the reader; whether it goes into
  // escrow is decided when it is carried out, and its outcome says so.
  std::uint64_t PresentBarcode(const std::string& text, std::string* error);
  // Holds the printer not ready (out of paper, say), or lets it go.
  std::uint64_t SetPrinterBusy(bool busy);
  // PaidTotal from now; a payout under way ends.
  std::uint64_t SetPaidTotal(std::uint32_t paid);
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
    std::uint32_t paidTotal = 0;
    std::uint32_t payStatus = 1;
    std::int32_t availableValue = 0;
    std::uint32_t interfaceEnabled = 0;  // CommandArea words, as the hosts left them
    std::uint32_t hostOpen = 0;
    std::uint32_t attachCount = 0;
    std::uint64_t indicatorSlots = 0;  // bit n: slot n holds a non-zero word
    std::int32_t valueNeeded = 0;
    std::uint32_t escrowEnabled = 0;
    // Counters and the meter (level 3), the E2Prom (level 4), as the unit took them.
    std::array<std::uint32_t, 32> counters{};
    std::array<std::string, 32> captions;  // up to 12 bytes each, to the first zero
    std::uint32_t counterDisplayCode = 0;
    std::uint32_t meterStatus = 0, meterSerial = 0;
    std::uint32_t e2promRowWrites = 0;
    std::optional<std::uint32_t> deviceKey;
    std::array<std::uint8_t, 256> e2prom{};
    // Barcode tickets and the printer (level 5).
    std::uint32_t barcodeEnabled = 0;  // the host's word
    std::string escrowBarcode;         // the ticket waiting in escrow, or empty
    std::uint32_t barcodeEscrowCount = 0, barcodeStackedCount = 0;
    std::string stackedBarcode;  // the last one stacked, or empty
    std::uint32_t printerStatus = 0;
    bool printerHeld = false, printing = false;
    std::uint32_t ticketsPrinted = 0;
    std::string lastTicket;
  };
  Report Status();

 private:
  enum class ActionKind {
    kCoin,
    kNote,
    kEvent,
    kSwitch,
    kFailPayout,
    kLevel,
    kInhibit,
    kDie,
    kBarcode,
    kPrinterBusy,
    kPaidTotal,
  };
  struct Action {
    std::uint64_t ticket = 0;
    ActionKind kind = ActionKind::kCoin;
    std::uint32_t value = 0;
    int acceptor = 0, entry = 0;
    std::string text;
  };
  // The host's counters, captions and E2Prom image (CommandArea).
  struct HostSettings {
    std::array<std::uint32_t, 32> counters{};
    std::array<std::uint8_t, 384> captions{};
    std::uint32_t displayCode = 0;
    std::uint32_t rowChanges = 0;
    std::array<std::uint8_t, 256> image{};
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
    std::uint32_t barcodeEnabled = 0;
    std::uint32_t barcodeAccept = 0, barcodeReturn = 0;
    HostSettings settings;
  };
  struct ListPlace {  // where each entry and text lies in the block
    std::vector<std::uint32_t> acceptors;
    std::vector<std::vector<std::uint32_t>> coins;
    std::vector<std::uint32_t> dispensers;
    std::vector<std::uint32_t> acceptorTexts, dispenserTexts;
    std::vector<std::vector<std::uint32_t>> coinTexts;
    std::uint32_t end = 0;
  };

  // block_server.cpp: access to the block and the counter pairs.
  std::uint32_t Load(std::uint32_t offset) const;
  void Store(std::uint32_t offset, std::uint32_t value);
  void StoreStatus(std::uint32_t field, std::uint32_t value);  // inside the bracket
  void StoreStatusText(std::uint32_t field, std::uint32_t size, const std::string& text);
  void BeginUpdate();
  void EndUpdate();
  bool ReadCommands(Commands* commands, bool withBlock) const;
  void Publish();

  // block_setup.cpp: the header and lists, set-up and take-down, the driver state.
  void HandleDriverState();
  bool MoveDriverState(std::uint32_t from, std::uint32_t to);
  bool Connected() const;
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
  void HoldNotReady();
  std::uint32_t PayoutTargetOfLevel() const;

  // block_control.cpp: the changes from ctl commands.
  std::uint64_t Queue(Action action);
  void Apply(const Action& action);

  // block_payout.cpp.
  void Pay(std::int64_t now);
  void Accept(int acceptor, int entry);
  void DecideEscrow(const Commands& commands);
  void PostNextEvent(const Commands& commands);
  void OpenPressedSwitches();
  void AnswerCheckOperation(const Commands& commands);
  std::string ChangePaidTotal(std::uint32_t paid);

  // block_channel.cpp and block_bus.cpp: the message channel and the raw port.
  void AnswerMessage(const Commands& commands, std::int64_t now);
  bool MessageDue(const Commands& commands, std::int64_t now);
  std::int32_t AnswerRawPort(std::uint32_t command, const Commands& commands, std::uint8_t* reply);
  void AttachPeripherals();

  // block_e2prom.cpp: counters, the meter, the E2Prom and the device key.
  void WriteMeter();
  void TakeSettings(const HostSettings& settings, bool first);
  std::int32_t AnswerE2PromReset(const Commands& commands, std::uint8_t* reply);
  std::int32_t AnswerDeviceKey(const Commands& commands, std::uint8_t* reply);

  // block_barcode.cpp: barcode escrow and the ticket printer.
  std::string PresentTicket(const std::string& text);
  void DecideBarcode(const Commands& commands);
  std::int32_t AnswerTicketPiece(const Commands& commands, std::uint8_t* reply);
  std::string HoldPrinter(bool held);
  void RunPrinter(std::int64_t now);

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

  // The unit's state from here on; only the serving thread (or the one calling
  // Tick) uses it.
  bool setUp_ = false;    // the StatusArea has been cleared once
  bool serving_ = false;  // BlockMagic is ours and the block is served
  bool dead_ = false;
  bool unplugNoted_ = false;  // we set DriverState 5 for an unplugged unit
  bool inUpdate_ = false;
  std::int64_t lastUpdate_ = 0;  // clock count of the last update of the StatusArea
  std::uint32_t statusCount_ = 0;
  std::int32_t level_ = 0;
  FirmwareInfo firmware_;
  int firmwareAge_ = 0;
  bool noApplication_ = false;  // held not ready (DriverState 1) until the unit runs one
  std::uint32_t openInhibit_ = 0;
  Commands commands_;  // the latest consistent set

  // Payouts: totals wrap as the block's 32-bit words do.
  struct Payout {
    std::uint32_t paid = 0;
    std::uint32_t status = 1;
    std::uint32_t lastTarget = 0;
    bool paying = false;
    bool failArmed = false, failSet = false;
    std::uint32_t failCode = 0, failAt = 0;
    std::int64_t lastTick = 0;
    std::int64_t credit = 0;  // counts toward the next unit of value
  } pay_;
  std::uint32_t currentValue_ = 0;
  std::int32_t availableValue_ = 0;
  std::uint32_t blockAck_ = 0;
  // A raw-port message held back (rawAnswerMs): the acknowledge it found and when.
  struct HeldMessage {
    bool held = false;
    std::uint32_t ack = 0;
    std::int64_t since = 0;
  } heldMessage_;
  std::uint32_t eventSequence_ = 0;
  std::deque<std::uint32_t> events_;
  std::uint32_t checkA_ = 0, checkB_ = 0;
  std::vector<int> switchesToOpen_;
  std::vector<std::uint32_t> closeCounts_, openCounts_;
  struct EscrowItem {
    int acceptor = 0, entry = 0;
  };
  std::uint32_t escrowThroughput_ = 0;
  std::uint32_t escrowAccept_ = 0, escrowReturn_ = 0;
  std::deque<EscrowItem> escrow_;
  std::vector<std::vector<std::uint32_t>> accepted_;  // per acceptor, per entry

  // The ccTalk bus behind the raw port, and whether the host holds it.
  CcTalkBus bus_;
  bool hostHoldsBus_ = false;

  // Counters as last taken, and the unit's own E2Prom.
  struct Housekeeping {
    HostSettings taken;
    std::array<std::uint8_t, 256> e2prom{};
    std::uint32_t rowWrites = 0;
    std::optional<std::uint32_t> deviceKey;
  } house_;

  // Barcode tickets: the one in escrow, and the host's decision counts last seen.
  struct Barcode {
    std::uint32_t escrowCount = 0, stackedCount = 0;
    std::uint32_t acceptSeen = 0, returnSeen = 0;
    std::optional<std::string> inEscrow;
    std::string stacked;
  } barcode_;

  // The ticket printer: the ticket being assembled from pieces, and the print.
  struct Printer {
    std::uint32_t status = 0;  // as last written
    bool held = false;         // ctl printer-busy on
    bool assembling = false;
    std::string text;
    std::int64_t printingUntil = 0;
    bool printing = false;
    std::uint32_t printed = 0;
    std::string last;
  } printer_;
};

}  // namespace sim

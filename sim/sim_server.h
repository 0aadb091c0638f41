// tarvex-sim's serving logic, apart from its command line so tests can run it in
// process: one simulated unit behind a local socket, serving D2XX sessions of the
// virtual library and the status and ctl exchanges (the block's among them); and
// the unit's part of the shared block's header.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/local_socket.h"
#include "sim/block_server.h"
#include "sim/usb_unit.h"

namespace sim {

// A `tarvex-sim ctl` command.
struct ControlCommand {
  enum class Kind {
    kFail,
    kClearFaults,
    kShortWrites,
    kUnplug,
    kReplug,
    kQuit,
    // The shared block's.
    kInsertCoin,
    kInsertNote,
    kPostEvent,
    kPressSwitch,
    kFailPayout,
    kSetLevel,
    kInhibitOpen,
    kDriverState,
    kStopMidUpdate,
    kPresentBarcode,
    kPrinterBusy,
    kSetPaidTotal,
    // The ccTalk bus's.
    kPeripheralFault,
    kKeySerial,
  };
  Kind kind = Kind::kQuit;
  Fault fault{Call::Open};
  // short-writes: bytes per write; unplug: milliseconds; post-event: the event word;
  // press-switch: the switch; fail-payout: the code; inhibit-open and printer-busy:
  // 1 on, 0 off; driver-state: the state; set-paid-total: the total; insert-coin,
  // insert-note and set-level: the value.
  std::uint32_t number = 0;
  int acceptor = -1;  // insert-coin --acceptor N; -1: the first coin acceptor that fits
  std::string text;   // present-barcode: the ticket's text
  PeripheralFault peripheralFault;          // peripheral
  std::array<std::uint8_t, 6> keyDigits{};  // key-serial
};

// Six hexadecimal digits (such as 490728) as the ccTalk key digits, most
// significant first.
bool ParseKeyDigits(const std::string& text, std::array<std::uint8_t, 6>* digits);
std::string KeyDigitsText(const std::array<std::uint8_t, 6>& digits);

// Parses the command's words (the first is the command). False with the reason
// for anything else.
bool ParseControl(const std::vector<std::string>& words, ControlCommand* command,
                  std::string* error);

// The D2XX call a ctl name stands for: open close read write reset queue-status
// get-status latency ee-read.
bool CallByName(const std::string& name, Call* call);

// The unit's part of the shared block ("QMXZELTI mapped file", 0xB000 bytes).
inline constexpr std::size_t kBlockSize = 0xB000;
// Sets `BlockFormat`, `FirmwareLevel` and the driver area (`DriverAreaMagic`, and
// `DriverState` 0: nobody holds the unit yet).
void PrepareBlock(std::uint8_t* block, std::int32_t level);
// Writes `CompileDate` and `CompileTime` (16-byte texts, zero-padded).
void WriteBlockFirmware(std::uint8_t* block, const std::string& date, const std::string& time);

struct ServerSettings {
  std::int32_t level = 0;               // shown by status when there is no block server
  const std::uint8_t* block = nullptr;  // the shared block, when there is one
  BlockServer* blockServer = nullptr;   // serves it; takes the block's ctl commands
};

class SimServer {
 public:
  SimServer(UsbUnit& unit, ServerSettings settings);
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;
  ~SimServer();

  // Listens at the endpoint and serves from a thread of its own. kInUse when
  // another unit holds the endpoint.
  platform::SocketResult Start(const std::string& endpoint, std::string* error);
  // Ends serving: open sessions are closed, their clients see failed calls.
  void Stop();

  // A `ctl quit` came in.
  bool quitRequested() const { return quit_.load(); }

  // The "key: value" lines of `tarvex-sim status`.
  std::string StatusText();
  // Carries out a ctl command: 0 with an answer line, or link::kUsageError with
  // the reason. A block command waits up to a second for the block server to
  // carry it out, and otherwise says it is queued.
  std::uint32_t Control(const std::vector<std::string>& words, std::string* answer);

 private:
  struct Worker {
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void AcceptLoop();
  void Serve(platform::LocalSocket socket);
  void ServeSession(platform::LocalSocket& socket);
  // Answers one call of an open session; false ends the session.
  bool AnswerCall(platform::LocalSocket& socket, std::uint8_t op,
                  const std::vector<std::uint8_t>& payload);
  void AwaitClientEnd(platform::LocalSocket& socket);
  void ReapWorkers(bool all);
  std::uint32_t BlockControl(const ControlCommand& command, std::string* answer);
  std::uint32_t PeripheralControl(const ControlCommand& command, std::string* answer);

  UsbUnit& unit_;
  ServerSettings settings_;
  platform::LocalSocket listener_;
  std::string endpoint_;
  std::thread acceptor_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> quit_{false};
  std::mutex workersLock_;
  std::list<std::unique_ptr<Worker>> workers_;
};

}  // namespace sim

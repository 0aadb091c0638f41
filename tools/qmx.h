// qmx's parts: the library's exports as a table bound at run time, and the commands,
// each checked against its arguments before the interface opens (Context::dryRun)
// and then run for real.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qmxzelti.h"

namespace qmx_tool {

// Every export qmx uses: result, name, parameters, argument bytes.
#define QMX_TOOL_EXPORTS(X)                                          \
  X(int, OpenVODVersion, (int), 4)                                   \
  X(int, OpenSpecificVODVersion, (const char*, int), 8)              \
  X(void, EnableInterface, (), 0)                                    \
  X(int, CurrentValue, (), 0)                                        \
  X(void, PayOut, (int), 4)                                          \
  X(int, LastPayStatus, (), 0)                                       \
  X(int, CurrentPaid, (), 0)                                         \
  X(int, AvailableValue, (), 0)                                      \
  X(void, ValueNeeded, (int), 4)                                     \
  X(int, NextEvent, (QmxEventDetails*), 4)                           \
  X(int, CurrentUpdates, (), 0)                                      \
  X(void, IndicatorOn, (int), 4)                                     \
  X(void, IndicatorOff, (int), 4)                                    \
  X(int, SwitchOpens, (int), 4)                                      \
  X(int, SwitchCloses, (int), 4)                                     \
  X(int, CheckOperation, (int, int), 8)                              \
  X(int, SerialNumber, (), 0)                                        \
  X(void, EscrowEnable, (), 0)                                       \
  X(void, EscrowDisable, (), 0)                                      \
  X(int, EscrowThroughput, (), 0)                                    \
  X(void, EscrowAccept, (), 0)                                       \
  X(void, EscrowReturn, (), 0)                                       \
  X(int, ReadAcceptorDetails, (int, void*), 8)                       \
  X(int, ReadDispenserDetails, (int, QmxDispenserDetails*), 8)       \
  X(void, CounterIncrement, (int, int), 8)                           \
  X(void, CounterCaption, (int, const char*), 8)                     \
  X(int, CounterRead, (int), 4)                                      \
  X(const char*, ReadCounterCaption, (int), 4)                       \
  X(void, CounterDisplay, (int), 4)                                  \
  X(int, MeterStatus, (), 0)                                         \
  X(int, MeterSerialNo, (), 0)                                       \
  X(int, E2PromReset, (int), 4)                                      \
  X(void, E2PromWrite, (const unsigned char*, int), 8)               \
  X(void, E2PromRead, (unsigned char*, int), 8)                      \
  X(int, SetDeviceKey, (int, int, int), 12)                          \
  X(int, USBDriverStatus, (), 0)                                     \
  X(int, FirmwareVersion, (char*, char*), 8)                         \
  X(void, BarcodeEnable, (), 0)                                      \
  X(void, BarcodeDisable, (), 0)                                     \
  X(int, BarcodeInEscrow, (char*), 4)                                \
  X(int, BarcodeStacked, (char*), 4)                                 \
  X(void, BarcodeAccept, (), 0)                                      \
  X(void, BarcodeReturn, (), 0)                                      \
  X(int, BarcodePrint, (const QmxTicket*), 4)                        \
  X(int, BarcodePrintStatus, (), 0)                                  \
  X(const char*, ZELTIConsistencyError, (int, int), 8)

struct Api {
#define QMX_TOOL_SLOT(result, name, params, bytes) result(QMX_CALL* name) params = nullptr;
  QMX_TOOL_EXPORTS(QMX_TOOL_SLOT)
#undef QMX_TOOL_SLOT
};

constexpr int kFailed = 1;
constexpr int kUsageError = 2;
constexpr int kNoLibrary = 3;

// What a command sees. In the dry run (before the library is even loaded) `api` is
// null and a command only checks its arguments: kUsageError after naming the fault
// on stderr, else 0.
struct Context {
  const Api* api = nullptr;
  bool dryRun = true;
  int version = QMX_VERSION_5;
  int openResult = -1;
  int level = -1;  // the unit's firmware level when its block could be read, else -1
};

using Args = std::vector<std::string>;

// What the command line chose (qmx.cpp).
struct Options {
  std::string serial;
  bool bySerial = false;
  int version = QMX_VERSION_5;
  std::string library;
  std::vector<std::string> command;
};

bool ParseInt(const std::string& text, int* value);
// Names the fault on stderr; returns kUsageError.
int UsageFault(const char* format, ...);
// An optional "--name N" (N >= 0) taken out of args; false (fault named) when malformed.
bool TakeOption(Args* args, const char* name, int* value);
// 0 when a command that takes no arguments got none, else the fault named.
int NoArguments(const char* command, const Args& args);
// Sleeps up to `ms`, less when interrupted.
void Pause(int ms);
// Ctrl-C (or a termination request) was seen: loops end, so that the library is
// unloaded and the last host's unload switches the interface off.
bool Interrupted();
// Whether the unit's firmware level offers a feature; if not, says so on stderr. An
// unknown level (no block to read) lets it through.
bool Offered(const Context& context, int level, const char* what);

// The interface's open result in words.
const char* OpenResultText(int result);

// Read from the unit's block directly (qmx_block.cpp).
// The header of the unit's block as the unit wrote it: the firmware words that no
// export of this library gives yet. Only ever read, and only inside the mapping.
struct Header {
  bool mapped = false;
  std::int32_t level = 0;
  std::uint32_t versionWord = 0;
  std::string compileDate, compileTime;
  std::uint32_t driverState = 0;
  // Set when the block is there but would not open (most often: this account is not
  // in the group the block was created for).
  std::string refused;
};
Header ReadHeader(const Options& options);
// The unit's own PayStatus word, read from its block: the library's LastPayStatus
// also answers 0 ("under way") while the unit is idle short of a target, which
// cannot tell a running payout from a stale target. False when the block cannot be
// read (no mapping, no magic, areas outside it, or a unit that never settles).
bool ReadUnitPayStatus(const Options& options, std::uint32_t* payStatus);

// The status command (qmx_money.cpp): what the unit and the library report.
int Status(const Api& api, const Options& options, int openResult);
// The money, list and escrow commands (qmx_money.cpp); -1 for a command that is none
// of them.
int RunMoneyCommand(const Context& context, const Options& options, const std::string& command,
                    Args args);

// The unit's housekeeping, barcode and consistency commands (qmx_unit.cpp): the
// command's result, or -1 when `command` is none of them.
int RunUnitCommand(const Context& context, const std::string& command, Args args);

}  // namespace qmx_tool

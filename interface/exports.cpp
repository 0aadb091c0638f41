// Qmxzelti's exports: thin wrappers that forward to the process's one LibraryState
// through Guarded, which lets nothing escape (an exception gives the export's answer
// for a failure, the closed interface's where it has one).
#include <cstdint>
#include <new>
#include <utility>

#include "interface/barcode.h"
#include "interface/consistency.h"
#include "interface/details.h"
#include "interface/library.h"
#include "interface/meters.h"
#include "interface/money.h"
#include "qmxzelti.h"

namespace qmx {

// Built in place and never destroyed: the unload hook runs during the process's
// last clean-up, possibly after static destructors, and still needs the state.
// The unload rules release the block themselves.
LibraryState& ProcessLibrary() {
  alignas(LibraryState) static unsigned char storage[sizeof(LibraryState)];
  static LibraryState* const instance = new (storage) LibraryState();
  return *instance;
}

}  // namespace qmx

namespace {

template <typename Call>
auto Guarded(decltype(std::declval<Call>()(qmx::ProcessLibrary())) failure, Call&& call) noexcept {
  try {
    return call(qmx::ProcessLibrary());
  } catch (...) {
    return failure;
  }
}

template <typename Call>
void Guarded(Call&& call) noexcept {
  try {
    call(qmx::ProcessLibrary());
  } catch (...) {
  }
}

}  // namespace

extern "C" {
QMX_API int QMX_CALL OpenVOD(void) noexcept {
  return Guarded(qmx::kErrorGenFailure, [&](qmx::LibraryState& l) { return l.OpenVOD(); });
}
QMX_API int QMX_CALL OpenVODVersion(int version) noexcept {
  return Guarded(qmx::kErrorGenFailure, [&](qmx::LibraryState& l) { return l.OpenVODVersion(version); });
}
QMX_API int QMX_CALL OpenSpecificVODVersion(const char* serial, int version) noexcept {
  return Guarded(qmx::kErrorGenFailure, [&](qmx::LibraryState& l) { return l.OpenSpecificVODVersion(serial, version); });
}
QMX_API void QMX_CALL EnableInterface(void) noexcept {
  Guarded([&](qmx::LibraryState& l) { l.EnableInterface(); });
}
QMX_API void QMX_CALL DisableInterface(void) noexcept {
  Guarded([&](qmx::LibraryState& l) { l.DisableInterface(); });
}

// Money, payout, events, indicators, switches and escrow.
QMX_API int QMX_CALL CurrentValue(void) noexcept {
  return Guarded(0, [&](qmx::LibraryState& l) { return qmx::CurrentValue(l); });
}
QMX_API void QMX_CALL PayOut(int amount) noexcept {
  Guarded([&](qmx::LibraryState& l) { qmx::PayOut(l, l.Money, amount); });
}
QMX_API int QMX_CALL LastPayStatus(void) noexcept {
  return Guarded(qmx::kPayNotOpen, [&](qmx::LibraryState& l) { return qmx::LastPayStatus(l, l.Money); });
}
QMX_API int QMX_CALL CurrentPaid(void) noexcept {
  return Guarded(0, [&](qmx::LibraryState& l) { return qmx::CurrentPaid(l); });
}
QMX_API int QMX_CALL AvailableValue(void) noexcept {
  return Guarded(0, [&](qmx::LibraryState& l) { return qmx::AvailableValue(l); });
}
QMX_API void QMX_CALL ValueNeeded(int value) noexcept {
  Guarded([&](qmx::LibraryState& l) { qmx::ValueNeeded(l, value); });
}
QMX_API int QMX_CALL NextEvent(QmxEventDetails* details) noexcept {
  return Guarded(0, [&](qmx::LibraryState& l) { return qmx::NextEvent(l, details); });
}
QMX_API int QMX_CALL CurrentUpdates(void) noexcept {
  return Guarded(0, [&](qmx::LibraryState& l) { return qmx::CurrentUpdates(l); });
}
QMX_API void QMX_CALL IndicatorOn(int indicator) noexcept {
  Guarded([&](qmx::LibraryState& l) { qmx::IndicatorOn(l, indicator); });
}
QMX_API void QMX_CALL IndicatorOff(int indicator) noexcept {
  Guarded([&](qmx::LibraryState& l) { qmx::IndicatorOff(l, indicator); });
}
QMX_API int QMX_CALL SwitchOpens(int switchNumber) noexcept {
  return Guarded(0, [&](qmx::LibraryState& l) { return qmx::SwitchOpens(l, switchNumber); });
}
QMX_API int QMX_CALL SwitchCloses(int switchNumber) noexcept {
  return Guarded(0, [&](qmx::LibraryState& l) { return qmx::SwitchCloses(l, switchNumber); });
}
QMX_API int QMX_CALL CheckOperation(int a, int b) noexcept {
  return Guarded(qmx::kCheckNotAvailable, [&](qmx::LibraryState& l) { return qmx::CheckOperation(l, a, b); });
}
QMX_API int QMX_CALL SerialNumber(void) noexcept {
  return Guarded(0, [&](qmx::LibraryState& l) { return qmx::SerialNumber(l); });
}
QMX_API void QMX_CALL EscrowEnable(void) noexcept {
  Guarded([&](qmx::LibraryState& l) { qmx::EscrowEnable(l); });
}
QMX_API void QMX_CALL EscrowDisable(void) noexcept {
  Guarded([&](qmx::LibraryState& l) { qmx::EscrowDisable(l); });
}
QMX_API int QMX_CALL EscrowThroughput(void) noexcept {
  return Guarded(0, [&](qmx::LibraryState& l) { return qmx::EscrowThroughput(l); });
}
QMX_API void QMX_CALL EscrowAccept(void) noexcept {
  Guarded([&](qmx::LibraryState& l) { qmx::EscrowAccept(l); });
}
QMX_API void QMX_CALL EscrowReturn(void) noexcept {
  Guarded([&](qmx::LibraryState& l) { qmx::EscrowReturn(l); });
}

// Acceptor and dispenser details, and the message channel.
QMX_API int QMX_CALL ReadAcceptorDetails(int index, void* details) noexcept {
  return Guarded(0, [&](qmx::LibraryState& l) { return qmx::ReadAcceptorDetails(l, index, details); });
}
QMX_API void QMX_CALL WriteAcceptorDetails(int index, const void* details) noexcept {
  Guarded([&](qmx::LibraryState& l) { qmx::WriteAcceptorDetails(l, index, details); });
}
QMX_API int QMX_CALL ReadDispenserDetails(int index, QmxDispenserDetails* details) noexcept {
  return Guarded(0, [&](qmx::LibraryState& l) { return qmx::ReadDispenserDetails(l, index, details); });
}
QMX_API void QMX_CALL WriteDispenserDetails(int index, const QmxDispenserDetails* details) noexcept {
  Guarded([&](qmx::LibraryState& l) { qmx::WriteDispenserDetails(l, index, details); });
}
QMX_API void QMX_CALL WriteInterfaceBlock(int address, const int* data, int length) noexcept {
  Guarded([&](qmx::LibraryState& l) { qmx::WriteInterfaceBlock(l, l.Channel, address, reinterpret_cast<const std::uint8_t*>(data), length); });
}
QMX_API int QMX_CALL ReadInterfaceBlock(int /*ignored*/, unsigned char* buffer, int maximum) noexcept {
  return Guarded(qmx::kBlockNotOpen, [&](qmx::LibraryState& l) { return qmx::ReadInterfaceBlock(l, l.Channel, buffer, maximum); });
}
QMX_API void QMX_CALL DoRawPort(const QmxRawPortRequest* request) noexcept {
  Guarded([&](qmx::LibraryState& l) { qmx::DoRawPort(l, l.Channel, request); });
}
QMX_API int QMX_CALL RawPortResult(unsigned char* buffer) noexcept {
  return Guarded(qmx::kBlockNotOpen, [&](qmx::LibraryState& l) { return qmx::RawPortResult(l, l.Channel, buffer); });
}

// Counters, meters, the E2Prom image and the unit's information.
QMX_API void QMX_CALL CounterIncrement(int counter, int amount) noexcept {
  Guarded([&](qmx::LibraryState& l) { qmx::CounterIncrement(l, counter, amount); });
}
QMX_API void QMX_CALL CounterCaption(int counter, const char* caption) noexcept {
  Guarded([&](qmx::LibraryState& l) { qmx::CounterCaption(l, counter, caption); });
}
QMX_API int QMX_CALL CounterRead(int counter) noexcept {
  return Guarded(0, [&](qmx::LibraryState& l) { return qmx::CounterRead(l, counter); });
}
QMX_API const char* QMX_CALL ReadCounterCaption(int counter) noexcept {
  return Guarded(static_cast<const char*>(""), [&](qmx::LibraryState& l) { return qmx::ReadCounterCaption(l, counter); });
}
QMX_API void QMX_CALL CounterDisplay(int code) noexcept {
  Guarded([&](qmx::LibraryState& l) { qmx::CounterDisplay(l, code); });
}
QMX_API int QMX_CALL MeterStatus(void) noexcept {
  return Guarded(0, [&](qmx::LibraryState& l) { return qmx::MeterStatus(l); });
}
QMX_API int QMX_CALL MeterSerialNo(void) noexcept {
  return Guarded(0, [&](qmx::LibraryState& l) { return qmx::MeterSerialNo(l); });
}
QMX_API int QMX_CALL E2PromReset(int flag) noexcept {
  return Guarded(qmx::kBlockNotOpen, [&](qmx::LibraryState& l) { return qmx::E2PromReset(l, flag); });
}
QMX_API void QMX_CALL E2PromWrite(const unsigned char* data, int length) noexcept {
  Guarded([&](qmx::LibraryState& l) { qmx::E2PromWrite(l, data, length); });
}
QMX_API void QMX_CALL E2PromRead(unsigned char* buffer, int length) noexcept {
  Guarded([&](qmx::LibraryState& l) { qmx::E2PromRead(l, buffer, length); });
}
QMX_API int QMX_CALL SetDeviceKey(int /*ignored1*/, int /*ignored2*/, int key) noexcept {
  return Guarded(qmx::kBlockNotOpen, [&](qmx::LibraryState& l) { return qmx::SetDeviceKey(l, key); });
}
QMX_API int QMX_CALL USBDriverStatus(void) noexcept {
  return Guarded(-1, [&](qmx::LibraryState& l) { return qmx::USBDriverStatus(l); });
}
QMX_API void QMX_CALL USBDriverExit(void) noexcept {
  Guarded([&](qmx::LibraryState& l) { qmx::USBDriverExit(l); });
}
QMX_API int QMX_CALL FirmwareVersion(char* date, char* time) noexcept {
  return Guarded(0, [&](qmx::LibraryState& l) { return qmx::FirmwareVersion(l, date, time); });
}

// Barcode tickets.
QMX_API void QMX_CALL BarcodeEnable(void) noexcept {
  Guarded([&](qmx::LibraryState& l) { qmx::BarcodeEnable(l); });
}
QMX_API void QMX_CALL BarcodeDisable(void) noexcept {
  Guarded([&](qmx::LibraryState& l) { qmx::BarcodeDisable(l); });
}
QMX_API int QMX_CALL BarcodeInEscrow(char* barcode) noexcept {
  return Guarded(0, [&](qmx::LibraryState& l) { return qmx::BarcodeInEscrow(l, barcode); });
}
QMX_API int QMX_CALL BarcodeStacked(char* barcode) noexcept {
  return Guarded(0, [&](qmx::LibraryState& l) { return qmx::BarcodeStacked(l, barcode); });
}
QMX_API void QMX_CALL BarcodeAccept(void) noexcept {
  Guarded([&](qmx::LibraryState& l) { qmx::BarcodeAccept(l); });
}
QMX_API void QMX_CALL BarcodeReturn(void) noexcept {
  Guarded([&](qmx::LibraryState& l) { qmx::BarcodeReturn(l); });
}
QMX_API int QMX_CALL BarcodePrint(const QmxTicket* ticket) noexcept {
  return Guarded(0, [&](qmx::LibraryState& l) { return qmx::BarcodePrint(l, ticket); });
}
QMX_API int QMX_CALL BarcodePrintStatus(void) noexcept {
  return Guarded(0, [&](qmx::LibraryState& l) { return qmx::BarcodePrintStatus(l); });
}

// The consistency check.
QMX_API const char* QMX_CALL ZELTIConsistencyError(int coinMilliseconds, int noteMilliseconds) noexcept {
  return Guarded(static_cast<const char*>("ZELTI not functional"), [&](qmx::LibraryState& l) { return qmx::ZELTIConsistencyError(l, coinMilliseconds, noteMilliseconds); });
}

}  // extern "C"

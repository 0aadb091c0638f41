// Qmxzelti's exports: thin wrappers that forward to the process's LibraryState and
// let nothing escape (an exception gives the export's answer for a failure).
#include <cstdint>
#include <new>

#include "interface/details.h"
#include "interface/library.h"
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

namespace {
// The money family's process state: constant-initialised, nothing to destroy.
MoneyState processMoney;
// The message channel's WriteStatus: constant-initialised, nothing to destroy.
DetailsState processDetails;
}  // namespace

}  // namespace qmx

extern "C" {

QMX_API int QMX_CALL OpenVOD(void) noexcept {
  try {
    return qmx::ProcessLibrary().OpenVOD();
  } catch (...) {
    return qmx::kErrorGenFailure;
  }
}

QMX_API int QMX_CALL OpenVODVersion(int version) noexcept {
  try {
    return qmx::ProcessLibrary().OpenVODVersion(version);
  } catch (...) {
    return qmx::kErrorGenFailure;
  }
}

QMX_API int QMX_CALL OpenSpecificVODVersion(const char* serial, int version) noexcept {
  try {
    return qmx::ProcessLibrary().OpenSpecificVODVersion(serial, version);
  } catch (...) {
    return qmx::kErrorGenFailure;
  }
}

QMX_API void QMX_CALL EnableInterface(void) noexcept {
  try {
    qmx::ProcessLibrary().EnableInterface();
  } catch (...) {
  }
}

QMX_API void QMX_CALL DisableInterface(void) noexcept {
  try {
    qmx::ProcessLibrary().DisableInterface();
  } catch (...) {
  }
}

// Money, payout, events, indicators, switches and escrow: on a failure, the closed
// interface's answer.
QMX_API int QMX_CALL CurrentValue(void) noexcept {
  try {
    return qmx::CurrentValue(qmx::ProcessLibrary());
  } catch (...) {
    return 0;
  }
}

QMX_API void QMX_CALL PayOut(int amount) noexcept {
  try {
    qmx::PayOut(qmx::ProcessLibrary(), qmx::processMoney, amount);
  } catch (...) {
  }
}

QMX_API int QMX_CALL LastPayStatus(void) noexcept {
  try {
    return qmx::LastPayStatus(qmx::ProcessLibrary(), qmx::processMoney);
  } catch (...) {
    return qmx::kPayNotOpen;
  }
}

QMX_API int QMX_CALL CurrentPaid(void) noexcept {
  try {
    return qmx::CurrentPaid(qmx::ProcessLibrary());
  } catch (...) {
    return 0;
  }
}

QMX_API int QMX_CALL AvailableValue(void) noexcept {
  try {
    return qmx::AvailableValue(qmx::ProcessLibrary());
  } catch (...) {
    return 0;
  }
}

QMX_API void QMX_CALL ValueNeeded(int value) noexcept {
  try {
    qmx::ValueNeeded(qmx::ProcessLibrary(), value);
  } catch (...) {
  }
}

QMX_API int QMX_CALL NextEvent(QmxEventDetails* details) noexcept {
  try {
    return qmx::NextEvent(qmx::ProcessLibrary(), details);
  } catch (...) {
    return 0;
  }
}

QMX_API int QMX_CALL CurrentUpdates(void) noexcept {
  try {
    return qmx::CurrentUpdates(qmx::ProcessLibrary());
  } catch (...) {
    return 0;
  }
}

QMX_API void QMX_CALL IndicatorOn(int indicator) noexcept {
  try {
    qmx::IndicatorOn(qmx::ProcessLibrary(), indicator);
  } catch (...) {
  }
}

QMX_API void QMX_CALL IndicatorOff(int indicator) noexcept {
  try {
    qmx::IndicatorOff(qmx::ProcessLibrary(), indicator);
  } catch (...) {
  }
}

QMX_API int QMX_CALL SwitchOpens(int switchNumber) noexcept {
  try {
    return qmx::SwitchOpens(qmx::ProcessLibrary(), switchNumber);
  } catch (...) {
    return 0;
  }
}

QMX_API int QMX_CALL SwitchCloses(int switchNumber) noexcept {
  try {
    return qmx::SwitchCloses(qmx::ProcessLibrary(), switchNumber);
  } catch (...) {
    return 0;
  }
}

QMX_API int QMX_CALL CheckOperation(int a, int b) noexcept {
  try {
    return qmx::CheckOperation(qmx::ProcessLibrary(), a, b);
  } catch (...) {
    return qmx::kCheckNotAvailable;
  }
}

QMX_API int QMX_CALL SerialNumber(void) noexcept {
  try {
    return qmx::SerialNumber(qmx::ProcessLibrary());
  } catch (...) {
    return 0;
  }
}

QMX_API void QMX_CALL EscrowEnable(void) noexcept {
  try {
    qmx::EscrowEnable(qmx::ProcessLibrary());
  } catch (...) {
  }
}

QMX_API void QMX_CALL EscrowDisable(void) noexcept {
  try {
    qmx::EscrowDisable(qmx::ProcessLibrary());
  } catch (...) {
  }
}

QMX_API int QMX_CALL EscrowThroughput(void) noexcept {
  try {
    return qmx::EscrowThroughput(qmx::ProcessLibrary());
  } catch (...) {
    return 0;
  }
}

QMX_API void QMX_CALL EscrowAccept(void) noexcept {
  try {
    qmx::EscrowAccept(qmx::ProcessLibrary());
  } catch (...) {
  }
}

QMX_API void QMX_CALL EscrowReturn(void) noexcept {
  try {
    qmx::EscrowReturn(qmx::ProcessLibrary());
  } catch (...) {
  }
}

QMX_API int QMX_CALL ReadAcceptorDetails(int index, void* details) noexcept {
  try {
    return qmx::ReadAcceptorDetails(qmx::ProcessLibrary(), index, details);
  } catch (...) {
    return 0;
  }
}

QMX_API void QMX_CALL WriteAcceptorDetails(int index, const void* details) noexcept {
  try {
    qmx::WriteAcceptorDetails(qmx::ProcessLibrary(), index, details);
  } catch (...) {
  }
}

QMX_API int QMX_CALL ReadDispenserDetails(int index, QmxDispenserDetails* details) noexcept {
  try {
    return qmx::ReadDispenserDetails(qmx::ProcessLibrary(), index, details);
  } catch (...) {
    return 0;
  }
}

QMX_API void QMX_CALL WriteDispenserDetails(int index, const QmxDispenserDetails* details) noexcept {
  try {
    qmx::WriteDispenserDetails(qmx::ProcessLibrary(), index, details);
  } catch (...) {
  }
}

QMX_API void QMX_CALL WriteInterfaceBlock(int address, const int* data, int length) noexcept {
  try {
    // The caller's words, seen as the bytes they are.
    qmx::WriteInterfaceBlock(qmx::ProcessLibrary(), qmx::processDetails, address,
                             reinterpret_cast<const std::uint8_t*>(data), length);
  } catch (...) {
  }
}

QMX_API int QMX_CALL ReadInterfaceBlock(int ignored, unsigned char* buffer, int maximum) noexcept {
  (void)ignored;
  try {
    return qmx::ReadInterfaceBlock(qmx::ProcessLibrary(), qmx::processDetails, buffer, maximum);
  } catch (...) {
    return qmx::kBlockNotOpen;
  }
}

QMX_API void QMX_CALL DoRawPort(const QmxRawPortRequest* request) noexcept {
  try {
    qmx::DoRawPort(qmx::ProcessLibrary(), qmx::processDetails, request);
  } catch (...) {
  }
}

QMX_API int QMX_CALL RawPortResult(unsigned char* buffer) noexcept {
  try {
    return qmx::RawPortResult(qmx::ProcessLibrary(), qmx::processDetails, buffer);
  } catch (...) {
    return qmx::kBlockNotOpen;
  }
}

}  // extern "C"

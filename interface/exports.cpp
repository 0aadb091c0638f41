// Qmxzelti's exports: thin wrappers that forward to the process's LibraryState and
// let nothing escape (an exception gives the export's answer for a failure).
#include <new>

#include "interface/library.h"
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

}  // extern "C"

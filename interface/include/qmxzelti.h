/* qmxzelti.h: the application interface of a Tarvex unit (Qmxzelti.dll,
   libqmxzelti.so). Usable from C and C++. All integers are signed 32-bit. */
#ifndef QMXZELTI_H
#define QMXZELTI_H

/* The callee-cleans convention of the 32-bit Windows library; x64 and Linux have
   one convention only. The exports are named by the library's exports list: on
   32-bit Windows "_OpenVODVersion@4" and so on, elsewhere the plain names. */
#if defined(_WIN32) && !defined(_WIN64)
#define QMX_CALL __stdcall
#else
#define QMX_CALL
#endif

#if defined(QMXZELTI_BUILD) && !defined(_WIN32)
#define QMX_API __attribute__((visibility("default")))
#elif defined(_WIN32) && !defined(QMXZELTI_BUILD)
#define QMX_API __declspec(dllimport)
#else
#define QMX_API /* the .def file names the Windows exports */
#endif

#if defined(__cplusplus)
#define QMX_NOEXCEPT noexcept
extern "C" {
#else
#define QMX_NOEXCEPT
#endif

/* Open results (Windows system error codes). */
#define QMX_OPEN_OK 0
#define QMX_ERROR_INVALID_DATA 13           /* version not accepted, or block format */
#define QMX_ERROR_BAD_UNIT 20               /* PCI card: driver code 552 */
#define QMX_ERROR_NOT_READY 21              /* driver not ready */
#define QMX_ERROR_GEN_FAILURE 31            /* no block, or the block refuses opening */
#define QMX_ERROR_INVALID_NAME 123          /* serial number longer than 11 characters */
#define QMX_ERROR_BUSY 170                  /* the unit is being reprogrammed */
#define QMX_ERROR_DEVICE_NOT_CONNECTED 1167 /* no unit behind the driver */
/* 0x10000000 + v: the PCI card's driver failed with code v. */

/* Interface versions a host may ask for. */
#define QMX_VERSION_1 0x00010001
#define QMX_VERSION_2 0x00010002 /* adds the two extra dispenser words */
#define QMX_VERSION_5 0x00010005 /* adds description texts and 32-byte coin entries */

/* Records shared with the library (caller's memory): added with their exports. */

/* Opening and switching the interface. */
QMX_API int QMX_CALL OpenVOD(void) QMX_NOEXCEPT; /* always QMX_ERROR_INVALID_DATA */
QMX_API int QMX_CALL OpenVODVersion(int version) QMX_NOEXCEPT;
QMX_API int QMX_CALL OpenSpecificVODVersion(const char* serial, int version) QMX_NOEXCEPT;
QMX_API void QMX_CALL EnableInterface(void) QMX_NOEXCEPT;
QMX_API void QMX_CALL DisableInterface(void) QMX_NOEXCEPT;

#if defined(__cplusplus)
}
#endif

#endif /* QMXZELTI_H */

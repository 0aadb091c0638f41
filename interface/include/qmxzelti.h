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

#include <stddef.h> /* offsetof, for the layout checks */

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

/* Checked at compile time in C++, C11 and C99 alike (a negative array size fails). */
#if defined(__cplusplus)
#define QMX_LAYOUT_CHECK(condition, name) static_assert(condition, #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define QMX_LAYOUT_CHECK(condition, name) _Static_assert(condition, #name)
#else
#define QMX_LAYOUT_CHECK(condition, name) typedef char qmx_layout_##name[(condition) ? 1 : -1]
#endif

/* NextEvent fills it from the unit's event word: bits 0 to 15 the code, 16 to 23 the
   first data byte, 24 to 30 the second data field, bit 31 the flag. Four 32-bit
   fields, 16 bytes, the same on 32-bit Windows and everywhere else. */
typedef struct QmxEventDetails {
  int EventCode;  /* bits 0 to 15 */
  int EventData1; /* bits 16 to 23 */
  int EventFlag;  /* bit 31: 0 or 1 */
  int EventData2; /* bits 24 to 30 */
} QmxEventDetails;
QMX_LAYOUT_CHECK(sizeof(QmxEventDetails) == 16, event_details_size);
QMX_LAYOUT_CHECK(offsetof(QmxEventDetails, EventCode) == 0, event_code_offset);
QMX_LAYOUT_CHECK(offsetof(QmxEventDetails, EventData1) == 4, event_data1_offset);
QMX_LAYOUT_CHECK(offsetof(QmxEventDetails, EventFlag) == 8, event_flag_offset);
QMX_LAYOUT_CHECK(offsetof(QmxEventDetails, EventData2) == 12, event_data2_offset);

/* Opening and switching the interface. */
QMX_API int QMX_CALL OpenVOD(void) QMX_NOEXCEPT; /* always QMX_ERROR_INVALID_DATA */
QMX_API int QMX_CALL OpenVODVersion(int version) QMX_NOEXCEPT;
QMX_API int QMX_CALL OpenSpecificVODVersion(const char* serial, int version) QMX_NOEXCEPT;
QMX_API void QMX_CALL EnableInterface(void) QMX_NOEXCEPT;
QMX_API void QMX_CALL DisableInterface(void) QMX_NOEXCEPT;

/* Money, payout, events, indicators, switches and escrow. Amounts are the unit's value
   units. On a closed interface the reads answer 0 (LastPayStatus -3, CheckOperation
   -1) and the writes do nothing. */
#define QMX_PAY_NOT_OPEN (-3) /* LastPayStatus: the interface is not open */
#define QMX_PAY_UNDER_WAY 0   /* LastPayStatus: paying, or no result yet */
#define QMX_PAY_COMPLETE 1    /* LastPayStatus: the last payout completed */
QMX_API int QMX_CALL CurrentValue(void) QMX_NOEXCEPT;
QMX_API void QMX_CALL PayOut(int amount) QMX_NOEXCEPT;
QMX_API int QMX_CALL LastPayStatus(void) QMX_NOEXCEPT; /* else the unit's error code */
QMX_API int QMX_CALL CurrentPaid(void) QMX_NOEXCEPT;
QMX_API int QMX_CALL AvailableValue(void) QMX_NOEXCEPT;
QMX_API void QMX_CALL ValueNeeded(int value) QMX_NOEXCEPT;
/* The pending event's code (0 when none); details may be null. */
QMX_API int QMX_CALL NextEvent(QmxEventDetails* details) QMX_NOEXCEPT;
QMX_API int QMX_CALL CurrentUpdates(void) QMX_NOEXCEPT;
QMX_API void QMX_CALL IndicatorOn(int indicator) QMX_NOEXCEPT;
QMX_API void QMX_CALL IndicatorOff(int indicator) QMX_NOEXCEPT;
QMX_API int QMX_CALL SwitchOpens(int switchNumber) QMX_NOEXCEPT;
QMX_API int QMX_CALL SwitchCloses(int switchNumber) QMX_NOEXCEPT;
/* Firmware level 7 and above: posts (a, b) and returns the answer to the last pair. */
QMX_API int QMX_CALL CheckOperation(int a, int b) QMX_NOEXCEPT;
QMX_API int QMX_CALL SerialNumber(void) QMX_NOEXCEPT;
/* Escrow: firmware level 5 and above. */
QMX_API void QMX_CALL EscrowEnable(void) QMX_NOEXCEPT;
QMX_API void QMX_CALL EscrowDisable(void) QMX_NOEXCEPT;
QMX_API int QMX_CALL EscrowThroughput(void) QMX_NOEXCEPT;
QMX_API void QMX_CALL EscrowAccept(void) QMX_NOEXCEPT;
QMX_API void QMX_CALL EscrowReturn(void) QMX_NOEXCEPT;

#if defined(__cplusplus)
}
#endif

#endif /* QMXZELTI_H */

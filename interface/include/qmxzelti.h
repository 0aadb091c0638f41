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

/* Acceptor details (ReadAcceptorDetails, WriteAcceptorDetails). The record's layout
   follows the interface version the host opened with: QmxAcceptorDetails (28-byte
   coin entries, 7,200 bytes on 32-bit Windows) before QMX_VERSION_5,
   QmxAcceptorDetails5 (32-byte coin entries and the text fields, 8,232 bytes there)
   with it. Text references point into the unit's block or to an empty text of the
   library; they stay valid while the interface is open and are never freed. */
#define QMX_MAX_COINS 256
typedef struct QmxCoinDetails {
  int Value;
  int Setting1; /* written back */
  int Count;
  int Setting2; /* written back */
  int UnitInfo;
  int Setting3;            /* written back */
  signed char SettingByte; /* written back, sign-extended */
  unsigned char Spare1;    /* 0 */
  unsigned char UnitByte;  /* firmware level 5 and above, else 0 */
  unsigned char Spare2;    /* 0 */
} QmxCoinDetails;
typedef struct QmxCoinDetails5 {
  int Value;
  int Setting1;
  int Count;
  int Setting2;
  int UnitInfo;
  int Setting3;
  signed char SettingByte;
  unsigned char Spare1;
  unsigned char UnitByte;
  unsigned char Spare2;
  const char* DescriptionText; /* firmware level 7 and above, else "" */
} QmxCoinDetails5;
typedef struct QmxAcceptorDetails {
  int UnitCode;
  int AcceptorStatus; /* written back whole as the acceptor's control word */
  int CoinCount;      /* coin entries filled in Coins; those past it are left as they were */
  int InterfaceNumber;
  int Address;
  int Setting; /* written back */
  int UnitWord1;
  int UnitWord2;
  QmxCoinDetails Coins[QMX_MAX_COINS];
} QmxAcceptorDetails;
typedef struct QmxAcceptorDetails5 {
  int UnitCode;
  int AcceptorStatus;
  int CoinCount;
  int InterfaceNumber;
  int Address;
  int Setting;
  int UnitWord1;
  int UnitWord2;
  QmxCoinDetails5 Coins[QMX_MAX_COINS];
  int ExtraWord;               /* firmware level 7 and above, else 0 */
  const char* DescriptionText; /* firmware level 7 and above, else "" */
} QmxAcceptorDetails5;

/* Dispenser details (ReadDispenserDetails, WriteDispenserDetails). Filled as far as
   the opened version has it: the eight words always, DispenserExtra1 and 2 from
   QMX_VERSION_2, ExtraWord and DescriptionText with QMX_VERSION_5. */
typedef struct QmxDispenserDetails {
  int DispenserWord0;
  int DispenserWord1; /* 100 asks for DispenserWord4 to be taken as the new level */
  int DispenserWord2;
  int DispenserWord3;
  int DispenserWord4;
  int DispenserWord5;
  int DispenserWord6; /* written back */
  int DispenserWord7;
  int DispenserExtra1; /* firmware level 6 and above, else 0 */
  int DispenserExtra2;
  int ExtraWord;               /* firmware level 7 and above, else 0 */
  const char* DescriptionText; /* firmware level 7 and above, else "" */
} QmxDispenserDetails;

/* A raw port request (DoRawPort): command 1 sends Length bytes of Data, every other
   command the low byte of Parameter. */
#define QMX_RAW_PORT_DATA 140
typedef struct QmxRawPortRequest {
  int Command;
  int Parameter;
  int Length;
  unsigned char Data[QMX_RAW_PORT_DATA];
} QmxRawPortRequest;

QMX_LAYOUT_CHECK(sizeof(QmxCoinDetails) == 28, coin_details_size);
QMX_LAYOUT_CHECK(offsetof(QmxCoinDetails, SettingByte) == 24, coin_setting_byte_offset);
QMX_LAYOUT_CHECK(offsetof(QmxCoinDetails, UnitByte) == 26, coin_unit_byte_offset);
QMX_LAYOUT_CHECK(offsetof(QmxCoinDetails5, DescriptionText) % sizeof(void*) == 0,
                 coin5_text_aligned);
QMX_LAYOUT_CHECK(offsetof(QmxAcceptorDetails, Coins) == 32, acceptor_coins_offset);
QMX_LAYOUT_CHECK(sizeof(QmxAcceptorDetails) == 7200, acceptor_details_size);
QMX_LAYOUT_CHECK(offsetof(QmxAcceptorDetails5, Coins) == 32, acceptor5_coins_offset);
QMX_LAYOUT_CHECK(offsetof(QmxRawPortRequest, Data) == 12, raw_port_data_offset);
QMX_LAYOUT_CHECK(sizeof(QmxRawPortRequest) == 152, raw_port_size);
#if defined(_WIN32) && !defined(_WIN64)
/* The 32-bit Windows layouts the field hosts were built against. */
QMX_LAYOUT_CHECK(offsetof(QmxCoinDetails5, DescriptionText) == 28, coin5_text_offset);
QMX_LAYOUT_CHECK(sizeof(QmxCoinDetails5) == 32, coin5_size);
QMX_LAYOUT_CHECK(offsetof(QmxAcceptorDetails5, ExtraWord) == 8224, acceptor5_extra_offset);
QMX_LAYOUT_CHECK(offsetof(QmxAcceptorDetails5, DescriptionText) == 8228, acceptor5_text_offset);
QMX_LAYOUT_CHECK(sizeof(QmxAcceptorDetails5) == 8232, acceptor5_size);
QMX_LAYOUT_CHECK(offsetof(QmxDispenserDetails, DispenserExtra1) == 32, dispenser_extra1_offset);
QMX_LAYOUT_CHECK(offsetof(QmxDispenserDetails, ExtraWord) == 40, dispenser_extra_offset);
QMX_LAYOUT_CHECK(offsetof(QmxDispenserDetails, DescriptionText) == 44, dispenser_text_offset);
QMX_LAYOUT_CHECK(sizeof(QmxDispenserDetails) == 48, dispenser_size);
#endif

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

/* Acceptor and dispenser details: 1 when the record was filled, 0 when the interface
   is not open or there is no entry at index (0 the first, a negative index the first
   too); the record is then untouched. `details` is a QmxAcceptorDetails or, opened
   with QMX_VERSION_5, a QmxAcceptorDetails5. The writes do nothing in those cases. */
QMX_API int QMX_CALL ReadAcceptorDetails(int index, void* details) QMX_NOEXCEPT;
QMX_API void QMX_CALL WriteAcceptorDetails(int index, const void* details) QMX_NOEXCEPT;
QMX_API int QMX_CALL ReadDispenserDetails(int index, QmxDispenserDetails* details) QMX_NOEXCEPT;
QMX_API void QMX_CALL WriteDispenserDetails(int index,
                                            const QmxDispenserDetails* details) QMX_NOEXCEPT;

/* The message channel. WriteInterfaceBlock's outcome is read back by the next
   ReadInterfaceBlock or RawPortResult as one of these (or, once sent, the reply's
   length; 0 while the unit has not answered). */
#define QMX_BLOCK_SENT 0
#define QMX_BLOCK_UNANSWERED (-2)  /* the unit has not answered the previous block */
#define QMX_BLOCK_BAD_LENGTH (-3)  /* length and block disagree; nothing sent yet */
#define QMX_BLOCK_NOT_OPEN (-4)    /* interface not open, or block too long */
#define QMX_BLOCK_MAX_LENGTH 312
/* address >= 0: `data` are the block's data, length bytes; address < 0: `data` is
   a whole block (type word, data length word, data) of length bytes. */
QMX_API void QMX_CALL WriteInterfaceBlock(int address, const int* data, int length) QMX_NOEXCEPT;
QMX_API int QMX_CALL ReadInterfaceBlock(int ignored, unsigned char* buffer,
                                        int maximum) QMX_NOEXCEPT;
QMX_API void QMX_CALL DoRawPort(const QmxRawPortRequest* request) QMX_NOEXCEPT;
/* ReadInterfaceBlock into a buffer of QMX_RAW_PORT_DATA bytes. */
QMX_API int QMX_CALL RawPortResult(unsigned char* buffer) QMX_NOEXCEPT;

/* Counters, meters, the E2Prom image and the unit's information: firmware level 3
   and above (the E2Prom image 4 and above). Counters are numbered 1 to 32, taken
   by their low 8 bits (257 names counter 1, 0 none). Out of range, below the level
   or on a closed interface the writes do nothing and the reads answer 0 (an empty
   caption; MeterStatus 1 below level 3). */
#define QMX_COUNTERS 32
#define QMX_CAPTION_SIZE 12 /* bytes, not necessarily terminated */
#define QMX_E2PROM_SIZE 256 /* eight rows of 32 bytes */
/* E2PromReset and SetDeviceKey: the unit's reply length (above 0), else one of
   QMX_BLOCK_UNANSWERED, QMX_BLOCK_BAD_LENGTH, QMX_BLOCK_NOT_OPEN, or: */
#define QMX_UNIT_NO_ANSWER (-5) /* the unit answered nothing within QMX_UNIT_ANSWER_MS */
#define QMX_UNIT_ANSWER_MS 10000
QMX_API void QMX_CALL CounterIncrement(int counter, int amount) QMX_NOEXCEPT;
/* caption: 12 bytes, all of them stored. */
QMX_API void QMX_CALL CounterCaption(int counter, const char* caption) QMX_NOEXCEPT;
QMX_API int QMX_CALL CounterRead(int counter) QMX_NOEXCEPT;
/* The caption as a terminated text of at most 12 characters, in the library's buffer:
   valid until the next call. */
QMX_API const char* QMX_CALL ReadCounterCaption(int counter) QMX_NOEXCEPT;
QMX_API void QMX_CALL CounterDisplay(int code) QMX_NOEXCEPT;
QMX_API int QMX_CALL MeterStatus(void) QMX_NOEXCEPT;
QMX_API int QMX_CALL MeterSerialNo(void) QMX_NOEXCEPT;
/* flag non-zero: 1 is sent, else 0. */
QMX_API int QMX_CALL E2PromReset(int flag) QMX_NOEXCEPT;
/* The first `length` bytes (at most 256) of the image, from its start. */
QMX_API void QMX_CALL E2PromWrite(const unsigned char* data, int length) QMX_NOEXCEPT;
QMX_API void QMX_CALL E2PromRead(unsigned char* buffer, int length) QMX_NOEXCEPT;
/* The first two arguments are not used. */
QMX_API int QMX_CALL SetDeviceKey(int ignored1, int ignored2, int key) QMX_NOEXCEPT;
/* The driver process's state word (5: no unit connected); -1 without a mapping
   (also for a PCI card). */
QMX_API int QMX_CALL USBDriverStatus(void) QMX_NOEXCEPT;
/* Asks the driver process to end. */
QMX_API void QMX_CALL USBDriverExit(void) QMX_NOEXCEPT;
/* FirmwareVersionWord (0 without a block); date and time (16 bytes each, may be
   null) take the firmware's compile date and time. */
QMX_API int QMX_CALL FirmwareVersion(char* date, char* time) QMX_NOEXCEPT;

/* Barcode tickets: firmware level 5 and above. The barcode buffers hold at least
   19 bytes. */
#define QMX_BARCODE_TEXT 19
#define QMX_TICKET_TEXT_MAX 1024 /* characters of Barcode and each Text of a ticket */
/* Characters of a ticket's whole print command text (the value, the barcode twice
   grouped and once plain, the five texts and the printer's separators): what the
   printer's buffer takes, so a longer ticket is refused rather than cut short. */
#define QMX_TICKET_MAX 4096
typedef struct QmxTicket {
  int TicketValue;     /* printed in decimal */
  const char* Barcode; /* required: the 18-character barcode */
  const char* Text1;   /* each may be null */
  const char* Text2;
  const char* Text3;
  const char* Text4;
  const char* Text5;
} QmxTicket;
#if defined(_WIN32) && !defined(_WIN64)
QMX_LAYOUT_CHECK(sizeof(QmxTicket) == 28, ticket_size);
QMX_LAYOUT_CHECK(offsetof(QmxTicket, Barcode) == 4, ticket_barcode_offset);
QMX_LAYOUT_CHECK(offsetof(QmxTicket, Text5) == 24, ticket_text5_offset);
#endif
#define QMX_PRINT_SENDING 2 /* BarcodePrintStatus: a ticket is being sent */
QMX_API void QMX_CALL BarcodeEnable(void) QMX_NOEXCEPT;
QMX_API void QMX_CALL BarcodeDisable(void) QMX_NOEXCEPT;
/* 1 when a ticket waits in escrow (its text in barcode), else 0. */
QMX_API int QMX_CALL BarcodeInEscrow(char* barcode) QMX_NOEXCEPT;
/* The count of tickets stacked; the last one's text in barcode. */
QMX_API int QMX_CALL BarcodeStacked(char* barcode) QMX_NOEXCEPT;
QMX_API void QMX_CALL BarcodeAccept(void) QMX_NOEXCEPT;
QMX_API void QMX_CALL BarcodeReturn(void) QMX_NOEXCEPT;
/* 1 when the print was started; 0 when the printer is not ready, a print is under
   way or was just dropped (QMX_UNIT_NO_ANSWER), Barcode is null, a text is longer
   than QMX_TICKET_TEXT_MAX or the whole ticket longer than QMX_TICKET_MAX. Then call
   BarcodePrintStatus until it no longer answers QMX_PRINT_SENDING. */
QMX_API int QMX_CALL BarcodePrint(const QmxTicket* ticket) QMX_NOEXCEPT;
/* QMX_PRINT_SENDING while a print is being sent, else the printer's status (bit 0:
   ready for a ticket); 0 below level 5 or on a closed interface. QMX_UNIT_NO_ANSWER
   (-5), once, when the unit took no piece of the ticket for QMX_UNIT_ANSWER_MS: the
   print is dropped, not printed. -5 is no printer status: its bit 0 does not mean
   ready (the next call reads the printer again). */
QMX_API int QMX_CALL BarcodePrintStatus(void) QMX_NOEXCEPT;

/* Consistency: call now and then with the shortest time (ms) one coin and one note
   take. Null while the money reports since the previous call are plausible, else
   a text naming the first fault (the library's buffer, valid until the next call).
   Times of 0 or less count as 1 ms. */
QMX_API const char* QMX_CALL ZELTIConsistencyError(int coinMilliseconds,
                                                   int noteMilliseconds) QMX_NOEXCEPT;

#if defined(__cplusplus)
}
#endif

#endif /* QMXZELTI_H */

// The FTDI D2XX library as Flashwright uses it: nine calls, declared here from the
// library's public interface, bound at run time all-or-nothing (Win32: FTD2XX.dll by
// ordinal; POSIX: libftd2xx.so by name). FLASHWRIGHT_D2XX names another file.
#pragma once

#include <cstdint>
#include <string>

#if defined(_WIN32) && !defined(_WIN64)
#define D2XX_CALL __stdcall
#else
#define D2XX_CALL
#endif

namespace platform::d2xx {

using Status = std::uint32_t;  // FT_STATUS
using Handle = void*;          // FT_HANDLE
using Dword = std::uint32_t;   // DWORD, 32 bits in the library on every platform

inline constexpr Status kOk = 0;
inline constexpr Status kInvalidHandle = 1;
inline constexpr Status kDeviceNotFound = 2;
inline constexpr Status kDeviceNotOpened = 3;
inline constexpr Status kIoError = 4;

// The EEPROM program-data record (FT_PROGRAM_DATA). We read only its head; the
// library fills many more fields behind it, for which `reserved` leaves ample room.
struct ProgramData {
  Dword Signature1 = 0x00000000;
  Dword Signature2 = 0xFFFFFFFF;
  Dword Version = 0;
  std::uint16_t VendorId = 0;
  std::uint16_t ProductId = 0;
  char* Manufacturer = nullptr;
  char* ManufacturerId = nullptr;
  char* Description = nullptr;
  char* SerialNumber = nullptr;
  std::uint8_t reserved[1024] = {};
};

// The nine entry points, with the ordinal each has in FTD2XX.dll.
struct Api {
  Status(D2XX_CALL* Open)(int index, Handle* handle);                              // 1
  Status(D2XX_CALL* Close)(Handle handle);                                         // 2
  Status(D2XX_CALL* Read)(Handle handle, void* buffer, Dword count, Dword* read);  // 3
  Status(D2XX_CALL* Write)(Handle handle, void* buffer, Dword count, Dword* written);  // 4
  Status(D2XX_CALL* ResetDevice)(Handle handle);                                   // 6
  Status(D2XX_CALL* GetQueueStatus)(Handle handle, Dword* receiveBytes);           // 18
  Status(D2XX_CALL* GetStatus)(Handle handle, Dword* receiveBytes, Dword* transmitBytes,
                               Dword* eventStatus);                                // 21
  Status(D2XX_CALL* SetLatencyTimer)(Handle handle, std::uint8_t milliseconds);   // 29
  Status(D2XX_CALL* EeRead)(Handle handle, ProgramData* data);                     // 38
};

// The library file bound by default, or $FLASHWRIGHT_D2XX when set.
std::string LibraryPath();

// Loads the library and fills every entry point, or none. On failure returns false
// and a text naming the library, or the library and the missing entry point.
bool Bind(Api* api, std::string* error);

}  // namespace platform::d2xx

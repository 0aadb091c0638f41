# Cross build for 32-bit Windows, the field platform: MinGW-w64 with the posix
# thread model, runtime libraries linked in statically so the programs and DLLs
# need nothing beyond Windows' own DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TARVEX_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

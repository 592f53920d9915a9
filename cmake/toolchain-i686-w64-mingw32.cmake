# Windows x86 (32-bit) with MinGW-w64 (Debian's g++-mingw-w64-i686). Nothing
# here runs the programs: this kernel starts no 32-bit x86 code, so the x86
# DLL gets static checks only.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR X86)
set(FFIREF_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

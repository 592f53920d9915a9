# Shared part of the Linux cross toolchain files: each thin file sets
# CROSS_TRIPLE (the GNU triple of the Debian cross compiler), CROSS_PROCESSOR
# and CROSS_QEMU (the qemu-user binary that runs its programs), optionally
# CROSS_QEMU_OPTIONS, then includes this one.
# Programs built for the target run under qemu with the target's sysroot, so
# plain ctest runs the suite there.
if(NOT CROSS_TRIPLE OR NOT CROSS_PROCESSOR OR NOT CROSS_QEMU)
  message(FATAL_ERROR "cross-linux.cmake needs CROSS_TRIPLE, CROSS_PROCESSOR, CROSS_QEMU")
endif()
# try_compile projects re-read the toolchain file; pass these along in case
# they came from the command line rather than a thin file.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CROSS_TRIPLE CROSS_PROCESSOR CROSS_QEMU)

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLE}-g++)
# Names the layout data file of this ABI.
set(FFIREF_ABI ${CROSS_TRIPLE})

set(CROSS_SYSROOT /usr/${CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${CROSS_SYSROOT})
# Tools (python3, readelf) come from the host; libraries, headers and
# packages only from the target's tree, so the host's GoogleTest package is
# never picked up and the suite builds Debian's GoogleTest sources instead.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(CROSS_QEMU_PATH ${CROSS_QEMU} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CROSS_QEMU_PATH} -L ${CROSS_SYSROOT} ${CROSS_QEMU_OPTIONS})

# Shared by the MinGW-w64 toolchain files; FFIREF_MINGW_TRIPLE names the target.
#
# The posix thread model gives std::thread and std::mutex. Programs link
# statically (libgcc, libstdc++, the pthread library), so they run under
# wine with no MinGW DLL beside them; the DLL does the same in CMakeLists.txt.
set(CMAKE_C_COMPILER ${FFIREF_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FFIREF_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${FFIREF_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${FFIREF_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

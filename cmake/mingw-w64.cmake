# Cross build for Windows with Debian's mingw-w64 compilers, the posix thread
# model (std::thread and std::mutex need it). Included by the toolchain files
# of the two targets, which set KESTOR_MINGW_TRIPLET first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${KESTOR_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTOR_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTOR_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTOR_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static programs: they run on a bare Windows, without the compiler's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Cross-compiling for Windows on x86-64 with Debian's mingw-w64 (the variant with POSIX threads, which std::thread
# needs). Tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TREEINV_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TREEINV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TREEINV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TREEINV_MINGW_TRIPLET}-windres)

# Libraries built for this target elsewhere (libcrypto) are found through OPENSSL_ROOT_DIR.
set(CMAKE_FIND_ROOT_PATH /usr/${TREEINV_MINGW_TRIPLET} ${OPENSSL_ROOT_DIR})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Wine reads Linux file names in the encoding of the locale: without a UTF-8 one, a name such as "café" reaches
# the program as something else. Its own diagnostics would land in the output the tests check.
find_program(TREEINV_WINE NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(TREEINV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env LC_ALL=C.UTF-8 WINEDEBUG=-all ${TREEINV_WINE})
endif()

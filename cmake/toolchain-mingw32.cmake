# 32-bit Windows (i686), the library's own home; its programs and tests run under wine32
# (Debian's wine32:i386).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KSYM_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/wine)

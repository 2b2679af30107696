# 64-bit Windows (x86_64); its programs and tests run under wine64.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KSYM_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)

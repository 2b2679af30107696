# 32-bit Windows (i686), the library's own home. Built and checked, not run here.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KSYM_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

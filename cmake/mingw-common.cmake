# Shared part of the Windows cross toolchains. KSYM_MINGW_TRIPLE names the target.
set(CMAKE_SYSTEM_NAME Windows)
# The -posix compilers have std::thread and std::mutex; the default win32 ones do not.
set(CMAKE_C_COMPILER ${KSYM_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KSYM_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KSYM_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KSYM_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The compiler's runtime (libgcc, libstdc++, winpthread) is linked in statically, so that
# the DLLs and programs run without further DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(KSYM_OBJDUMP ${KSYM_MINGW_TRIPLE}-objdump)

# i386 Linux on an x86_64 Linux machine: the same system with 32-bit code (-m32), so the
# build is not a cross build; pointers, size_t and long are 4 bytes. The programs are i386
# ELF files: scripts/with-i386.sh has the kernel run them through qemu-user (or natively
# where the kernel can), for the build's own steps and the tests alike.
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# The machine's GoogleTest is 64-bit: it is built for i386 from Debian's sources.
set(KSYM_GTEST_FROM_SOURCE ON CACHE BOOL "" FORCE)
# Callers built by the tests (the installed-package check) need the same flag.
set(KSYM_CALLER_CFLAGS "-m32" CACHE STRING "" FORCE)

# Cross toolchain for the freestanding 32-bit kernel: clang and ld.lld need no separate cross compiler.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_ASM_COMPILER clang)
set(CMAKE_CXX_COMPILER_TARGET i686-unknown-none-elf)
set(CMAKE_ASM_COMPILER_TARGET i686-unknown-none-elf)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

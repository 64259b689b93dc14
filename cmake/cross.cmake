# Cross-builds with Debian's cross compiler for CROSS_TRIPLE (package
# g++-CROSS_TRIPLE) for the processor CROSS_PROCESSOR, both set by the
# preset. What it builds runs under qemu-user (package qemu-user) with the
# target's C and C++ libraries from the cross compiler's packages; tests that
# start the tools go through the same emulator, so no binfmt registration is
# needed.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CROSS_TRIPLE CROSS_PROCESSOR)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLE}-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CROSS_PROCESSOR} -L /usr/${CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH /usr/${CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The target board: 32-bit ARMv6 with VFP, hard-float calling convention.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv6)

set(ADCKIT_CROSS_PREFIX arm-linux-gnueabihf-)
set(CMAKE_C_COMPILER ${ADCKIT_CROSS_PREFIX}gcc)
set(CMAKE_CXX_COMPILER ${ADCKIT_CROSS_PREFIX}g++)

set(ADCKIT_ARMV6_FLAGS "-march=armv6 -mfpu=vfp -mfloat-abi=hard -marm")
# GCC notes where its parameter-passing ABI changed between releases (the
# "parameter passing for argument of type ... changed in GCC 7.1" notes);
# every object of a build here comes from one compiler, so they say nothing.
set(CMAKE_C_FLAGS_INIT "${ADCKIT_ARMV6_FLAGS} -Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "${ADCKIT_ARMV6_FLAGS} -Wno-psabi")

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run on this machine under user-mode qemu.  Debian's armhf C library
# needs an ARMv7 CPU, so qemu keeps its default CPU; our own objects stay
# ARMv6 through the flags above.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf)

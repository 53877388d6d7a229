# Cross build for the shipped target: 32-bit ARM, hard-float ABI, with Debian's cross compiler and
# the armhf development packages installed side by side with the native ones (multiarch).
# Test programs run under user-mode emulation: ctest starts them through the emulator, and the
# tests start their child programs through it as well (see tests/support/testlib/ChildProgram.h).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CROSS_TRIPLET arm-linux-gnueabihf)

set(CMAKE_C_COMPILER ${CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLET}-g++)

# pkg-config reads only the armhf package descriptions, never the build machine's.
set(CROSS_PKG_CONFIG_LIBDIR /usr/lib/${CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)

# Debian's armhf CZMQ development package cannot be installed next to the native one (it pulls in
# NSS development files that are not multiarch). Its headers are the same for every architecture,
# so the native package's headers serve, with the armhf runtime library linked through a
# development link and package description of our own in the build folder.
# The toolchain file is read again for each compiler check inside the same process: the folder of
# the main build, recorded on the first reading, is the one that counts.
set(CROSS_CZMQ_LIBRARY /usr/lib/${CROSS_TRIPLET}/libczmq.so.4)
if(NOT EXISTS /usr/lib/${CROSS_TRIPLET}/pkgconfig/libczmq.pc AND EXISTS ${CROSS_CZMQ_LIBRARY})
  if(NOT DEFINED ENV{CROSS_CZMQ_DEV})
    set(ENV{CROSS_CZMQ_DEV} ${CMAKE_BINARY_DIR}/armhf-czmq)
    file(MAKE_DIRECTORY $ENV{CROSS_CZMQ_DEV})
    file(CREATE_LINK ${CROSS_CZMQ_LIBRARY} $ENV{CROSS_CZMQ_DEV}/libczmq.so SYMBOLIC)
    file(WRITE $ENV{CROSS_CZMQ_DEV}/libczmq.pc
         "Name: libczmq\nDescription: CZMQ, armhf runtime library with the native headers\n"
         "Version: 4.2.1\nRequires: libzmq\nLibs: -L$ENV{CROSS_CZMQ_DEV} -lczmq\nCflags:\n")
  endif()
  string(APPEND CROSS_PKG_CONFIG_LIBDIR :$ENV{CROSS_CZMQ_DEV})
endif()
set(ENV{PKG_CONFIG_LIBDIR} ${CROSS_PKG_CONFIG_LIBDIR})
set(ENV{PKG_CONFIG_PATH} "")

# The statically linked emulator: an LD_PRELOAD meant for the ARM program (the USB and HID
# stand-ins) passes through it untouched instead of being refused by the emulator's own loader.
find_program(CROSS_EMULATOR qemu-arm-static)
if(CROSS_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CROSS_EMULATOR})
endif()

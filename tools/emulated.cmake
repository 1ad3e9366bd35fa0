# Cross build for an architecture that this machine runs under qemu, chosen
# by -DTESSALY_ARCH=ARCH (or the environment's TESSALY_ARCH):
#   i386           the host compilers with -m32 (gcc/g++-multilib)
#   arm64/aarch64  aarch64-linux-gnu-gcc/g++
# CMake's FindPython queries the target's provisioned interpreter under qemu
# (tools/python-emulated), and programs built here run through
# tools/run-emulated when CMake runs them.
set(CMAKE_SYSTEM_NAME Linux)
if(NOT TESSALY_ARCH AND DEFINED ENV{TESSALY_ARCH})
  set(TESSALY_ARCH "$ENV{TESSALY_ARCH}")
endif()
# try_compile projects read this file again and need the architecture too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TESSALY_ARCH)
if(TESSALY_ARCH STREQUAL "i386")
  set(CMAKE_SYSTEM_PROCESSOR i686)
  set(CMAKE_C_COMPILER gcc)
  set(CMAKE_CXX_COMPILER g++)
  # The kernel's x86 headers serve both widths. gcc-multilib, whose one file
  # links them as /usr/include/asm, conflicts with the aarch64 cross
  # compiler, so the 32-bit build names them itself (last, as a fallback).
  set(CMAKE_C_FLAGS_INIT "-m32 -idirafter /usr/include/x86_64-linux-gnu")
  set(CMAKE_CXX_FLAGS_INIT "-m32 -idirafter /usr/include/x86_64-linux-gnu")
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
  set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
  set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
  set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
elseif(TESSALY_ARCH MATCHES "^(arm64|aarch64)$")
  set(TESSALY_ARCH arm64)
  set(CMAKE_SYSTEM_PROCESSOR aarch64)
  set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
  set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
  set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
else()
  message(FATAL_ERROR "emulated.cmake: TESSALY_ARCH must be i386 or arm64, not '${TESSALY_ARCH}'")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/run-emulated;${TESSALY_ARCH}")

# The target's interpreter and headers, from the provisioned prefix.
set(ENV{TESSALY_ARCH} "${TESSALY_ARCH}")
if(DEFINED ENV{TESSALY_TOOLCHAIN})
  set(_tessaly_prefix "$ENV{TESSALY_TOOLCHAIN}/${TESSALY_ARCH}")
else()
  get_filename_component(_tessaly_prefix "${CMAKE_CURRENT_LIST_DIR}/../.toolchain/${TESSALY_ARCH}" ABSOLUTE)
endif()
if(NOT Python_EXECUTABLE)
  set(Python_EXECUTABLE "${CMAKE_CURRENT_LIST_DIR}/python-emulated")
endif()
if(NOT Python_INCLUDE_DIR)
  set(Python_INCLUDE_DIR "${_tessaly_prefix}/usr/include/python3.14")
endif()

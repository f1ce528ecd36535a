# Cross build for 32-bit ARM Linux, hard-float (armv7l, Debian's armhf), on a Debian
# x86_64 machine:
#
#   dpkg --add-architecture armhf && apt-get update
#   apt-get install g++-arm-linux-gnueabihf libpython3.11-dev:armhf
#
# The compiler is Debian's multiarch cross compiler: it already searches
# /usr/include/arm-linux-gnueabihf and links against /usr/lib/arm-linux-gnueabihf, where
# the :armhf packages put their files, so no separate sysroot is needed.
#
# scikit-build-core passes the running (x86_64) interpreter to CMake unless told not to;
# build with `cmake.python-hints=false` (scripts/armhf.sh does) so that FindPython only
# sees what this file gives it: the armhf headers and the armhf extension suffix.
# Nothing here runs a target binary, so no emulator is needed to configure or build.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

set(ZARN_ARMHF_TRIPLET arm-linux-gnueabihf)
set(CMAKE_LIBRARY_ARCHITECTURE ${ZARN_ARMHF_TRIPLET})

# Debian's compilers are versioned (arm-linux-gnueabihf-g++-12) with an unversioned link;
# take the unversioned one so a newer Debian release works unchanged.
find_program(ZARN_ARMHF_CXX ${ZARN_ARMHF_TRIPLET}-g++ REQUIRED)
find_program(ZARN_ARMHF_CC ${ZARN_ARMHF_TRIPLET}-gcc REQUIRED)
set(CMAKE_CXX_COMPILER ${ZARN_ARMHF_CXX})
set(CMAKE_C_COMPILER ${ZARN_ARMHF_CC})

# armv7-a with VFPv3-D16 and the hard-float calling convention: Debian's armhf baseline,
# which every armv7l board with a Debian-based system meets. The cross compiler defaults
# to exactly this; spelling it out keeps the ABI fixed whatever the compiler's defaults.
set(CMAKE_C_FLAGS_INIT "-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard")
set(CMAKE_CXX_FLAGS_INIT "-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard")

# CPython 3.11 for armhf (libpython3.11-dev:armhf). Its headers live in two folders: the
# common one, shared by every architecture, and the one holding armhf's pyconfig.h.
set(ZARN_ARMHF_PYTHON_INCLUDE /usr/include/python3.11)
set(ZARN_ARMHF_PYTHON_PLATINCLUDE /usr/include/${ZARN_ARMHF_TRIPLET}/python3.11)
foreach(header IN ITEMS "${ZARN_ARMHF_PYTHON_INCLUDE}/Python.h"
                        "${ZARN_ARMHF_PYTHON_PLATINCLUDE}/pyconfig.h")
    if(NOT EXISTS "${header}")
        message(FATAL_ERROR
            "${header} is missing: install libpython3.11-dev:armhf "
            "(dpkg --add-architecture armhf && apt-get update first)")
    endif()
endforeach()

# FindPython, with no interpreter to ask: the include folder is given (it reads the
# version from patchlevel.h) and so is the extension suffix that python_add_library
# (WITH_SOABI) appends: redis_wrapper.cpython-311-arm-linux-gnueabihf.so.
set(Python_INCLUDE_DIR "${ZARN_ARMHF_PYTHON_INCLUDE}" CACHE PATH "CPython headers (armhf)" FORCE)
set(Python_SOABI "cpython-311-${ZARN_ARMHF_TRIPLET}" CACHE STRING "extension suffix (armhf)" FORCE)
set(Python_FIND_REGISTRY NEVER CACHE STRING "" FORCE)
set(Python_FIND_STRATEGY LOCATION CACHE STRING "" FORCE)
# An x86_64 interpreter must never be asked about the target.
unset(Python_EXECUTABLE CACHE)
unset(Python3_EXECUTABLE CACHE)

# Both header folders on every target's include path. The pyconfig.h in the common folder
# is Debian's dispatcher: built for __ARM_PCS_VFP it includes
# <arm-linux-gnueabihf/python3.11/pyconfig.h>, which the cross compiler finds through
# /usr/include.
include_directories(SYSTEM "${ZARN_ARMHF_PYTHON_INCLUDE}" "${ZARN_ARMHF_PYTHON_PLATINCLUDE}")

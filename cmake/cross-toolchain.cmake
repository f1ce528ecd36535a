# Cross build for Debian's armhf (armv7l, hard-float) and arm64 (aarch64) on a Debian x86_64
# machine, with Debian's cross compilers (bookworm's gcc 12):
#
#   apt-get install g++-arm-linux-gnueabihf     # armhf
#   apt-get install g++-aarch64-linux-gnu       # arm64
#
# The target's CPython headers come from a root file system of the target's Debian release
# holding libpython3.X-dev (scripts/target.sh makes one with mmdebstrap). Set in the
# environment, which also reaches CMake's own compiler checks:
#
#   ZARN_TARGET_ARCH     armhf or arm64 (Debian's names)
#   ZARN_TARGET_PYTHON   the target's CPython version X.Y (bookworm 3.11, trixie 3.13)
#   ZARN_TARGET_ROOT     the root file system, with usr/include/python3.X in it
#
# Only the Python headers come from there: the C library and C++ headers and libraries stay
# the cross compiler's, so the module needs only old symbol versions of the device's own
# libc6, libstdc++6 and libgcc-s1, which bookworm and every later release provide.
#
# scikit-build-core passes the running (x86_64) interpreter to CMake unless told not to;
# build with `cmake.python-hints=false` (scripts/target.sh does) so that FindPython only
# sees what this file gives it: the target's headers and extension suffix. Nothing here runs
# a target binary, so no emulator is needed to configure or build.

foreach(var IN ITEMS ZARN_TARGET_ARCH ZARN_TARGET_PYTHON ZARN_TARGET_ROOT)
    if("$ENV{${var}}" STREQUAL "")
        message(FATAL_ERROR "cross-toolchain.cmake: set ${var} in the environment")
    endif()
endforeach()
set(_arch "$ENV{ZARN_TARGET_ARCH}")
set(_python "$ENV{ZARN_TARGET_PYTHON}")
set(_root "$ENV{ZARN_TARGET_ROOT}")

set(CMAKE_SYSTEM_NAME Linux)
if(_arch STREQUAL "armhf")
    set(CMAKE_SYSTEM_PROCESSOR armv7l)
    set(_triplet arm-linux-gnueabihf)
    # armv7-a with VFPv3-D16 and the hard-float calling convention: Debian's armhf baseline,
    # which every armv7l board with a Debian-based system meets. The cross compiler defaults
    # to exactly this; spelling it out keeps the ABI fixed whatever the compiler's defaults.
    set(_flags "-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard")
elseif(_arch STREQUAL "arm64")
    set(CMAKE_SYSTEM_PROCESSOR aarch64)
    set(_triplet aarch64-linux-gnu)
    # Debian's arm64 baseline.
    set(_flags "-march=armv8-a")
else()
    message(FATAL_ERROR "ZARN_TARGET_ARCH is '${_arch}': armhf or arm64")
endif()
set(CMAKE_LIBRARY_ARCHITECTURE ${_triplet})
set(CMAKE_C_FLAGS_INIT "${_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_flags}")

# Debian's compilers are versioned (arm-linux-gnueabihf-g++-12) with an unversioned link;
# take the unversioned one so a newer Debian release works unchanged.
find_program(ZARN_CROSS_CXX ${_triplet}-g++ REQUIRED)
find_program(ZARN_CROSS_CC ${_triplet}-gcc REQUIRED)
set(CMAKE_CXX_COMPILER ${ZARN_CROSS_CXX})
set(CMAKE_C_COMPILER ${ZARN_CROSS_CC})

# Debian puts CPython's headers in two folders: the common one, whose pyconfig.h only picks
# the architecture's own with #include <TRIPLET/python3.X/pyconfig.h>, and that one. A
# folder of links to just these two goes on the include path: the root file system's
# usr/include itself must not, or its C library headers would shadow the compiler's.
set(_headers "${CMAKE_BINARY_DIR}/target-python-headers")
set(_common "${_root}/usr/include/python${_python}")
set(_platform "${_root}/usr/include/${_triplet}/python${_python}")
foreach(header IN ITEMS "${_common}/Python.h" "${_platform}/pyconfig.h")
    if(NOT EXISTS "${header}")
        message(FATAL_ERROR "${header} is missing: the root file system needs libpython${_python}-dev")
    endif()
endforeach()
file(MAKE_DIRECTORY "${_headers}/${_triplet}")
file(CREATE_LINK "${_common}" "${_headers}/python${_python}" SYMBOLIC)
file(CREATE_LINK "${_platform}" "${_headers}/${_triplet}/python${_python}" SYMBOLIC)
include_directories(SYSTEM "${_headers}")

# FindPython, with no interpreter to ask: the include folder is given (it reads the version
# from patchlevel.h) and so is the extension suffix that python_add_library (WITH_SOABI)
# appends, e.g. redis_wrapper.cpython-313-aarch64-linux-gnu.so.
string(REPLACE "." "" _nodot "${_python}")
set(Python_INCLUDE_DIR "${_headers}/python${_python}" CACHE PATH "CPython headers (target)" FORCE)
set(Python_SOABI "cpython-${_nodot}-${_triplet}" CACHE STRING "extension suffix (target)" FORCE)
set(Python_FIND_REGISTRY NEVER CACHE STRING "" FORCE)
set(Python_FIND_STRATEGY LOCATION CACHE STRING "" FORCE)
# An x86_64 interpreter must never be asked about the target.
unset(Python_EXECUTABLE CACHE)
unset(Python3_EXECUTABLE CACHE)

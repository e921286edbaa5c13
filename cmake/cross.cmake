# SPDX-License-Identifier: MIT
# Cross-builds the programs with the Debian cross compiler of one target,
# named by its GNU triple (the compiler is TRIPLE-g++, from g++-TRIPLE):
#   cmake -DCOREHOP_TARGET=s390x-linux-gnu -DCMAKE_TOOLCHAIN_FILE=cmake/cross.cmake ...
# or a preset such as arm64-static; packaging/release.sh builds every target.
set(COREHOP_TARGET "" CACHE STRING "GNU triple of the cross target, such as s390x-linux-gnu")
if(NOT COREHOP_TARGET)
    message(FATAL_ERROR "cross.cmake needs -DCOREHOP_TARGET=TRIPLE, such as s390x-linux-gnu")
endif()
# The checks that CMake compiles read this file again, with the target.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES COREHOP_TARGET)

set(CMAKE_SYSTEM_NAME Linux)
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${COREHOP_TARGET}")
set(CMAKE_CXX_COMPILER ${COREHOP_TARGET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${COREHOP_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

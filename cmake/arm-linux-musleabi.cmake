# The device binary: DM365 (ARM926EJ-S, ARMv5TE, soft float, EABI) linked
# fully static against musl, so that it runs on the old kernels and C
# libraries of the firmware in the field. Debian's arm-linux-gnueabi cross
# compiler with musl from the multiarch package musl-dev:armel; the programs
# need no C++ runtime library (no exceptions, RTTI or iostreams), so they
# link against musl's libc.a and libgcc alone. GoogleTest needs the full C++
# library, so the tests are not built here: host test programs start these
# programs under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)

set(MUSL_INCLUDE /usr/include/arm-linux-musleabi)
set(MUSL_LIB /usr/lib/arm-linux-musleabi)
if(NOT EXISTS ${MUSL_LIB}/libc.a)
  message(FATAL_ERROR "musl for armel is missing: dpkg --add-architecture armel; apt-get update; apt-get install musl-dev:armel")
endif()

execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpversion
  OUTPUT_VARIABLE _gcc_version OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
  OUTPUT_VARIABLE _gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
foreach(_obj crtbeginT.o crtend.o)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_obj}
    OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(_gcc_${_obj} ${_path})
endforeach()
set(_cxx_include /usr/arm-linux-gnueabi/include/c++/${_gcc_version})

# The C library's headers replace glibc's; libstdc++'s headers stay (they
# are templates and inline code only, as far as these programs go) and come
# first, because they reach the C headers with #include_next.
set(_includes "-nostdinc -isystem ${_cxx_include} -isystem ${_cxx_include}/arm-linux-gnueabi -isystem ${MUSL_INCLUDE} -isystem ${_gcc_include}")
set(_arch "-march=armv5te -mtune=arm926ej-s -mfloat-abi=soft")
set(CMAKE_C_FLAGS_INIT "${_arch} -nostdinc -isystem ${MUSL_INCLUDE} -isystem ${_gcc_include}")
# libstdc++'s configuration asks the C library for its glibc version.
set(CMAKE_CXX_FLAGS_INIT "${_arch} ${_includes} -include ${CMAKE_CURRENT_LIST_DIR}/musl-compat.h")

# Fully static: musl's start files around gcc's, then libc and libgcc.
set(_link_tail "-L${MUSL_LIB} -Wl,--start-group -lc -lgcc -lgcc_eh -Wl,--end-group ${_gcc_crtend.o} ${MUSL_LIB}/crtn.o")
foreach(_lang C CXX)
  set(CMAKE_${_lang}_LINK_EXECUTABLE
    "<CMAKE_${_lang}_COMPILER> <FLAGS> <CMAKE_${_lang}_LINK_FLAGS> <LINK_FLAGS> -static -nostdlib ${MUSL_LIB}/crt1.o ${MUSL_LIB}/crti.o ${_gcc_crtbeginT.o} <OBJECTS> -o <TARGET> <LINK_LIBRARIES> ${_link_tail}")
endforeach()
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_FIND_ROOT_PATH ${MUSL_LIB})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The device's firmware runs Linux 2.6.32 in the field; the emulator answers
# uname with that release.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm -r 2.6.32)
# Marks the build for the project's CMakeLists (no tests, no C++ runtime).
set(CGI_MUSL ON)

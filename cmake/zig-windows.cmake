# Cross build for Windows with zig's clang, on the Universal C runtime (UCRT) that
# CPython for Windows itself links, with libc++ linked in statically. zig comes from
# PyPI's ziglang package (scripts/windows-wheels installs it, pinned by version and
# digest, into build/venv-zig); its compiler, archiver and ranlib are run through small
# wrappers around `python -m ziglang`, written into build/zig-tools/<target>/.
#
# Included by zig-windows-x64.cmake and zig-windows-arm64.cmake, which set
# CMAKE_SYSTEM_PROCESSOR and BIOMETRIC_ZIG_TARGET.
set(CMAKE_SYSTEM_NAME Windows)
get_filename_component(_bio_zig_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

# The interpreter with ziglang installed, and where zig keeps its cache (the first
# build per target compiles libc++): both inside this tree unless set in the environment.
set(BIOMETRIC_ZIG_PYTHON "$ENV{BIOMETRIC_ZIG_PYTHON}")
if(NOT BIOMETRIC_ZIG_PYTHON)
  set(BIOMETRIC_ZIG_PYTHON "${_bio_zig_root}/build/venv-zig/bin/python")
endif()
if(NOT EXISTS "${BIOMETRIC_ZIG_PYTHON}")
  message(FATAL_ERROR "no ziglang here (${BIOMETRIC_ZIG_PYTHON}): scripts/windows-wheels installs it")
endif()
set(_bio_zig_cache "${_bio_zig_root}/build/zig-cache")

set(_bio_zig_tools "${_bio_zig_root}/build/zig-tools/${BIOMETRIC_ZIG_TARGET}")
function(_bio_zig_wrapper name command)
  set(text "#!/bin/sh\n# zig ${command} for ${BIOMETRIC_ZIG_TARGET}, written by cmake/zig-windows.cmake.\n")
  string(APPEND text ": \"\${ZIG_GLOBAL_CACHE_DIR:=${_bio_zig_cache}}\" \"\${ZIG_LOCAL_CACHE_DIR:=${_bio_zig_cache}}\"\n")
  string(APPEND text "export ZIG_GLOBAL_CACHE_DIR ZIG_LOCAL_CACHE_DIR\n")
  string(APPEND text "exec \"${BIOMETRIC_ZIG_PYTHON}\" -m ziglang ${command} \"\$@\"\n")
  file(MAKE_DIRECTORY "${_bio_zig_tools}")
  # Rewritten only when it changes, so that nothing is rebuilt for it.
  set(path "${_bio_zig_tools}/${name}")
  if(EXISTS "${path}")
    file(READ "${path}" old)
  else()
    set(old "")
  endif()
  if(NOT old STREQUAL text)
    file(WRITE "${path}" "${text}")
    file(CHMOD "${path}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endfunction()
_bio_zig_wrapper(cc "cc -target ${BIOMETRIC_ZIG_TARGET}")
_bio_zig_wrapper(c++ "c++ -target ${BIOMETRIC_ZIG_TARGET}")
_bio_zig_wrapper(ar "ar")
_bio_zig_wrapper(ranlib "ranlib")
_bio_zig_wrapper(dlltool "dlltool")

set(CMAKE_C_COMPILER "${_bio_zig_tools}/cc")
set(CMAKE_CXX_COMPILER "${_bio_zig_tools}/c++")
set(CMAKE_AR "${_bio_zig_tools}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${_bio_zig_tools}/ranlib" CACHE FILEPATH "")
set(BIOMETRIC_DLLTOOL "${_bio_zig_tools}/dlltool" CACHE FILEPATH "")
# zig has no nm, objdump or objcopy for PE images; LLVM's read and write them for both
# architectures (GNU objdump does not read ARM64 images).
find_program(CMAKE_NM NAMES llvm-nm-16 llvm-nm REQUIRED)
find_program(CMAKE_OBJDUMP NAMES llvm-objdump-16 llvm-objdump REQUIRED)
find_program(CMAKE_OBJCOPY NAMES llvm-objcopy-16 llvm-objcopy REQUIRED)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# DWARF (which the frame-name table is made from, and which Wine's dbghelp reads; zig
# writes a PDB besides). __FILE__ as written on the command line, with its '/'.
set(CMAKE_C_FLAGS_INIT "-gdwarf-4 -fno-file-reproducible")
set(CMAKE_CXX_FLAGS_INIT "-gdwarf-4 -fno-file-reproducible")
# No -static (mingw-w64.cmake's): zig links libc++ statically anyway, and the UCRT through
# its API sets, so no runtime DLL goes beside a program or module; with -static, zig
# writes a DLL's link as a static archive.

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  include(${CMAKE_CURRENT_LIST_DIR}/wine-emulator.cmake)
endif()

# zig has no headers of the Windows Runtime classes, which src/winrt/abi_check.c compares
# ours with: Debian's mingw-w64 (mingw-w64-common) has them.
set(BIOMETRIC_MINGW_WINRT_HEADERS /usr/share/mingw-w64/include)
# Nor a libruntimeobject.a: src/winrt makes it from zig's .def files of the API sets.
execute_process(COMMAND "${BIOMETRIC_ZIG_PYTHON}" -c "import ziglang, os; print(os.path.dirname(ziglang.__file__))"
                OUTPUT_VARIABLE _bio_ziglang OUTPUT_STRIP_TRAILING_WHITESPACE)
set(BIOMETRIC_WINRT_DEF_DIR "${_bio_ziglang}/lib/libc/mingw/lib-common")
# The C runtime the images link: what tests/windows_module allows them to import.
set(BIOMETRIC_C_RUNTIME ucrt)

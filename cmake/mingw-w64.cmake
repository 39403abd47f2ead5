# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread model: the
# win32 model's libstdc++ has no std::mutex in GCC 12), tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(BIOMETRIC_MINGW_TRIPLE x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${BIOMETRIC_MINGW_TRIPLE}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${BIOMETRIC_MINGW_TRIPLE}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${BIOMETRIC_MINGW_TRIPLE}-windres)

# The target's headers and libraries live beside the compiler (/usr/<triple>).
get_filename_component(_bio_mingw_bin "${CMAKE_CXX_COMPILER}" DIRECTORY)
get_filename_component(_bio_mingw_root "${_bio_mingw_bin}/../${BIOMETRIC_MINGW_TRIPLE}" ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH "${_bio_mingw_root}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# dbghelp under Wine resolves no names from DWARF 5.
set(CMAKE_C_FLAGS_INIT "-gdwarf-4")
set(CMAKE_CXX_FLAGS_INIT "-gdwarf-4")
# Without the mingw runtime DLLs beside them, dynamically linked programs fail to
# start under Wine without a word.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

include(${CMAKE_CURRENT_LIST_DIR}/wine-emulator.cmake)

# x64 test programs run through the Wine loader (Debian 12 installs it as
# /usr/lib/wine/wine64, newer releases as /usr/lib/wine/wine), by wine-run.sh.
find_program(BIOMETRIC_WINE_LOADER
  NAMES wine64 wine
  PATHS /usr/lib/wine /usr/lib/x86_64-linux-gnu/wine /usr/lib64/wine /opt/wine-stable/bin
  NO_CMAKE_FIND_ROOT_PATH)
if(BIOMETRIC_WINE_LOADER)
  set(CMAKE_CROSSCOMPILING_EMULATOR bash "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh" "${BIOMETRIC_WINE_LOADER}")
endif()

# Windows on ARM64 with zig (aarch64-windows-gnu: the UCRT); see zig-windows.cmake.
# Nothing built for it runs here: Wine runs no ARM64 code.
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(BIOMETRIC_ZIG_TARGET aarch64-windows-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/zig-windows.cmake)

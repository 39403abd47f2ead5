# Windows x64 with zig (x86_64-windows-gnu: the UCRT); see zig-windows.cmake.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(BIOMETRIC_ZIG_TARGET x86_64-windows-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/zig-windows.cmake)

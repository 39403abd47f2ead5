# cmake -DOBJDUMP=<objdump> -DMODULE=<.pyd> -DNAME=<module name> -DPYTHON_DLL=python3.dll
#       [-DC_RUNTIME=ucrt|msvcrt] [-DARCHITECTURE=<regex>] -P check_pe.cmake
#
# Checks a built module's PE tables as the Windows loader will see them: it exports
# exactly PyInit_<NAME>, and it imports only from PYTHON_DLL and from the Windows
# system DLLs below, never from a mingw-w64 runtime DLL that users do not have; with
# ARCHITECTURE, its machine is the one `objdump -f` names so. OBJDUMP is GNU's or LLVM's
# (which alone reads ARM64 images).

# Each system DLL the module may import, and why it needs it.
set(allowed
  # Events, heap, library loading, FormatMessageW, GetEnvironmentVariableW, standard
  # error, stack walking; the C++ runtime's threads and locks.
  kernel32.dll
  # CoIncrementMTAUsage, CoTaskMemAlloc/CoTaskMemFree, GetErrorInfo.
  ole32.dll
  # SysStringLen and SysFreeString, for the strings of IErrorInfo.
  oleaut32.dll
  # Names and source lines of backtrace frames.
  dbghelp.dll
  # RoGetActivationFactory (combase, through its API set).
  api-ms-win-core-winrt-l1-1-0.dll
  # CNG: the random challenge, HKDF, AES-GCM and RSA verification of seal and unseal.
  bcrypt.dll)
if(C_RUNTIME STREQUAL "ucrt")
  # The Universal C runtime, which CPython itself links, through its API sets
  # (api-ms-win-crt-<part>-l1-1-0.dll; part of Windows since 10).
  set(crt_pattern "^api-ms-win-crt-[a-z]+-l1-1-0\\.dll$")
else()
  # The C runtime mingw-w64 builds against by default; part of every Windows since XP.
  set(crt_pattern "^msvcrt\\.dll$")
endif()
# The mingw-w64 runtime, which must be linked in statically.
set(forbidden libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)

execute_process(COMMAND ${OBJDUMP} -p ${MODULE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p failed on ${MODULE}")
endif()
string(REGEX REPLACE "\n" ";" lines "${dump}")

set(exports "")
set(imports "")
set(section "")
set(dll "")
set(listing "")
foreach(line IN LISTS lines)
  if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table" OR line MATCHES "^Export Table:")
    set(section exports)
  elseif(line MATCHES "^[ \t]*DLL Name: (.+)$")
    set(section imports)
    string(TOLOWER "${CMAKE_MATCH_1}" dll)
    list(APPEND imports ${dll})
    string(APPEND listing "${CMAKE_MATCH_1}:")
  # One pattern per branch: a failed MATCHES clears CMAKE_MATCH_1. GNU's lines first, then LLVM's.
  elseif(section STREQUAL "exports" AND line MATCHES "^[ \t]+\\[ *[0-9]+\\] (.+)$")
    list(APPEND exports "${CMAKE_MATCH_1}")
  elseif(section STREQUAL "exports" AND line MATCHES "^[ \t]+[0-9]+[ \t]+0x[0-9a-f]+[ \t]+(.+)$")
    list(APPEND exports "${CMAKE_MATCH_1}")
  elseif(dll AND line MATCHES "^[ \t]+[0-9a-f]+[ \t]+[0-9]+[ \t]+([^ \t]+)")
    string(APPEND listing " ${CMAKE_MATCH_1}")
  elseif(dll AND line MATCHES "^[ \t]+[0-9]+[ \t]+([^ \t]+)$")
    string(APPEND listing " ${CMAKE_MATCH_1}")
  elseif(line STREQUAL "")
    if(section STREQUAL "imports" AND dll)
      string(APPEND listing "\n")
      set(dll "")
    elseif(section STREQUAL "exports")
      set(section "")
    endif()
  endif()
endforeach()
message(STATUS "imports of ${MODULE}:\n${listing}")

set(errors "")
if(NOT exports STREQUAL "PyInit_${NAME}")
  string(APPEND errors "exports are [${exports}], not exactly PyInit_${NAME}\n")
endif()
string(TOLOWER "${PYTHON_DLL}" python_dll)
if(NOT python_dll IN_LIST imports)
  string(APPEND errors "does not import ${PYTHON_DLL}\n")
endif()
foreach(dll IN LISTS imports)
  if(dll IN_LIST forbidden)
    string(APPEND errors "imports ${dll}, a mingw-w64 runtime DLL that must be linked statically\n")
  elseif(NOT dll IN_LIST allowed AND NOT dll STREQUAL python_dll AND NOT dll MATCHES "${crt_pattern}")
    string(APPEND errors "imports ${dll}, which is not allowed\n")
  endif()
endforeach()
if(ARCHITECTURE)
  execute_process(COMMAND ${OBJDUMP} -f ${MODULE} OUTPUT_VARIABLE header RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT header MATCHES "architecture: ([^ ,\n]+)")
    string(APPEND errors "${OBJDUMP} -f names no architecture\n")
  else()
    set(architecture "${CMAKE_MATCH_1}")
    if(NOT architecture MATCHES "${ARCHITECTURE}")
      string(APPEND errors "is built for ${architecture}, not ${ARCHITECTURE}\n")
    endif()
  endif()
endif()
if(errors)
  message(FATAL_ERROR "${MODULE}:\n${errors}")
endif()
message(STATUS "${MODULE}: ${architecture} exports PyInit_${NAME} only; imports only ${PYTHON_DLL} and allowed system DLLs")

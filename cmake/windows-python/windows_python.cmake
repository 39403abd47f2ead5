# The Windows modules cross-built with mingw-w64 on the stable ABI of CPython 3.12:
# <module>.pyd, which every Windows CPython from 3.12 on loads. No Windows CPython is
# needed: the headers are the host's CPython 3.12's, pyconfig.h is ours (beside this
# file), and the import library of python3.dll (the stable ABI's DLL, which forwards to
# python3XY.dll) is made from the names the module's objects use.
#
# Included by src/module/CMakeLists.txt, which names the module surface's sources
# (BIO_MODULE_SOURCES), declares each module with bio_windows_module() and then calls
# bio_windows_python_modules().

# The CPython whose headers declare the limited API, and that API's version.
set(BIO_WINDOWS_PYTHON_VERSIONS 3.12)
set(BIO_WINDOWS_LIMITED_API 0x030C0000)
set(BIO_WINDOWS_MODULE_DIR ${CMAKE_BINARY_DIR}/windows-modules)
set(_bio_windows_python_dir ${CMAKE_CURRENT_LIST_DIR})
set(BIO_WINDOWS_MODULES "")

# A module <name>.pyd exporting its init function, made of the module surface, the
# platform and its own init `sources`.
function(bio_windows_module name)
  list(TRANSFORM ARGN PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/ REGEX "^[^/]")
  set(BIO_WINDOWS_MODULE_SOURCES_${name} ${ARGN} PARENT_SCOPE)
  set(BIO_WINDOWS_MODULES ${BIO_WINDOWS_MODULES} ${name} PARENT_SCOPE)
endfunction()

include(${PROJECT_SOURCE_DIR}/cmake/frame_names.cmake)

# The C runtime the toolchain links (the UCRT with zig, msvcrt by mingw-w64's default),
# and the modules' machine as `objdump -f` names it (GNU's or LLVM's).
# (Cache entries: tests/windows_module checks with them too.)
if(BIOMETRIC_C_RUNTIME)
  set(BIO_WINDOWS_C_RUNTIME ${BIOMETRIC_C_RUNTIME} CACHE INTERNAL "")
else()
  set(BIO_WINDOWS_C_RUNTIME msvcrt CACHE INTERNAL "")
endif()
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "ARM64")
  set(BIO_WINDOWS_ARCHITECTURE "^aarch64$" CACHE INTERNAL "")
else()
  set(BIO_WINDOWS_ARCHITECTURE "^(x86_64|i386:x86-64)$" CACHE INTERNAL "")
endif()

# Sets `out` to a copy of CPython <version>'s Include/ directory without its pyconfig.h,
# or to "" when no such CPython is found. BIOMETRIC_WINDOWS_PYTHON_<tag> may name the
# interpreter; otherwise pyenv's and the system's are tried.
function(bio_windows_python_include version tag out)
  set(python "${BIOMETRIC_WINDOWS_PYTHON_${tag}}")
  if(NOT python)
    unset(python)
    set(root "$ENV{PYENV_ROOT}")
    if(NOT root)
      set(root "$ENV{HOME}/.pyenv")
    endif()
    file(GLOB candidates "${root}/versions/${version}*/bin/python${version}")
    if(candidates)
      list(GET candidates 0 python)
    else()
      # Not pyenv's shim, which may lead to another version.
      find_program(python NAMES python${version} PATHS /usr/bin /usr/local/bin NO_DEFAULT_PATH NO_CACHE)
    endif()
  endif()
  set(${out} "" PARENT_SCOPE)
  if(NOT python)
    return()
  endif()
  execute_process(
    COMMAND "${python}" -c "import sys, sysconfig; sys.stdout.write('%d.%d;%s' % (*sys.version_info[:2], sysconfig.get_path('include')))"
    OUTPUT_VARIABLE answer RESULT_VARIABLE rc)
  list(APPEND answer "" "")
  list(GET answer 0 found_version)
  if(NOT rc EQUAL 0 OR NOT "${found_version}" STREQUAL version)
    message(FATAL_ERROR "${python} is not CPython ${version}")
  endif()
  list(GET answer 1 include)
  # Python.h includes "pyconfig.h" from its own directory first: that one must not be there.
  set(copy ${CMAKE_BINARY_DIR}/windows-python/${tag}/include)
  file(REMOVE_RECURSE ${copy})
  file(COPY ${include}/ DESTINATION ${copy} PATTERN pyconfig.h EXCLUDE)
  set(${out} ${copy} PARENT_SCOPE)
endfunction()

# The module surface compiled against the limited API of `version`'s headers, the import
# library of python3.dll, and every module, linked with the `platform` library. The
# modules' tag is "abi3".
function(bio_windows_python_version version platform)
  string(REPLACE "." "" nodot ${version})
  bio_windows_python_include(${version} cp${nodot} include)
  if(NOT include)
    message(WARNING "biometric: no CPython ${version} found here; the Windows modules are not built")
    return()
  endif()
  set(tag abi3)
  set(work ${CMAKE_BINARY_DIR}/windows-python/${tag})
  set(dll python3.dll)
  set(def ${work}/python3.def)
  set(import_library ${work}/libpython3.a)

  add_library(bio_python_${tag} INTERFACE)
  target_include_directories(bio_python_${tag} INTERFACE ${include} ${_bio_windows_python_dir})
  target_compile_definitions(bio_python_${tag} INTERFACE Py_LIMITED_API=${BIO_WINDOWS_LIMITED_API})
  target_link_libraries(bio_python_${tag} INTERFACE ${import_library})

  add_library(bio_module_${tag} STATIC ${BIO_MODULE_SOURCES})
  target_link_libraries(bio_module_${tag} PUBLIC bio_core bio_python_${tag})
  set_target_properties(bio_module_${tag} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

  # Every object that calls into Python: the .def lists what they leave undefined.
  set(inputs $<TARGET_FILE:bio_module_${tag}>)
  foreach(module IN LISTS BIO_WINDOWS_MODULES)
    add_library(${module}_${tag}_objects OBJECT ${BIO_WINDOWS_MODULE_SOURCES_${module}} ${BIO_RUNTIME_HEAP_SOURCE})
    target_link_libraries(${module}_${tag}_objects PRIVATE bio_core bio_python_${tag})
    list(APPEND inputs $<TARGET_OBJECTS:${module}_${tag}_objects>)
  endforeach()
  file(GENERATE OUTPUT ${work}/def-inputs.txt CONTENT "$<JOIN:${inputs},\n>\n")
  add_custom_command(
    OUTPUT ${def} ${import_library}
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DINPUTS=${work}/def-inputs.txt -DINCLUDE_DIR=${include}
            -DDLL=${dll} -DOUTPUT=${def} -P ${_bio_windows_python_dir}/python_def.cmake
    COMMAND ${_bio_dlltool} -d ${def} -D ${dll} -l ${import_library}
    DEPENDS ${inputs} ${work}/def-inputs.txt ${_bio_windows_python_dir}/python_def.cmake
    COMMENT "Import library of ${dll} for the names the module uses"
    VERBATIM)
  add_custom_target(bio_python_${tag}_import DEPENDS ${import_library})

  foreach(module IN LISTS BIO_WINDOWS_MODULES)
    add_library(${module}_${tag} MODULE)
    target_link_libraries(${module}_${tag} PRIVATE ${module}_${tag}_objects bio_module_${tag} ${platform})
    set_target_properties(${module}_${tag} PROPERTIES
      PREFIX "" OUTPUT_NAME ${module} SUFFIX .pyd
      LIBRARY_OUTPUT_DIRECTORY ${BIO_WINDOWS_MODULE_DIR})
    add_dependencies(${module}_${tag} bio_python_${tag}_import)
    # The file that ships: without its DWARF (several MB; kept beside it as <file>.debug,
    # which no wheel carries), with the names of its functions (cmake/frame_names.cmake).
    bio_frame_names(${module}_${tag} SHIP)
    # A wheel's contents, as src/module installs them: a package's native core inside it.
    bio_module_library_name(${module} library package)
    if(package)
      install(FILES $<TARGET_FILE:${module}_${tag}> DESTINATION ${package} RENAME ${library}.pyd COMPONENT ${tag})
    else()
      install(TARGETS ${module}_${tag} LIBRARY DESTINATION . COMPONENT ${tag})
      install(FILES ${PROJECT_SOURCE_DIR}/src/module/${module}.pyi DESTINATION ${module}-stubs RENAME __init__.pyi
              COMPONENT ${tag})
    endif()
    set_property(GLOBAL APPEND PROPERTY BIO_WINDOWS_MODULE_TARGETS ${module}_${tag})
    # Its PE tables as the Windows loader will see them, for either machine (the
    # packaging stage checks the ARM64 modules so; Wine cannot load them).
    add_custom_target(${module}_${tag}_pe_check
      COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DMODULE=$<TARGET_FILE:${module}_${tag}> -DNAME=${library}
              -DPYTHON_DLL=${dll} -DC_RUNTIME=${BIO_WINDOWS_C_RUNTIME} -DARCHITECTURE=${BIO_WINDOWS_ARCHITECTURE}
              -P ${PROJECT_SOURCE_DIR}/tests/windows_module/check_pe.cmake
      DEPENDS ${module}_${tag}
      VERBATIM)
    set_property(GLOBAL APPEND PROPERTY BIO_WINDOWS_PE_CHECKS ${module}_${tag}_pe_check)
    set_property(GLOBAL APPEND PROPERTY BIO_WINDOWS_MODULE_LINES "${module} ${tag} ${dll} $<TARGET_FILE:${module}_${tag}>")
  endforeach()
  # The pure-Python packages, as src/module installs them.
  foreach(package biometric_keys biometric_keyring)
    bio_python_package_files(${package} files)
    list(TRANSFORM files PREPEND ${PROJECT_SOURCE_DIR}/src/module/${package}/)
    install(FILES ${files} DESTINATION ${package} COMPONENT ${tag})
  endforeach()
  set_property(GLOBAL APPEND PROPERTY BIO_WINDOWS_PYTHON_DEFS "${tag} ${dll} ${def}")
endfunction()

# Every declared module. Writes what was built, one
# "<module> <tag> <python DLL> <file>" per line, to modules.txt for the checks and the
# wheel script.
function(bio_windows_python_modules platform)
  foreach(version IN LISTS BIO_WINDOWS_PYTHON_VERSIONS)
    bio_windows_python_version(${version} ${platform})
  endforeach()
  get_property(targets GLOBAL PROPERTY BIO_WINDOWS_MODULE_TARGETS)
  add_custom_target(bio_windows_modules DEPENDS ${targets})
  get_property(checks GLOBAL PROPERTY BIO_WINDOWS_PE_CHECKS)
  add_custom_target(bio_windows_pe_checks DEPENDS ${checks})
  get_property(lines GLOBAL PROPERTY BIO_WINDOWS_MODULE_LINES)
  file(GENERATE OUTPUT ${BIO_WINDOWS_MODULE_DIR}/modules.txt CONTENT "$<JOIN:${lines},\n>\n")
endfunction()

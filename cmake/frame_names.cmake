# The names a Windows image names its own stack frames from, with no debugger library
# that reads DWARF. GNU ld writes a COFF symbol table into the image, which serves as it
# is. zig's linker writes none: tools/frame_names.py makes a table of the functions from
# the linked image's DWARF, and llvm-objcopy adds it as the section .fnames after all the
# others, which moves no code. (GCC's DWARF names functions of anonymous namespaces
# without their linkage names, so its images keep their symbol table instead.)
#
# bio_frame_names(<target> [SHIP]): after <target> links, adds the section where it is
# needed; with SHIP, also moves the DWARF out to <file>.debug (which nothing ships) and
# links it by name.
find_program(_bio_host_python NAMES python3 REQUIRED)
find_program(BIOMETRIC_DWARFDUMP NAMES llvm-dwarfdump-16 llvm-dwarfdump REQUIRED)
find_program(BIOMETRIC_LLVM_OBJCOPY NAMES llvm-objcopy-16 llvm-objcopy REQUIRED)

function(bio_frame_names target)
  cmake_parse_arguments(arg SHIP "" "" ${ARGN})
  set(file $<TARGET_FILE:${target}>)
  if(arg_SHIP)
    set(ship COMMAND ${CMAKE_OBJCOPY} --only-keep-debug ${file} ${file}.debug
             COMMAND ${CMAKE_OBJCOPY} --strip-debug --add-gnu-debuglink=${file}.debug ${file})
  else()
    set(ship "")
  endif()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    if(arg_SHIP)
      add_custom_command(TARGET ${target} POST_BUILD ${ship} VERBATIM)
    endif()
    return()
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${_bio_host_python} ${PROJECT_SOURCE_DIR}/tools/frame_names.py ${BIOMETRIC_DWARFDUMP} ${file} ${file}.fnames
    ${ship}
    COMMAND ${BIOMETRIC_LLVM_OBJCOPY} --add-section .fnames=${file}.fnames --set-section-flags .fnames=readonly,data
            ${file}
    VERBATIM)
endfunction()

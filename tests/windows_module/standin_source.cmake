# cmake -DDEF=<python3.def> -DOUTPUT=<.c> -P standin_source.cmake
#
# The C source of a stand-in python3.dll with the exports the .def lists: each
# function traps if it is ever called, each DATA name is a zero-filled object. Loading
# the module beside it runs everything a load runs, and nothing of Python.
file(STRINGS ${DEF} lines)
set(text "/* Generated from ${DEF}. */\n#include <windows.h>\n\n")
string(APPEND text [=[
static void trap(const char* name) {
    DWORD written = 0;
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    WriteFile(err, "stand-in Python DLL: ", 21, &written, NULL);
    WriteFile(err, name, (DWORD)lstrlenA(name), &written, NULL);
    WriteFile(err, " was called\n", 12, &written, NULL);
    __builtin_trap();
}

/* Larger than any object the API exports (PyTypeObject is about 400 bytes). */
#define OBJECT(name) __declspec(dllexport) __attribute__((aligned(16))) unsigned char name[1024];
#define FUNCTION(name) __declspec(dllexport) void name(void) { trap(#name); }

]=])
set(count 0)
foreach(line IN LISTS lines)
  if(line MATCHES "^[ \t]+([A-Za-z_][A-Za-z0-9_]*)[ \t]+DATA[ \t]*$")
    string(APPEND text "OBJECT(${CMAKE_MATCH_1})\n")
    math(EXPR count "${count} + 1")
  elseif(line MATCHES "^[ \t]+([A-Za-z_][A-Za-z0-9_]*)[ \t]*$")
    string(APPEND text "FUNCTION(${CMAKE_MATCH_1})\n")
    math(EXPR count "${count} + 1")
  endif()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "no exports in ${DEF}")
endif()
file(WRITE ${OUTPUT} "${text}")

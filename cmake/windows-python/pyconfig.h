/* pyconfig.h for cross-building the biometric module here, with mingw-w64, against
 * CPython for 64-bit Windows (python3XY.dll, built with MSVC). Only the cross-build in
 * the mingw preset uses it, beside the Include/ directory of the matching CPython minor
 * version; the Include/ directory is the same on every system, this file is not. It is
 * not the build users get: wheels made on Windows, and `pip install` there, use the
 * pyconfig.h of the CPython that builds them.
 *
 * What it states is the ABI of CPython's official Windows x64 builds: the sizes of the
 * types (LLP64: long is 4 bytes, wchar_t 2), the DLL linkage of the API, the integer
 * types the interpreter uses. Nothing here changes code generation beyond what the
 * headers derive from it. */
#ifndef BIOMETRIC_WINDOWS_PYCONFIG_H
#define BIOMETRIC_WINDOWS_PYCONFIG_H

#if !defined(_WIN64) || !defined(__MINGW32__)
#error "this pyconfig.h is for the mingw-w64 cross-build of the Windows x64 module"
#endif

#include <io.h>
#include <basetsd.h>

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define PLATFORM "win32"

/* The API lives in python3.dll (which forwards to python3XY.dll): declarations are
 * __declspec(dllimport), PyInit_* is __declspec(dllexport). */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* Type sizes of the x64 ABI (LLP64). */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_DOUBLE 8
#define SIZEOF_FLOAT 4
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_HKEY 8
#define SIZEOF__BOOL 1
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4
#define ALIGNOF_MAX_ALIGN_T 8

/* Py_ssize_t is 64-bit although long is not; pyport.h makes Py_hash_t the same type. */
typedef __int64 Py_ssize_t;
#define HAVE_PY_SSIZE_T 1
#define PY_SSIZE_T_MAX _I64_MAX

#define PYLONG_BITS_IN_DIGIT 30
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define HAVE_UINTPTR_T 1
#define HAVE_INTPTR_T 1
#define HAVE_WCHAR_H 1
#define HAVE_STDDEF_H 1
#define HAVE_ERRNO_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_FCNTL_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_DIRECT_H 1
#define HAVE_PROCESS_H 1
#define HAVE_IO_H 1
#define STDC_HEADERS 1
#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1
#endif

/* Just enough of <windows.h> to build the platform-string code and the console writer
 * on Linux for fuzzing, with -fshort-wchar so that wchar_t is the 16-bit unit it is on
 * Windows. The heap functions are the C library's (windows_heap.cpp), so the sanitizers
 * watch them; the console functions are those of windows_console.cpp. */
#ifndef BIOMETRIC_FUZZ_WINDOWS_SHIM_H
#define BIOMETRIC_FUZZ_WINDOWS_SHIM_H

#include <stddef.h>
#include <stdint.h>

typedef int32_t INT32;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef int BOOL;
typedef uint8_t BYTE;
typedef int32_t HRESULT;
typedef void* HANDLE;
typedef struct HWND__* HWND;
typedef wchar_t* BSTR;
typedef struct {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
typedef GUID IID;
typedef void* HLOCAL;
typedef const char* LPCSTR;

#define CP_UTF8 65001u
#define MB_ERR_INVALID_CHARS 0x8u
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x1000u

#define STDMETHODCALLTYPE
#define STDAPICALLTYPE

#ifdef __cplusplus
extern "C" {
#endif
HANDLE GetProcessHeap(void);
void* HeapAlloc(HANDLE heap, DWORD flags, size_t size);
BOOL HeapFree(HANDLE heap, DWORD flags, void* block);
LONG InterlockedDecrement(volatile LONG* value);
DWORD GetLastError(void);
BOOL GetConsoleMode(HANDLE console, DWORD* mode);
BOOL WriteConsoleW(HANDLE console, const void* units, DWORD count, DWORD* written, void* reserved);
DWORD FormatMessageW(DWORD flags, const void* source, DWORD id, DWORD language, wchar_t* buffer, DWORD size,
                     void* arguments);
HLOCAL LocalFree(HLOCAL block);
int MultiByteToWideChar(UINT32 code_page, DWORD flags, LPCSTR bytes, int count, wchar_t* units, int capacity);
#ifdef __cplusplus
}
#endif

#endif

// The process heap of the Windows shim: the C library's heap, watched by the sanitizers.
#include <cstdlib>

#include "windows.h"

extern "C" {
HANDLE GetProcessHeap(void) { return reinterpret_cast<HANDLE>(1); }
void* HeapAlloc(HANDLE, DWORD, size_t size) { return std::malloc(size); }
BOOL HeapFree(HANDLE, DWORD, void* block) {
    std::free(block);
    return 1;
}
LONG InterlockedDecrement(volatile LONG* value) {
    const LONG now = *value - 1;
    *value = now;
    return now;
}
}

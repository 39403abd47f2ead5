// A library that loads but exports no DllGetActivationFactory.
#include <windows.h>

extern "C" __declspec(dllexport) int __cdecl bio_no_factory_here() { return 0; }

/* <hstring.h> for the fuzz build: the opaque string handle. */
#ifndef BIOMETRIC_FUZZ_HSTRING_SHIM_H
#define BIOMETRIC_FUZZ_HSTRING_SHIM_H
typedef struct HSTRING__* HSTRING;
#endif

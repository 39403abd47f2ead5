// Module definition: the library's only export is PyInit_biometric.
#pragma once

#include "module/entry.h"

#if defined(_WIN32)
#define BIO_MODULE_EXPORT __declspec(dllexport)
#else
#define BIO_MODULE_EXPORT __attribute__((visibility("default")))
#endif

namespace bio {

// A new reference to the module, built on the first call in the first interpreter.
EntryOutcome obtain_module();

}  // namespace bio

extern "C" BIO_MODULE_EXPORT PyObject* PyInit_biometric();

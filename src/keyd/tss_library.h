// The TPM software stack (tpm2-tss), loaded at run time.
//
// The libraries are opened by soname with dlopen, never linked: a machine without them
// still loads the module and reports that there is no TPM. The tss2 headers give the
// functions' types only. What is loaded stays loaded for the life of the process.
#pragma once

#include <tss2/tss2_esys.h>
#include <tss2/tss2_mu.h>
#include <tss2/tss2_rc.h>
#include <tss2/tss2_tctildr.h>

#include <optional>
#include <string>

namespace bio::keyd::tpm {

// The functions we call, by library: X(library index, name).
#define BIO_TSS_FUNCTIONS(X)                                          \
    X(0, Esys_Initialize)                                             \
    X(0, Esys_Finalize)                                               \
    X(0, Esys_Free)                                                   \
    X(0, Esys_GetRandom)                                              \
    X(0, Esys_CreatePrimary)                                          \
    X(0, Esys_Create)                                                 \
    X(0, Esys_Load)                                                   \
    X(0, Esys_Sign)                                                   \
    X(0, Esys_ContextSave)                                            \
    X(0, Esys_ContextLoad)                                            \
    X(0, Esys_FlushContext)                                           \
    X(0, Esys_TR_SetAuth)                                             \
    X(0, Esys_Startup)                                                \
    X(1, Tss2_MU_TPM2B_PUBLIC_Marshal)                                \
    X(1, Tss2_MU_TPM2B_PUBLIC_Unmarshal)                              \
    X(1, Tss2_MU_TPM2B_PRIVATE_Marshal)                               \
    X(1, Tss2_MU_TPM2B_PRIVATE_Unmarshal)                             \
    X(2, Tss2_TctiLdr_Initialize)                                     \
    X(2, Tss2_TctiLdr_Finalize)

struct TssFunctions {
#define BIO_TSS_MEMBER(library, name) decltype(&::name) name = nullptr;
    BIO_TSS_FUNCTIONS(BIO_TSS_MEMBER)
#undef BIO_TSS_MEMBER
    // From libtss2-rc when it loads; null otherwise (error texts are then only codes).
    decltype(&::Tss2_RC_Decode) Tss2_RC_Decode = nullptr;
};

// The sonames, in the order of the library indexes above, and the optional one.
struct TssSonames {
    const char* esys = "libtss2-esys.so.0";
    const char* mu = "libtss2-mu.so.0";
    const char* tctildr = "libtss2-tctildr.so.0";
    const char* rc = "libtss2-rc.so.0";
};

// The loaded functions, or the text that says which library or symbol is missing.
struct TssLoad {
    std::optional<TssFunctions> functions;
    std::string error;
};

// Opens the libraries afresh (tests name libraries that do not exist). `quiet_logging`
// sets TSS2_LOG to silence the stack's own logging on standard error, unless it is set.
TssLoad load_tss(const TssSonames& sonames, bool quiet_logging);

// The process's one load, made by the first call (its `quiet_logging` counts, later
// ones are ignored); thread-safe.
const TssLoad& tss_library(bool quiet_logging);

// Keeps the module of the TCTI named by `tcti` ("swtpm:..." -> libtss2-tcti-swtpm.so.0)
// loaded from now on. Call after an initialize with it succeeded, while it is loaded.
void keep_tcti_module_loaded(const std::string& tcti);

}  // namespace bio::keyd::tpm

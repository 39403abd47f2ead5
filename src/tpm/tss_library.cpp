#include "tpm/tss_library.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <array>

namespace bio::tpm {
namespace {

std::string dl_error_text() {
    const char* text = ::dlerror();
    return text != nullptr ? text : "unknown error";
}

}  // namespace

TssLoad load_tss(const TssSonames& sonames, bool quiet_logging) {
    // The stack reads TSS2_LOG when it first logs, so it must be set before anything is
    // loaded. This is the one environment write of src/tpm/: it happens at platform
    // creation, under the interpreter lock, as Python's own changes to the environment
    // do; a value the user set is kept (overwrite 0).
    if (quiet_logging) ::setenv("TSS2_LOG", "all+none", 0);

    TssLoad load;
    const std::array<const char*, 3> names{sonames.esys, sonames.mu, sonames.tctildr};
    std::array<void*, 3> handles{};
    for (std::size_t i = 0; i < names.size(); ++i) {
        // Never closed: function pointers into it are kept for the life of the process.
        handles[i] = ::dlopen(names[i], RTLD_NOW | RTLD_LOCAL);
        if (handles[i] == nullptr) {
            load.error = std::string(names[i]) + " cannot be loaded: " + dl_error_text();
            return load;
        }
    }
    TssFunctions functions;
#define BIO_TSS_RESOLVE(library, name)                                                       \
    {                                                                                        \
        void* symbol = ::dlsym(handles[library], #name);                                     \
        if (symbol == nullptr) {                                                             \
            load.error = std::string(names[library]) + " has no " #name ": " + dl_error_text(); \
            return load;                                                                     \
        }                                                                                    \
        functions.name = reinterpret_cast<decltype(functions.name)>(symbol);                 \
    }
    BIO_TSS_FUNCTIONS(BIO_TSS_RESOLVE)
#undef BIO_TSS_RESOLVE
    if (void* rc = ::dlopen(sonames.rc, RTLD_NOW | RTLD_LOCAL)) {
        functions.Tss2_RC_Decode = reinterpret_cast<decltype(functions.Tss2_RC_Decode)>(::dlsym(rc, "Tss2_RC_Decode"));
    }
    load.functions = functions;
    return load;
}

const TssLoad& tss_library(bool quiet_logging) {
    static const TssLoad load = load_tss(TssSonames{}, quiet_logging);
    return load;
}

}  // namespace bio::tpm

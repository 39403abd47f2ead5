#include "keyd/tss_library.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <array>
#include <mutex>
#include <set>

namespace bio::keyd::tpm {
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

// The TCTI loader opens the TCTI's module on every initialize and closes it on finalize;
// loading and relocating it again made up a third of the time of a connection. One more
// reference of ours keeps it loaded.
void keep_tcti_module_loaded(const std::string& tcti) {
    static std::mutex mutex;
    static std::set<std::string> kept;
    const std::string name = tcti.substr(0, tcti.find(':'));
    std::lock_guard lock(mutex);
    if (name.empty() || kept.count(name) != 0) return;
    // The names the loader tries, in its order.
    for (const std::string& file : {"libtss2-tcti-" + name + ".so.0", "libtss2-tcti-" + name + ".so", name}) {
        if (::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD) != nullptr) {
            kept.insert(name);
            return;
        }
    }
}

const TssLoad& tss_library(bool quiet_logging) {
    static const TssLoad load = load_tss(TssSonames{}, quiet_logging);
    return load;
}

}  // namespace bio::keyd::tpm

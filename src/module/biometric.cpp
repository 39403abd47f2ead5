// The module biometric: setup and authenticate. The library's only export is
// PyInit_biometric.
#include <iterator>

#include "module/module.h"

namespace bio {
namespace {

const FunctionRecord kFunctions[] = {
    {setup_entry, "setup", "setup(name)\n--\n\n"},
    {authenticate_entry, "authenticate", "authenticate(key_name, data)\n--\n\n"},
};

#if defined(_WIN32)
constexpr const char* kModuleDoc = "User-verified signing with the platform's key-credential service.";
#else
// There is no such service here: say so where users look first.
constexpr const char* kModuleDoc =
    "Signing with a software stand-in for the platform's key-credential service, which verifies no user.";
#endif

PyMethodDef g_method_definitions[std::size(kFunctions)];

extern ModuleRecord g_record;
void free_module(void* module) { forget_module(g_record, module); }

ModuleRecord g_record{
    kFunctions,
    std::size(kFunctions),
    g_method_definitions,
    nullptr,
    {PyModuleDef_HEAD_INIT, "biometric", kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr, free_module},
};

}  // namespace
}  // namespace bio

extern "C" BIO_MODULE_EXPORT PyObject* PyInit_biometric() {
    return bio::run_entry([] { return bio::obtain_module(bio::g_record); });
}

// The same two functions bound with nanobind or pybind11 (BENCH_NANOBIND or
// BENCH_PYBIND11), written as each library's users would: a str parameter read in place
// as a string view, a bytes parameter, and a byte vector returned as a list of ints by
// the library's own STL conversion. With BENCH_CALL_SERVICE, each function calls the
// key-credential service on the instant platform, as biometric's do, and raises for a
// code as a user of the library would: by throwing.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#if defined(BENCH_CALL_SERVICE)
#include "bio_windows.h"
#endif

namespace {
std::vector<std::uint8_t> fixed_signature() {
    std::vector<std::uint8_t> bytes(256);
    for (int i = 0; i < 256; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return bytes;
}
const std::vector<std::uint8_t> kSignature = fixed_signature();
}  // namespace

#if defined(BENCH_NANOBIND)
#include <nanobind/nanobind.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/vector.h>
namespace py = nanobind;
using namespace nanobind::literals;
#define BENCH_MODULE(name, m) NB_MODULE(name, m)
#else
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
namespace py = pybind11;
using namespace pybind11::literals;
#define BENCH_MODULE(name, m) PYBIND11_MODULE(name, m)
#endif

#if defined(BENCH_CALL_SERVICE)
BENCH_MODULE(BENCH_MODULE_NAME, m) {
    m.def("setup", [](std::string_view name) {
        bio::EnrolmentResult result = bio::enrol_credential(bio::default_platform(), name);
        if (const auto* code = std::get_if<bio::CredentialErrorCode>(&result)) {
            throw std::runtime_error("Setup failed with error code: " + std::to_string(*code));
        }
        return true;
    }, "name"_a);
    m.def("authenticate", [](std::string_view key_name, const py::bytes& data) {
        const bio::ByteView bytes{reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data.ptr())),
                                  static_cast<std::size_t>(PyBytes_GET_SIZE(data.ptr()))};
        bio::SigningResult result = bio::sign_with_credential(bio::default_platform(), key_name, bytes);
        if (const auto* code = std::get_if<bio::CredentialErrorCode>(&result)) {
            throw std::runtime_error("Authentication failed with error code: " + std::to_string(*code));
        }
        return std::move(std::get<std::vector<std::uint8_t>>(result));
    }, "key_name"_a, "data"_a);
}
#else
BENCH_MODULE(BENCH_MODULE_NAME, m) {
    m.def("setup", [](std::string_view) { return true; }, "name"_a);
    m.def("authenticate", [](std::string_view key_name, const py::bytes& data) {
        (void)key_name;
        (void)data;
        return kSignature;
    }, "key_name"_a, "data"_a);
}
#endif

// The same two functions bound with nanobind or pybind11 (BENCH_NANOBIND or
// BENCH_PYBIND11), written as each library's users would: a str parameter read in place
// as a string view, a bytes parameter, and a byte vector returned as a list of ints by
// the library's own STL conversion.
#include <cstdint>
#include <string_view>
#include <vector>

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

BENCH_MODULE(BENCH_MODULE_NAME, m) {
    m.def("setup", [](std::string_view) { return true; }, "name"_a);
    m.def("authenticate", [](std::string_view key_name, const py::bytes& data) {
        (void)key_name;
        (void)data;
        return kSignature;
    }, "key_name"_a, "data"_a);
}

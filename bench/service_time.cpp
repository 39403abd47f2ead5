// The key-credential service alone on the instant platform, without Python: median ns
// of enrol_credential and sign_with_credential (32 bytes) over interleaved rounds. What
// the module's calls cost beyond this is argument binding, conversion and the entry.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bio_windows.h"

namespace {

template <class F>
double time_per_call(int calls, F&& call) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) call();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::nano>(elapsed).count() / calls;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 40;
    bio::KeyCredentialPlatform& platform = bio::default_platform();
    const std::uint8_t data[32] = {};
    std::size_t sink = 0;  // keeps the results alive
    const auto enrol = [&] { sink += bio::enrol_credential(platform, "bench").index(); };
    const auto sign = [&] {
        auto result = bio::sign_with_credential(platform, "bench", bio::ByteView{data, sizeof data});
        sink += std::get<0>(result).size();
    };
    std::vector<double> enrol_ns, sign_ns;
    for (int round = 0; round < rounds; ++round) {
        time_per_call(20'000, enrol);
        enrol_ns.push_back(time_per_call(200'000, enrol));
        time_per_call(20'000, sign);
        sign_ns.push_back(time_per_call(200'000, sign));
    }
    std::printf("enrol_credential %.1f\nsign_with_credential %.1f\nsink %zu\n", median(enrol_ns), median(sign_ns),
                sink);
    return 0;
}

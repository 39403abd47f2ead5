// Times polkit's round trips as the platform makes them: a check without interaction
// (availability) and a verification, each on a connection of its own, for a process that
// polkit answers without asking (root).
//   bio_polkit_check time ACTION COUNT
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tpm/polkit.h"

namespace {

double milliseconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

int time_calls(const char* action, int count) {
    std::vector<double> probes, verifications;
    for (int i = 0; i < count; ++i) {
        auto start = std::chrono::steady_clock::now();
        const auto probe = bio::tpm::probe_action(action);
        probes.push_back(milliseconds_since(start));
        start = std::chrono::steady_clock::now();
        auto outcome = bio::tpm::verify_user(action);
        verifications.push_back(milliseconds_since(start));
        if (probe.answer != bio::tpm::ActionProbe::Yes || !outcome.ok() ||
            outcome.value() != bio::tpm::Verification::Verified) {
            std::printf("time: needs an action this process is allowed without asking (root)\n");
            return 2;
        }
    }
    for (auto* series : {&probes, &verifications}) {
        std::sort(series->begin(), series->end());
        std::printf("%s: %d calls, median %.2f ms, min %.2f ms, max %.2f ms\n",
                    series == &probes ? "probe" : "verify", count, (*series)[series->size() / 2], series->front(),
                    series->back());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || std::string(argv[1]) != "time") {
        std::fprintf(stderr, "usage: %s time ACTION COUNT\n", argv[0]);
        return 2;
    }
    return time_calls(argv[2], std::atoi(argv[3]));
}

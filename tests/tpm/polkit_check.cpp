// Drives polkit verification from a shell: what the CI stage and a person at a terminal
// use before the platform calls it.
//   bio_polkit_check probe ACTION             prints polkit's answer without asking anyone
//   bio_polkit_check verify ACTION [MS]       verifies the user (MS: the request's deadline)
//   bio_polkit_check time ACTION COUNT        times COUNT probes and COUNT verifications
// Ctrl-C during a verification stops its wait, as it would in Python.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "runtime/interrupt.h"
#include "tpm/polkit.h"

namespace {

std::atomic<bool> g_interrupted{false};

const char* probe_name(bio::tpm::ActionProbe answer) {
    using bio::tpm::ActionProbe;
    switch (answer) {
        case ActionProbe::NoLibrary: return "NoLibrary";
        case ActionProbe::NoBus: return "NoBus";
        case ActionProbe::NotInstalled: return "NotInstalled";
        case ActionProbe::Yes: return "Yes";
        case ActionProbe::No: return "No";
        case ActionProbe::Challenge: return "Challenge";
    }
    return "?";
}

const char* verification_name(bio::tpm::Verification v) {
    using bio::tpm::Verification;
    switch (v) {
        case Verification::Verified: return "Verified";
        case Verification::Refused: return "Refused";
        case Verification::NoAgent: return "NoAgent";
        case Verification::Interrupted: return "Interrupted";
        case Verification::Cancelled: return "Cancelled";
        case Verification::TimedOut: return "TimedOut";
    }
    return "?";
}

int verify(const char* action, std::optional<long> deadline_ms) {
    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (deadline_ms) deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(*deadline_ms);
    bio::RequestLimits limits(deadline);
    auto outcome = bio::tpm::verify_user(action);
    if (!outcome.ok()) {
        std::printf("verify: error 0x%08X %s\n", static_cast<unsigned>(outcome.error().code()),
                    outcome.error().message().c_str());
        return 2;
    }
    std::printf("verify: %s\n", verification_name(outcome.value()));
    return outcome.value() == bio::tpm::Verification::Verified ? 0 : 1;
}

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
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s probe|verify|time ACTION [MS|COUNT]\n", argv[0]);
        return 2;
    }
    struct sigaction on_int {};
    on_int.sa_handler = [](int) { g_interrupted.store(true); };
    sigaction(SIGINT, &on_int, nullptr);
    bio::set_interrupt_check([]() noexcept { return g_interrupted.load(); });

    const std::string command = argv[1];
    if (command == "probe") {
        const auto result = bio::tpm::probe_action(argv[2]);
        std::printf("probe: %s (%s)\n", probe_name(result.answer), result.detail.c_str());
        return 0;
    }
    if (command == "verify") return verify(argv[2], argc > 3 ? std::optional<long>(std::atol(argv[3])) : std::nullopt);
    if (command == "time" && argc > 3) return time_calls(argv[2], std::atoi(argv[3]));
    std::fprintf(stderr, "unknown command %s\n", argv[1]);
    return 2;
}

// Times the TPM part of a sign: one raw Esys_Sign with a key already loaded, against the
// whole sign_digest (connect, key loaded, sign, flush, close), on the same TPM in the
// same run, in alternating rounds so that both see the same load.
//
//   tpm_sign_bench TCTI [ITERATIONS]      e.g.  tpm_sign_bench swtpm:host=127.0.0.1,port=23100 200
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "keyd/tpm_keys.h"

namespace {

using Clock = std::chrono::steady_clock;
using bio::tpm::TssFunctions;

double median_ms(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

int fail(const char* what, bio::PlatformError& error) {
    std::fprintf(stderr, "%s: %s\n", what, error.debug_text().c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s TCTI [ITERATIONS]\n", argv[0]);
        return 2;
    }
    const std::string tcti = argv[1];
    const int iterations = argc > 2 ? std::max(1, std::atoi(argv[2])) : 200;
    constexpr int kRound = 20;

    auto functions = bio::tpm::loaded_functions(bio::tpm::tss_library(true));
    if (!functions.ok()) return fail("loading the TSS", functions.error());
    const TssFunctions& tss = *functions.value();
    auto key = bio::tpm::create_signing_key(tss, tcti);
    if (!key.ok()) return fail("creating a key", key.error());
    std::array<std::uint8_t, 32> digest{};
    digest[0] = 1;

    std::vector<double> raw, full, cold;
    while (static_cast<int>(full.size()) < iterations) {
        {
            // The simulator serves one connection at a time: this one ends before the
            // sign_digest round opens its own.
            auto connection = bio::tpm::TpmConnection::open(tss, tcti);
            if (!connection.ok()) return fail("connecting", connection.error());
            auto handle = bio::tpm::load_signing_key(connection.value(), tcti, key.value());
            if (!handle.ok()) return fail("loading the key", handle.error());
            for (int i = 0; i < kRound; ++i) {
                const auto start = Clock::now();
                auto signature = bio::tpm::sign_loaded(connection.value(), handle.value(), digest);
                raw.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
                if (!signature.ok()) return fail("raw Esys_Sign", signature.error());
            }
        }
        for (int i = 0; i < kRound; ++i) {
            const auto start = Clock::now();
            auto signature = bio::tpm::sign_digest(tss, tcti, key.value(), digest);
            full.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            if (!signature.ok()) return fail("sign_digest", signature.error());
        }
        // Without the saved contexts, for comparison: the primary made and the key
        // loaded under it every time.
        for (int i = 0; i < kRound / 4; ++i) {
            bio::tpm::forget_saved_contexts();
            const auto start = Clock::now();
            auto signature = bio::tpm::sign_digest(tss, tcti, key.value(), digest);
            cold.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            if (!signature.ok()) return fail("sign_digest without saved contexts", signature.error());
        }
    }
    // Making a key: its connection, the primary from its saved context, one Esys_Create.
    std::vector<double> made;
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        auto created = bio::tpm::create_signing_key(tss, tcti);
        made.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (!created.ok()) return fail("create_signing_key", created.error());
    }
    std::printf("create_signing_key: median %.2f ms (%zu keys)\n", median_ms(made), made.size());
    const double raw_ms = median_ms(raw), full_ms = median_ms(full), cold_ms = median_ms(cold);
    std::printf("raw Esys_Sign: median %.2f ms (%zu signs)\n", raw_ms, raw.size());
    std::printf("sign_digest: median %.2f ms (%.2fx)\n", full_ms, full_ms / raw_ms);
    std::printf("sign_digest without saved contexts: median %.2f ms (%.2fx)\n", cold_ms, cold_ms / raw_ms);
    return 0;
}

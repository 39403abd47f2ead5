// Times the TPM's own part of the key service's work, on one connection as its worker
// holds it: one raw Esys_Sign with a key already loaded, and a key made directly
// (create_signing_key_under, one Esys_Create under a storage primary kept loaded).
//
//   tpm_sign_bench TCTI [ITERATIONS]      e.g.  tpm_sign_bench swtpm:host=127.0.0.1,port=23100 200
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "keyd/tpm_keys.h"

namespace {

using Clock = std::chrono::steady_clock;

double median_ms(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
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
    constexpr int kKeysMade = 5;

    auto functions = bio::keyd::tpm::loaded_functions(bio::keyd::tpm::tss_library(true));
    if (!functions.ok()) return fail("loading the TSS", functions.error());
    auto connection = bio::keyd::tpm::TpmConnection::open(*functions.value(), tcti);
    if (!connection.ok()) return fail("connecting", connection.error());
    bio::keyd::tpm::TpmConnection& c = connection.value();
    auto primary = bio::keyd::tpm::create_storage_primary(c);
    if (!primary.ok()) return fail("creating the storage primary", primary.error());
    const std::optional<bio::keyd::tpm::KeyAuth> auth = bio::keyd::tpm::KeyAuth::random();
    if (!auth) {
        std::fprintf(stderr, "no random authorization value\n");
        return 1;
    }

    // Making a key: one Esys_Create under the primary, as the service's worker does.
    std::vector<double> made;
    bio::keyd::tpm::KeyBlob key;
    for (int i = 0; i < kKeysMade; ++i) {
        const auto start = Clock::now();
        auto created = bio::keyd::tpm::create_signing_key_under(c, primary.value().get(), *auth);
        made.push_back(ms_since(start));
        if (!created.ok()) return fail("create_signing_key_under", created.error());
        key = std::move(created.value());
    }

    auto loaded = bio::keyd::tpm::load_key_under(c, primary.value().get(), key, *auth);
    if (!loaded.ok()) return fail("loading the key", loaded.error());
    std::array<std::uint8_t, 32> digest{};
    digest[0] = 1;
    std::vector<double> raw;
    for (int i = 0; i < iterations; ++i) {
        const auto start = Clock::now();
        auto signature = bio::keyd::tpm::sign_loaded(c, loaded.value().get(), digest);
        raw.push_back(ms_since(start));
        if (!signature.ok()) return fail("raw Esys_Sign", signature.error());
    }
    std::printf("create_signing_key_under (a key made directly): median %.2f ms (%zu keys)\n", median_ms(made),
                made.size());
    std::printf("raw Esys_Sign: median %.2f ms (%zu signs)\n", median_ms(raw), raw.size());
    return 0;
}

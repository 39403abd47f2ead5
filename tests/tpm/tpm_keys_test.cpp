#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "runtime/crypto.h"
#include "keyd/tpm_engine.h"
#include "keyd/tpm_keys.h"

namespace bio::keyd::tpm {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

const TssFunctions& tss() { return *tss_library(true).functions; }

// One swtpm for the suite, on a random port pair of its own, its state in a temporary
// directory; stop() and start() are the TPM's power cycle (the same seeds, nothing loaded).
class Swtpm : public ::testing::Test {
public:
    static std::string tcti() { return "swtpm:host=127.0.0.1,port=" + std::to_string(port_); }

protected:
    static void SetUpTestSuite() {
        if (std::system("command -v swtpm >/dev/null && command -v swtpm_ioctl >/dev/null") != 0) return;
        std::string pattern = (fs::temp_directory_path() / "tpm-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) return;
        dir_ = pattern;
        port_ = 23000 + 2 * static_cast<int>(std::random_device{}() % 500);
        start();
    }
    static void TearDownTestSuite() {
        stop();
        if (!dir_.empty()) fs::remove_all(dir_);
    }
    void SetUp() override {
        if (!tss_library(true).functions) GTEST_SKIP() << tss_library(true).error;
        if (pid_ <= 0) GTEST_SKIP() << "swtpm is not installed or did not start";
    }
    static void start() {
        const std::string command = "swtpm socket --tpm2 --tpmstate dir=" + dir_.string() +
                                    " --flags not-need-init,startup-clear --server type=tcp,port=" +
                                    std::to_string(port_) + ",bindaddr=127.0.0.1 --ctrl type=tcp,port=" +
                                    std::to_string(port_ + 1) + ",bindaddr=127.0.0.1 --daemon --pid file=" +
                                    (dir_ / "pid").string();
        if (std::system(command.c_str()) != 0) return;
        std::ifstream(dir_ / "pid") >> pid_;
    }
    // Stops it and waits until it has exited (nothing reaps it here: a zombie counts).
    static void stop() {
        if (pid_ <= 0) return;
        const std::string command = "swtpm_ioctl --tcp 127.0.0.1:" + std::to_string(port_ + 1) + " -s >/dev/null";
        if (std::system(command.c_str()) != 0) ::kill(pid_, SIGTERM);
        const std::string stat = "/proc/" + std::to_string(pid_) + "/stat";
        for (int i = 0; i < 200; ++i) {
            std::string pid, name, state;
            if (!(std::ifstream(stat) >> pid >> name >> state) || state == "Z") break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = 0;
    }

    static inline fs::path dir_;
    static inline int port_ = 0;
    static inline pid_t pid_ = 0;
};

// A connection with the storage primary loaded, as the service's worker holds them (the
// simulator serves one connection at a time: one of these at a time).
struct Session {
    TpmConnection c;
    TransientObject primary;

    static std::unique_ptr<Session> open() {
        auto connection = TpmConnection::open(tss(), Swtpm::tcti());
        EXPECT_TRUE(connection.ok()) << (connection.ok() ? "" : connection.error().debug_text());
        if (!connection.ok()) return nullptr;
        auto session = std::unique_ptr<Session>(new Session{std::move(connection.value()), {}});
        auto primary = create_storage_primary(session->c);
        EXPECT_TRUE(primary.ok()) << (primary.ok() ? "" : primary.error().debug_text());
        if (!primary.ok()) return nullptr;
        session->primary = std::move(primary.value());
        return session;
    }

    KeyBlob create(const KeyAuth& auth) {
        auto key = create_signing_key_under(c, primary.get(), auth);
        EXPECT_TRUE(key.ok()) << (key.ok() ? "" : key.error().debug_text());
        return key.ok() ? key.value() : KeyBlob{};
    }

    // Loads the key for this one signature (flushed as it returns) and signs the message's digest.
    Outcome<Bytes> sign(const KeyBlob& key, const KeyAuth& auth, const Bytes& message) {
        crypto::Sha256 digest{};
        EXPECT_EQ(crypto::sha256(message, digest), crypto::kOk);
        auto loaded = load_key_under(c, primary.get(), key, auth);
        if (!loaded.ok()) return std::move(loaded.error());
        return sign_loaded(c, loaded.value().get(), digest);
    }
};

KeyAuth new_auth() {
    auto auth = KeyAuth::random();
    EXPECT_TRUE(auth);
    return auth ? *auth : KeyAuth{};
}

using TpmKeys = Swtpm;

TEST_F(TpmKeys, SignaturesVerifyWithTheKeysOwnPublicKeyOnly) {
    auto session = Session::open();
    ASSERT_TRUE(session);
    const KeyAuth auth = new_auth();
    const KeyBlob key = session->create(auth), other = session->create(auth);
    auto der = public_key_der(tss(), key);
    ASSERT_TRUE(der.ok());
    for (const Bytes& message : {Bytes{}, Bytes{'a', 'b', 'c'}, Bytes(1000, 0x5A)}) {
        auto signature = session->sign(key, auth, message);
        ASSERT_TRUE(signature.ok()) << signature.error().debug_text();
        ASSERT_EQ(signature.value().size(), 256u);
        EXPECT_EQ(crypto::rsa_pkcs1_sha256_verify(der.value(), message, signature.value()), crypto::kOk);
        Bytes changed = message;
        changed.push_back(0);
        EXPECT_EQ(crypto::rsa_pkcs1_sha256_verify(der.value(), changed, signature.value()), crypto::kNteBadSignature);
        auto others = session->sign(other, auth, message);
        ASSERT_TRUE(others.ok()) << others.error().debug_text();
        EXPECT_EQ(crypto::rsa_pkcs1_sha256_verify(der.value(), message, others.value()), crypto::kNteBadSignature);
    }
}

// Without a resource manager the simulator has three object slots, the primary holding
// one: a key whose TransientObject left it loaded fails the third load after it.
TEST_F(TpmKeys, LoadedKeysAreFlushedAsTheyEndEvenWhenALoadFails) {
    auto session = Session::open();
    ASSERT_TRUE(session);
    const KeyAuth auth = new_auth();
    std::vector<KeyBlob> keys;
    for (int i = 0; i < 4; ++i) keys.push_back(session->create(auth));
    for (int i = 0; i < 12; ++i) {
        auto signature = session->sign(keys[static_cast<std::size_t>(i) % keys.size()], auth, Bytes{1});
        ASSERT_TRUE(signature.ok()) << i << ": " << signature.error().debug_text();
    }
    // A key that does not load takes no slot either.
    KeyBlob damaged = keys[0];
    damaged.private_area.back() ^= 1;
    for (int i = 0; i < 4; ++i) {
        auto failed = session->sign(damaged, auth, Bytes{});
        ASSERT_FALSE(failed.ok());
        EXPECT_EQ(static_cast<std::uint32_t>(failed.error().code()) & 0xFFFF0000u, 0x80280000u);
    }
    EXPECT_TRUE(session->sign(keys[1], auth, Bytes{2}).ok());
}

// A key made with an authorization value signs only with it: whoever has a copy of its
// blob and can open the TPM, but not the value (all zeroes, or a guess), is refused by the
// TPM itself.
TEST_F(TpmKeys, AKeyWithAnAuthorizationValueSignsOnlyWithIt) {
    // TPM_RC_BAD_AUTH of the first session: the key is noDA, so nobody locks the TPM out
    // for everyone by trying.
    constexpr std::uint32_t kBadAuth = 0x802809A2u;
    auto session = Session::open();
    ASSERT_TRUE(session);
    const KeyAuth auth = new_auth();
    const KeyBlob key = session->create(auth);
    const Bytes der = public_key_der(tss(), key).value();
    const Bytes message{'m'};
    KeyAuth wrong = auth;
    wrong.bytes[0] ^= 1;
    for (const auto& [given, signs] : {std::pair{auth, true}, std::pair{wrong, false}, std::pair{KeyAuth{}, false}}) {
        auto signature = session->sign(key, given, message);
        EXPECT_EQ(signature.ok(), signs);
        if (signs) {
            EXPECT_EQ(crypto::rsa_pkcs1_sha256_verify(der, message, signature.value()), crypto::kOk);
        } else {
            EXPECT_EQ(static_cast<std::uint32_t>(signature.error().code()), kBadAuth) << signature.error().debug_text();
        }
    }
}

// biometric-keyd's worker: more keys than the simulator has slots for, used in turn,
// and the simulator restarted under it (its connection drops, its objects are gone).
TEST_F(TpmKeys, TheServicesWorkerKeepsSigningThroughFullSlotsAndARestart) {
    keyd::MainQueue main;
    ASSERT_TRUE(main.ok());
    keyd::TpmEngine engine(tcti(), main);
    // Waits for the worker's answer through the main queue, as the service's loop does.
    const auto await = [&](auto& result) {
        for (int i = 0; i < 500 && !result; ++i) {
            pollfd fd{main.fd(), POLLIN, 0};
            if (::poll(&fd, 1, 20) > 0) main.run();
        }
        ASSERT_TRUE(result.has_value());
    };
    std::vector<keyd::StoredKey> keys;
    for (int i = 0; i < 4; ++i) {
        std::optional<Outcome<keyd::StoredKey>> made;
        engine.create([&](Outcome<keyd::StoredKey> key) { made.emplace(std::move(key)); });
        await(made);
        ASSERT_TRUE(made->ok()) << made->error().debug_text();
        keys.push_back(made->value());
    }
    const auto sign_each = [&](int round) {
        for (std::size_t k = 0; k < keys.size(); ++k) {
            const Bytes message{static_cast<std::uint8_t>(round), static_cast<std::uint8_t>(k)};
            crypto::Sha256 digest{};
            ASSERT_EQ(crypto::sha256(message, digest), crypto::kOk);
            std::optional<Outcome<Bytes>> signature;
            engine.sign(keys[k], digest, [&](Outcome<Bytes> s) { signature.emplace(std::move(s)); });
            await(signature);
            ASSERT_TRUE(signature->ok()) << round << "/" << k << ": " << signature->error().debug_text();
            EXPECT_EQ(crypto::rsa_pkcs1_sha256_verify(engine.public_key(keys[k]).value(), message, signature->value()),
                      crypto::kOk);
        }
    };
    for (int round = 0; round < 3; ++round) sign_each(round);
    stop();
    start();
    ASSERT_GT(pid_, 0);
    sign_each(3);
}

TEST(TpmKeyFile, RoundTripsAndRefusesEveryDamagedFile) {
    const KeyBlob key{{0x00, 0x03, 1, 2, 3}, {0x00, 0x02, 4, 5}};
    const Bytes file = encode_key_file(key);
    ASSERT_EQ(decode_key_file(file), key);
    for (std::size_t size = 0; size < file.size(); ++size) {
        EXPECT_FALSE(decode_key_file(std::span(file).first(size))) << "truncated to " << size;
    }
    const std::vector<std::pair<std::size_t, std::uint8_t>> changes = {
        {0, 'B'},     // magic
        {6, 2},       // version
        {8, 0x04},    // public size past its end
        {8, 0x00},    // empty public area
        {13, 0x01},   // private size past the end of the file
    };
    for (const auto& [offset, value] : changes) {
        Bytes changed = file;
        changed[offset] = value;
        EXPECT_FALSE(decode_key_file(changed)) << "byte " << offset << " = " << int{value};
    }
    Bytes longer = file;
    longer.push_back(0);
    EXPECT_FALSE(decode_key_file(longer));
}

// What the service's availability meets on its way to the TPM: the libraries, a
// connection (the device node first), then one ping.
struct ReachCase {
    const char* name;
    bool libraries;
    std::string tcti;
    std::int32_t expected;  // 0: the TPM answers
};

class TpmReach : public Swtpm, public ::testing::WithParamInterface<ReachCase> {};

TEST_P(TpmReach, NamesWhatIsMissing) {
    const ReachCase& c = GetParam();
    TssSonames sonames;
    if (!c.libraries) sonames.mu = "libtss2-mu-missing.so.0";
    const TssLoad load = load_tss(sonames, true);
    const std::string tcti = c.tcti.empty() ? Swtpm::tcti() : c.tcti;
    Outcome<const TssFunctions*> tss = loaded_functions(load);
    Outcome<void> reached = tss.ok() ? Outcome<void>() : Outcome<void>(std::move(tss.error()));
    if (reached.ok()) {
        auto connection = TpmConnection::open(*tss.value(), tcti);
        reached = connection.ok() ? ping(connection.value()) : Outcome<void>(std::move(connection.error()));
    }
    EXPECT_EQ(reached.ok() ? 0 : reached.error().code(), c.expected) << (reached.ok() ? "" : reached.error().message());
    if (!c.libraries) {
        EXPECT_NE(reached.error().message().find("libtss2-mu-missing.so.0 cannot be loaded"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(
    States, TpmReach,
    ::testing::Values(ReachCase{"Running", true, "", 0}, ReachCase{"LibraryMissing", false, "", kTpmNotFound},
                      ReachCase{"NoDeviceNode", true, "device:/nonexistent/tpmrm0", kTpmNotFound},
                      ReachCase{"NothingListening", true, "swtpm:host=127.0.0.1,port=1", kTpmNotFound},
                      ReachCase{"UnknownTcti", true, "no-such-tcti:", kTpmNotFound}),
    [](const auto& info) { return info.param.name; });

TEST(TpmErrors, ResponseCodesBecomeTheirHresults) {
    if (!tss_library(true).functions) GTEST_SKIP() << tss_library(true).error;
    const std::vector<std::pair<TSS2_RC, std::uint32_t>> cases = {
        {TPM2_RC_OBJECT_MEMORY, 0x80280902u},
        {TPM2_RC_INTEGRITY + TPM2_RC_P + TPM2_RC_1, 0x802801DFu},
        {TSS2_RESMGR_TPM_RC_LAYER | TPM2_RC_OBJECT_MEMORY, 0x80280902u},
        {TPM2_RC_RETRY, 0x800710DFu},
        {TPM2_RC_TESTING, 0x800710DFu},
        {TSS2_TCTI_RC_TRY_AGAIN, 0x800710DFu},
        {TSS2_TCTI_RC_IO_ERROR, 0x80284001u},
        {TSS2_ESYS_RC_MEMORY, 0x80284001u},
    };
    for (const auto& [rc, expected] : cases) {
        const PlatformError error = tss_error(tss(), rc, "Call");
        EXPECT_EQ(static_cast<std::uint32_t>(error.code()), expected) << std::hex << rc;
        EXPECT_EQ(error.message().rfind("Call: ", 0), 0u) << error.message();
    }
}

}  // namespace
}  // namespace bio::keyd::tpm

// The Service with a fake polkit (checks answered when the test says) and a fake TPM
// (answers at once): who waits for which check, what a verdict commits, what cancels.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "keyd/protocol.h"
#include "keyd/service.h"

namespace bio::keyd {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

class FakeAuthority final : public Authority {
public:
    struct Check {
        Caller caller;
        CheckDetails details;
        std::string id;
        std::function<void(Outcome<Verdict>)> done;
    };
    void check(const Caller& caller, const CheckDetails& details, const std::string& id,
               std::function<void(Outcome<Verdict>)> done) override {
        checks.push_back(Check{caller, details, id, std::move(done)});
    }
    void cancel(const std::string& id) override { cancelled.push_back(id); }
    // Answers the i-th check made so far.
    void answer(std::size_t i, Outcome<Verdict> verdict) {
        auto done = std::move(checks.at(i).done);
        ASSERT_TRUE(done) << "check " << i << " was answered before";
        done(std::move(verdict));
    }
    std::vector<Check> checks;
    std::vector<std::string> cancelled;
};

class FakeEngine final : public KeyEngine {
public:
    void availability(std::function<void(AvailabilityAnswer)> done) override {
        done({UserConsent_Available, "fake"});
    }
    void create(std::function<void(Outcome<StoredKey>)> done) override {
        StoredKey key{tpm::KeyBlob{{0, 1, ++made}, {0, 1, made}}, {}};
        key.auth.bytes.fill(made);
        done(key);
    }
    void sign(StoredKey key, std::array<std::uint8_t, 32> digest, std::function<void(Outcome<Bytes>)> done) override {
        signed_with.push_back(key.auth.bytes[0]);
        if (sign_error) return done(PlatformError::with_text(*sign_error, "fake"));
        done(Bytes{digest[0], key.auth.bytes[0]});
    }
    Outcome<Bytes> public_key(const StoredKey& key) override { return Bytes{'p', key.auth.bytes[0]}; }

    std::uint8_t made = 0;
    std::vector<std::uint8_t> signed_with;
    std::optional<std::int32_t> sign_error;
};

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "keyd-service-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        store_.emplace(dir_.string(), 2);
        service_.emplace(*store_, authority_, engine_, 3);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Sends a request; its reply lands in replies_[returned index] when it comes.
    std::size_t send(const Caller& caller, Operation operation, std::uint64_t number, std::string name = "k",
                     bool replace = false) {
        Request request;
        request.operation = operation;
        request.number = number;
        request.name = std::move(name);
        request.replace = replace;
        request.digest[0] = 'd';
        const std::size_t slot = replies_.size();
        replies_.emplace_back();
        service_->handle(caller, std::move(request), [this, slot](Reply reply) {
            ASSERT_FALSE(replies_[slot]) << "replied twice";
            replies_[slot] = std::move(reply);
        });
        return slot;
    }
    void put(uid_t uid, const std::string& name, std::uint8_t tag) {
        StoredKey key{tpm::KeyBlob{{0, 1, tag}, {0, 1, tag}}, {}};
        key.auth.bytes.fill(tag);
        ASSERT_TRUE(store_->save(uid, name, key, true).value());
    }

    fs::path dir_;
    std::optional<UserStore> store_;
    FakeAuthority authority_;
    FakeEngine engine_;
    std::optional<Service> service_;
    std::vector<std::optional<Reply>> replies_;
    const Caller alice_{1000, ":1.10", 10}, alice_again_{1000, ":1.11", 10}, bob_{1001, ":1.20", 20};
};

struct VerdictCase {
    const char* label;
    Operation operation;
    Verdict verdict;
    std::int32_t value;  // the reply's status or result
    bool committed;
    std::int32_t code = 0;  // the reply's
};

class Verdicts : public ServiceTest, public ::testing::WithParamInterface<VerdictCase> {};

TEST_P(Verdicts, CommitOnlyWhatPolkitAuthorized) {
    const VerdictCase& c = GetParam();
    put(alice_.uid, "k", 9);
    const std::size_t reply = send(alice_, c.operation, 1, "k", true);
    ASSERT_EQ(authority_.checks.size(), 1u);
    const FakeAuthority::Check& check = authority_.checks[0];
    EXPECT_EQ(check.caller.bus_name, alice_.bus_name);
    EXPECT_EQ(check.details.operation,
              c.operation == Operation::Create ? "create" : c.operation == Operation::Sign ? "sign" : "verify");
    EXPECT_FALSE(replies_[reply]);
    authority_.answer(0, c.verdict);
    ASSERT_TRUE(replies_[reply]);
    EXPECT_EQ(replies_[reply]->code, c.code) << replies_[reply]->text;
    EXPECT_EQ(replies_[reply]->value, c.value);
    const bool created = store_->load(alice_.uid, "k").value()->auth.bytes[0] != 9;
    EXPECT_EQ(created || !engine_.signed_with.empty(), c.committed && c.operation != Operation::VerifyUser);
    if (c.committed && c.operation == Operation::Create) {
        EXPECT_EQ(replies_[reply]->bytes, (Bytes{'p', 1}));
    }
    if (c.committed && c.operation == Operation::Sign) {
        EXPECT_EQ(replies_[reply]->bytes, (Bytes{'d', 9}));
    }
    EXPECT_EQ(service_->pending(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Verdicts,
    ::testing::Values(
        VerdictCase{"CreateAuthorized", Operation::Create, Verdict::Authorized, KeyCredentialStatus_Success, true},
        VerdictCase{"CreateRefused", Operation::Create, Verdict::NotAuthorized, KeyCredentialStatus_UserCanceled, false},
        VerdictCase{"CreateNoAgent", Operation::Create, Verdict::NoAgent, 0, false, kNoAgent},
        VerdictCase{"SignAuthorized", Operation::Sign, Verdict::Authorized, KeyCredentialStatus_Success, true},
        VerdictCase{"SignCancelled", Operation::Sign, Verdict::Cancelled, KeyCredentialStatus_UserCanceled, false},
        VerdictCase{"VerifyAuthorized", Operation::VerifyUser, Verdict::Authorized, UserConsent_Available, true},
        VerdictCase{"VerifyRefused", Operation::VerifyUser, Verdict::NotAuthorized, UserConsent_Canceled, false}),
    [](const auto& info) { return info.param.label; });

TEST_F(ServiceTest, OneProcessIsCheckedOneRequestAtATimeOthersAtOnce) {
    put(alice_.uid, "k", 3);
    const std::size_t first = send(alice_, Operation::VerifyUser, 1);
    const std::size_t second = send(alice_again_, Operation::Sign, 2);  // another connection, same pid
    const std::size_t third = send(alice_, Operation::VerifyUser, 3);
    const std::size_t bobs = send(bob_, Operation::VerifyUser, 1);
    ASSERT_EQ(authority_.checks.size(), 2u);  // alice's first and bob's
    EXPECT_EQ(authority_.checks[1].caller.bus_name, bob_.bus_name);
    authority_.answer(1, Verdict::Authorized);
    authority_.answer(0, Verdict::Authorized);
    ASSERT_EQ(authority_.checks.size(), 3u);  // now alice's second
    EXPECT_EQ(authority_.checks[2].caller.bus_name, alice_again_.bus_name);
    authority_.answer(2, Verdict::Authorized);
    authority_.answer(3, Verdict::NotAuthorized);
    for (std::size_t i : {first, second, third, bobs}) ASSERT_TRUE(replies_[i]) << i;
    EXPECT_EQ(replies_[second]->value, KeyCredentialStatus_Success);
    EXPECT_EQ(replies_[third]->value, UserConsent_Canceled);
    EXPECT_EQ(authority_.checks.size(), 4u);
    EXPECT_EQ(service_->pending(), 0u);
}

TEST_F(ServiceTest, CancelStopsTheCheckAndCommitsNothing) {
    const std::size_t checking = send(alice_, Operation::Create, 5, "new");
    const std::size_t queued = send(alice_, Operation::Create, 6, "other");
    const std::size_t unknown = send(alice_, Operation::Cancel, 99);
    ASSERT_TRUE(replies_[unknown]);  // no error
    // Another caller cannot cancel alice's request by its number.
    send(bob_, Operation::Cancel, 5);
    EXPECT_TRUE(authority_.cancelled.empty());

    send(alice_, Operation::Cancel, 6);  // queued: answered at once, never checked
    ASSERT_TRUE(replies_[queued]);
    EXPECT_EQ(replies_[queued]->value, KeyCredentialStatus_UserCanceled);
    send(alice_, Operation::Cancel, 5);
    ASSERT_EQ(authority_.cancelled, std::vector<std::string>{authority_.checks[0].id});
    EXPECT_FALSE(replies_[checking]);
    authority_.answer(0, Verdict::Authorized);  // polkit said yes before the cancel arrived
    ASSERT_TRUE(replies_[checking]);
    EXPECT_EQ(replies_[checking]->value, KeyCredentialStatus_UserCanceled);
    EXPECT_FALSE(store_->contains(alice_.uid, "new").value());
    EXPECT_EQ(authority_.checks.size(), 1u);
    EXPECT_EQ(engine_.made, 0u);
}

TEST_F(ServiceTest, ACallerLeavingTheBusCancelsAllItsRequests) {
    const std::size_t checking = send(alice_, Operation::VerifyUser, 1);
    const std::size_t queued = send(alice_, Operation::VerifyUser, 2);
    const std::size_t bobs = send(bob_, Operation::VerifyUser, 1);
    service_->caller_left(alice_.bus_name, 5'000'000);
    ASSERT_TRUE(replies_[queued]);
    // polkit hears of it after the grace, when its agent had time to go first.
    EXPECT_EQ(service_->cancel_left_checks(5'999'999), 6'000'000u);
    EXPECT_TRUE(authority_.cancelled.empty());
    EXPECT_EQ(service_->cancel_left_checks(6'000'000), 0u);
    ASSERT_EQ(authority_.cancelled.size(), 1u);
    authority_.answer(0, Verdict::Cancelled);
    EXPECT_EQ(replies_[checking]->value, UserConsent_Canceled);
    EXPECT_FALSE(replies_[bobs]);
    authority_.answer(1, Verdict::Authorized);
    EXPECT_EQ(replies_[bobs]->value, UserConsent_Available);
}

TEST_F(ServiceTest, ACallerThatLeftCommitsNothingWhenPolkitSaysYesInTheGrace) {
    const std::size_t create = send(alice_, Operation::Create, 1, "new");
    service_->caller_left(alice_.bus_name, 0);
    authority_.answer(0, Verdict::Authorized);
    ASSERT_TRUE(replies_[create]);
    EXPECT_EQ(replies_[create]->value, KeyCredentialStatus_UserCanceled);
    EXPECT_EQ(engine_.made, 0u);
    EXPECT_EQ(service_->cancel_left_checks(2'000'000), 0u);  // answered: nothing left to cancel
    EXPECT_TRUE(authority_.cancelled.empty());
}

TEST_F(ServiceTest, NobodyIsAskedForARequestThatCannotSucceed) {
    put(alice_.uid, "taken", 1);
    const std::size_t taken = send(alice_, Operation::Create, 1, "taken", false);
    EXPECT_EQ(replies_[taken]->value, KeyCredentialStatus_CredentialAlreadyExists);
    const std::size_t missing = send(alice_, Operation::Sign, 2, "missing");
    EXPECT_EQ(replies_[missing]->value, KeyCredentialStatus_NotFound);
    const std::size_t others = send(bob_, Operation::Sign, 3, "taken");  // alice's name, bob's store
    EXPECT_EQ(replies_[others]->value, KeyCredentialStatus_NotFound);
    put(alice_.uid, "second", 2);  // the limit of this store is 2
    const std::size_t full = send(alice_, Operation::Create, 4, "third");
    EXPECT_EQ(replies_[full]->code, kTooManyCredentials);
    EXPECT_TRUE(authority_.checks.empty());
}

TEST_F(ServiceTest, SignUsesTheKeyTheNameHasOnceVerifiedAndReportsLockout) {
    put(alice_.uid, "k", 1);
    const std::size_t replaced = send(alice_, Operation::Sign, 1);
    put(alice_.uid, "k", 2);  // replaced while the user was asked
    authority_.answer(0, Verdict::Authorized);
    EXPECT_EQ(engine_.signed_with, Bytes{2});
    EXPECT_EQ(replies_[replaced]->bytes, (Bytes{'d', 2}));

    engine_.sign_error = kTpmLockout;
    const std::size_t locked = send(alice_, Operation::Sign, 2);
    authority_.answer(1, Verdict::Authorized);
    EXPECT_EQ(replies_[locked]->code, 0);
    EXPECT_EQ(replies_[locked]->value, KeyCredentialStatus_SecurityDeviceLocked);
}

TEST_F(ServiceTest, AUserHasAtMostSoManyRequestsWaiting) {
    for (std::uint64_t i = 1; i <= 3; ++i) send(alice_, Operation::VerifyUser, i);
    const std::size_t fourth = send(alice_again_, Operation::VerifyUser, 4);
    ASSERT_TRUE(replies_[fourth]);
    EXPECT_EQ(replies_[fourth]->code, kTooManyRequests);
    const std::size_t bobs = send(bob_, Operation::VerifyUser, 1);  // his own count
    EXPECT_FALSE(replies_[bobs]);
    authority_.answer(0, Verdict::Authorized);
    const std::size_t fifth = send(alice_, Operation::VerifyUser, 5);
    EXPECT_FALSE(replies_[fifth]);
    EXPECT_EQ(service_->pending(), 4u);
}

struct AvailabilityCase {
    const char* label;
    std::optional<Verdict> verdict;  // none: polkit fails with the code
    std::int32_t code;
    std::int32_t expected;
};

class Availability : public ServiceTest, public ::testing::WithParamInterface<AvailabilityCase> {};

TEST_P(Availability, SaysWhatPolkitWouldAnswerWithoutAsking) {
    const AvailabilityCase& c = GetParam();
    const std::size_t reply = send(alice_, Operation::Availability, 0);
    ASSERT_EQ(authority_.checks.size(), 1u);
    EXPECT_FALSE(authority_.checks[0].details.interactive);
    if (c.verdict) {
        authority_.answer(0, *c.verdict);
    } else {
        authority_.answer(0, PlatformError::with_text(c.code, "polkit says"));
    }
    ASSERT_TRUE(replies_[reply]);
    EXPECT_EQ(replies_[reply]->code, 0);
    EXPECT_EQ(replies_[reply]->value, c.expected) << replies_[reply]->reason;
    EXPECT_FALSE(replies_[reply]->reason.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, Availability,
    ::testing::Values(AvailabilityCase{"Authorized", Verdict::Authorized, 0, UserConsent_Available},
                      AvailabilityCase{"WouldAsk", Verdict::NoAgent, 0, UserConsent_Available},
                      AvailabilityCase{"ARuleSaysNo", Verdict::NotAuthorized, 0, UserConsent_DisabledByPolicy},
                      AvailabilityCase{"ActionNotInstalled", std::nullopt, hresult_from_win32(1168),
                                       UserConsent_NotConfiguredForUser},
                      AvailabilityCase{"NoPolkit", std::nullopt, hresult_from_win32(1062), UserConsent_DeviceNotPresent}),
    [](const auto& info) { return info.param.label; });

TEST_F(ServiceTest, OpenAndDeleteAskNobody) {
    put(alice_.uid, "k", 4);
    const std::size_t opened = send(alice_, Operation::Open, 0);
    EXPECT_EQ(replies_[opened]->bytes, (Bytes{'p', 4}));
    const std::size_t deleted = send(alice_, Operation::Delete, 0);
    EXPECT_EQ(replies_[deleted]->value, KeyCredentialStatus_Success);
    const std::size_t again = send(alice_, Operation::Open, 0);
    EXPECT_EQ(replies_[again]->value, KeyCredentialStatus_NotFound);
    EXPECT_TRUE(authority_.checks.empty());
}

}  // namespace
}  // namespace bio::keyd

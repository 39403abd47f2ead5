// What biometric-keyd does with a request, apart from the bus: who may wait for polkit
// when, what is committed after a verdict, and what each method replies. The bus layer
// (bus_server.*) decodes calls into Requests, gives the caller as the bus knows it, and
// sends the Replies; polkit (Authority) and the TPM (KeyEngine) answer through
// callbacks that run on the same thread as the Service, one at a time.
//
// Verification: Create, Sign and VerifyUser of one caller process (its pid, or its bus
// name where the pid is unknown) are checked with polkit one at a time, in the order
// they came, so that its agent shows one prompt at a time; different processes wait at
// once. A request's commit (the TPM's work, the store's write) starts once polkit said
// yes and is not cancelled any more; the next check of the process starts as soon as
// the verdict is in.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bio_windows.h"
#include "keyd/protocol.h"
#include "keyd/request.h"
#include "keyd/user_store.h"

namespace bio::keyd {

// Who asks, as the bus says.
struct Caller {
    uid_t uid = 0;
    std::string bus_name;  // the connection's unique name
    std::int64_t pid = -1;  // -1: unknown
};

// Every reply: (code, text) then what the method has: `value` (status, availability or
// result), `reason` (Availability), `bytes` (public key, signature).
struct Reply {
    std::int32_t code = 0;
    std::string text;
    std::int32_t value = 0;
    std::string reason;
    std::vector<std::uint8_t> bytes;
};
using Respond = std::function<void(Reply)>;

// What polkit is shown beside the action.
struct CheckDetails {
    std::string operation;  // "create", "sign", "verify"
    std::string name;       // the credential's, empty for verify
    std::string message;    // the caller's, for verify
    // False for Availability's question: what polkit would answer without asking anyone.
    bool interactive = true;
};

enum class Verdict {
    Authorized,
    NotAuthorized,  // a failed or dismissed authentication, or a rule
    NoAgent,        // polkit would ask, but no agent serves the caller (or, not interactive: it would ask)
    Cancelled,      // CancelCheckAuthorization came first
};

class Authority {
public:
    virtual ~Authority() = default;
    // Asks polkit about `caller` for the verify action; `done` runs exactly once (also
    // after cancel()), unless the Authority ends first.
    virtual void check(const Caller& caller, const CheckDetails& details, const std::string& cancellation_id,
                       std::function<void(Outcome<Verdict>)> done) = 0;
    virtual void cancel(const std::string& cancellation_id) = 0;
};

struct AvailabilityAnswer {
    std::int32_t availability = 0;  // a UserConsent value
    std::string reason;
};

// The TPM, one request at a time behind these calls; each `done` runs once.
class KeyEngine {
public:
    virtual ~KeyEngine() = default;
    virtual void availability(std::function<void(AvailabilityAnswer)> done) = 0;
    // A new key with a fresh authorization value.
    virtual void create(std::function<void(Outcome<StoredKey>)> done) = 0;
    // The signature of a SHA-256 digest with `key`.
    virtual void sign(StoredKey key, std::array<std::uint8_t, 32> digest,
                      std::function<void(Outcome<std::vector<std::uint8_t>>)> done) = 0;
    // The key's public half as DER SubjectPublicKeyInfo (no TPM needed).
    virtual Outcome<std::vector<std::uint8_t>> public_key(const StoredKey& key) = 0;
};

class Service {
public:
    Service(const UserStore& store, Authority& authority, KeyEngine& engine,
            std::size_t max_pending_per_user = kMaxPendingPerUser)
        : store_(store), authority_(authority), engine_(engine), max_pending_per_user_(max_pending_per_user) {}
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    void handle(const Caller& caller, Request request, Respond respond);
    // The caller's connection left the bus at `now_usec` (monotonic): its requests are
    // cancelled and commit nothing. A check polkit is making for it is cancelled with polkit
    // kLeftCallerGraceUsec later, if polkit has not answered by then: a caller that leaves
    // usually takes its agent along, and polkitd (122) can deadlock when a check is
    // cancelled while its agent's authentication ends at the same moment.
    void caller_left(const std::string& bus_name, std::uint64_t now_usec);
    // Cancels with polkit the checks of callers that left whose grace is over at
    // `now_usec`; returns when the next one is due, or 0 for none.
    std::uint64_t cancel_left_checks(std::uint64_t now_usec);
    static constexpr std::uint64_t kLeftCallerGraceUsec = 1'000'000;
    // Requests that have not replied yet.
    std::size_t pending() const noexcept { return pending_; }

private:
    struct Pending;
    using PendingPtr = std::shared_ptr<Pending>;

    void enqueue(PendingPtr p);
    void start_check(const std::string& queue);
    void on_verdict(const PendingPtr& p, Outcome<Verdict> verdict);
    void commit(const PendingPtr& p);
    void finish(const PendingPtr& p, Reply reply);
    void cancel(const PendingPtr& p);
    void answer_open(const Caller& caller, const Request& request, const Respond& respond);
    void answer_availability(const Caller& caller, Respond respond);
    std::string next_cancellation_id();

    const UserStore& store_;
    Authority& authority_;
    KeyEngine& engine_;
    // Per caller process: its requests still to be checked, the one being checked first.
    std::map<std::string, std::deque<PendingPtr>> queues_;
    std::uint64_t serial_ = 0;
    std::size_t pending_ = 0;
    std::size_t max_pending_per_user_;
    std::map<uid_t, std::size_t> pending_per_user_;  // verified requests not replied yet
    // Checks of callers that left, with when polkit is told.
    std::vector<std::pair<std::uint64_t, PendingPtr>> left_checks_;
};

}  // namespace bio::keyd

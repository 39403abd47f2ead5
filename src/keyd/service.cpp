#include "keyd/service.h"

#include <unistd.h>

#include <utility>

#include "bus/polkit.h"
#include "keyd/protocol.h"

namespace bio::keyd {

struct Service::Pending {
    enum class Stage { Queued, Checking, Committing, Done };
    Caller caller;
    Request request;
    Respond respond;
    std::string queue;
    std::string cancellation_id;
    Stage stage = Stage::Queued;
    bool cancelled = false;
};

namespace {

Reply failure(const PlatformError& error) { return Reply{error.code(), error.message(), 0, {}, {}}; }

Reply status(std::int32_t value, std::vector<std::uint8_t> bytes = {}) { return Reply{0, {}, value, {}, std::move(bytes)}; }

// The TPM's lockout is a status of the request, not a failure of the service.
Reply tpm_failure(const PlatformError& error) {
    if (error.code() == kTpmLockout) {
        return Reply{0, error.message(), KeyCredentialStatus_SecurityDeviceLocked, {}, {}};
    }
    return failure(error);
}

// The reply of a request that was not verified (or was cancelled): nothing was done.
Reply not_verified(const Request& request, std::string text) {
    const std::int32_t value = request.operation == Operation::VerifyUser
                                   ? static_cast<std::int32_t>(UserConsent_Canceled)
                                   : static_cast<std::int32_t>(KeyCredentialStatus_UserCanceled);
    return Reply{0, std::move(text), value, {}, {}};
}

const char* operation_detail(Operation operation) {
    switch (operation) {
        case Operation::Create: return "create";
        case Operation::Sign: return "sign";
        default: return "verify";
    }
}

}  // namespace

void Service::handle(const Caller& caller, Request request, Respond respond) {
    switch (request.operation) {
        case Operation::Availability: answer_availability(caller, std::move(respond)); return;
        case Operation::Open: answer_open(caller, request, respond); return;
        case Operation::Delete: {
            Outcome<bool> removed = store_.remove(caller.uid, request.name);
            if (!removed.ok()) return respond(failure(removed.error()));
            return respond(status(removed.value() ? KeyCredentialStatus_Success : KeyCredentialStatus_NotFound));
        }
        case Operation::Attestation: {
            Outcome<bool> exists = store_.contains(caller.uid, request.name);
            if (!exists.ok()) return respond(failure(exists.error()));
            // The client opens the credential first; a TPM key's attestation is not given yet.
            return respond(Reply{0, "the service gives no attestation of its keys",
                                 KeyCredentialAttestationStatus_NotSupported, {}, {}});
        }
        case Operation::Cancel:
            for (auto& [queue, requests] : queues_) {
                for (const PendingPtr& p : requests) {
                    if (p->caller.bus_name == caller.bus_name && p->request.number == request.number) {
                        const PendingPtr found = p;  // cancel() may take it out of its queue
                        cancel(found);
                        respond(Reply{});
                        return;
                    }
                }
            }
            respond(Reply{});
            return;
        case Operation::Create: {
            // Nobody is asked for a name that is taken, nor beyond the user's limit.
            Outcome<bool> exists = store_.contains(caller.uid, request.name);
            if (!exists.ok()) return respond(failure(exists.error()));
            if (exists.value() && !request.replace) return respond(status(KeyCredentialStatus_CredentialAlreadyExists));
            if (!exists.value()) {
                Outcome<std::size_t> held = store_.count(caller.uid);
                if (!held.ok()) return respond(failure(held.error()));
                if (held.value() >= store_.max_per_user()) {
                    return respond(Reply{kTooManyCredentials,
                                         "this user has " + std::to_string(held.value()) +
                                             " credentials, the most the service keeps per user; delete one first",
                                         0, {}, {}});
                }
            }
            break;
        }
        case Operation::Sign: {
            Outcome<bool> exists = store_.contains(caller.uid, request.name);
            if (!exists.ok()) return respond(failure(exists.error()));
            if (!exists.value()) return respond(status(KeyCredentialStatus_NotFound));
            break;
        }
        case Operation::VerifyUser: break;
    }
    std::size_t& waiting = pending_per_user_[caller.uid];
    if (waiting >= max_pending_per_user_) {
        return respond(Reply{kTooManyRequests,
                             "this user has " + std::to_string(waiting) +
                                 " requests waiting already, the most the service takes; try again when one has "
                                 "replied",
                             0, {}, {}});
    }
    ++waiting;
    auto p = std::make_shared<Pending>();
    p->caller = caller;
    p->request = std::move(request);
    p->respond = std::move(respond);
    p->queue = caller.pid >= 0 ? "pid " + std::to_string(caller.pid) : "name " + caller.bus_name;
    p->cancellation_id = next_cancellation_id();
    enqueue(std::move(p));
}

std::string Service::next_cancellation_id() {
    return "biometric-keyd-" + std::to_string(::getpid()) + "-" + std::to_string(++serial_);
}

// The TPM first; then what polkit would answer the caller without asking anyone.
void Service::answer_availability(const Caller& caller, Respond respond) {
    ++pending_;
    engine_.availability([this, caller, respond = std::move(respond)](AvailabilityAnswer answer) mutable {
        if (answer.availability != UserConsent_Available) {
            --pending_;
            return respond(Reply{0, {}, answer.availability, std::move(answer.reason), {}});
        }
        CheckDetails details{"availability", {}, {}, false};
        authority_.check(caller, details, next_cancellation_id(),
                         [this, respond = std::move(respond)](Outcome<Verdict> verdict) {
                             --pending_;
                             Reply reply{0, {}, UserConsent_Available, "the TPM answers and polkit can verify the user", {}};
                             if (!verdict.ok()) {
                                 const bool no_action = verdict.error().code() == bus::kPolkitNoActionCode;
                                 reply.value = no_action ? UserConsent_NotConfiguredForUser : UserConsent_DeviceNotPresent;
                                 reply.reason = no_action ? std::string("the polkit action ") + kVerifyAction +
                                                                " is not installed: " + verdict.error().message()
                                                          : "polkit cannot be asked: " + verdict.error().message();
                             } else if (verdict.value() == Verdict::NotAuthorized) {
                                 reply.value = UserConsent_DisabledByPolicy;
                                 reply.reason = std::string("polkit refuses this user the action ") + kVerifyAction;
                             }
                             respond(std::move(reply));
                         });
    });
}

void Service::answer_open(const Caller& caller, const Request& request, const Respond& respond) {
    Outcome<std::optional<StoredKey>> key = store_.load(caller.uid, request.name);
    if (!key.ok()) return respond(failure(key.error()));
    if (!key.value()) return respond(status(KeyCredentialStatus_NotFound));
    Outcome<std::vector<std::uint8_t>> der = engine_.public_key(*key.value());
    if (!der.ok()) return respond(failure(der.error()));
    respond(status(KeyCredentialStatus_Success, std::move(der.value())));
}

void Service::enqueue(PendingPtr p) {
    ++pending_;
    std::deque<PendingPtr>& queue = queues_[p->queue];
    queue.push_back(p);
    if (queue.size() == 1) start_check(p->queue);
}

void Service::start_check(const std::string& queue) {
    const auto it = queues_.find(queue);
    if (it == queues_.end()) return;
    if (it->second.empty()) {
        queues_.erase(it);
        return;
    }
    PendingPtr p = it->second.front();
    if (p->stage != Pending::Stage::Queued) return;
    p->stage = Pending::Stage::Checking;
    const CheckDetails details{operation_detail(p->request.operation), p->request.name, p->request.message};
    authority_.check(p->caller, details, p->cancellation_id,
                     [this, p](Outcome<Verdict> verdict) { on_verdict(p, std::move(verdict)); });
}

void Service::on_verdict(const PendingPtr& p, Outcome<Verdict> verdict) {
    // Out of the queue: the next check of the process may start.
    const auto it = queues_.find(p->queue);
    if (it != queues_.end() && !it->second.empty() && it->second.front() == p) {
        it->second.pop_front();
        start_check(p->queue);
    }
    if (p->cancelled) return finish(p, not_verified(p->request, "the request was cancelled"));
    if (!verdict.ok()) return finish(p, failure(verdict.error()));
    switch (verdict.value()) {
        case Verdict::Authorized: break;
        case Verdict::NotAuthorized: return finish(p, not_verified(p->request, "polkit did not authorize the request"));
        case Verdict::NoAgent:
            return finish(p, Reply{kNoAgent, "no authentication agent serves the calling process", 0, {}, {}});
        case Verdict::Cancelled: return finish(p, not_verified(p->request, "the request was cancelled"));
    }
    commit(p);
}

void Service::commit(const PendingPtr& p) {
    p->stage = Pending::Stage::Committing;
    const Request& request = p->request;
    switch (request.operation) {
        case Operation::VerifyUser: return finish(p, Reply{0, {}, UserConsent_Available, {}, {}});
        case Operation::Create:
            engine_.create([this, p](Outcome<StoredKey> made) {
                if (!made.ok()) return finish(p, tpm_failure(made.error()));
                Outcome<std::vector<std::uint8_t>> der = engine_.public_key(made.value());
                if (!der.ok()) return finish(p, failure(der.error()));
                Outcome<bool> saved = store_.save(p->caller.uid, p->request.name, made.value(), p->request.replace);
                if (!saved.ok()) return finish(p, failure(saved.error()));
                if (!saved.value()) return finish(p, status(KeyCredentialStatus_CredentialAlreadyExists));
                finish(p, status(KeyCredentialStatus_Success, std::move(der.value())));
            });
            return;
        case Operation::Sign: {
            // The key the name has now, after the user was verified.
            Outcome<std::optional<StoredKey>> key = store_.load(p->caller.uid, request.name);
            if (!key.ok()) return finish(p, failure(key.error()));
            if (!key.value()) return finish(p, status(KeyCredentialStatus_NotFound));
            engine_.sign(std::move(*key.value()), p->request.digest,
                         [this, p](Outcome<std::vector<std::uint8_t>> signature) {
                             if (!signature.ok()) return finish(p, tpm_failure(signature.error()));
                             finish(p, status(KeyCredentialStatus_Success, std::move(signature.value())));
                         });
            return;
        }
        default: return finish(p, failure(PlatformError::with_text(kBadArgument, "not a verified request")));
    }
}

void Service::finish(const PendingPtr& p, Reply reply) {
    if (p->stage == Pending::Stage::Done) return;
    p->stage = Pending::Stage::Done;
    --pending_;
    if (const auto it = pending_per_user_.find(p->caller.uid); it != pending_per_user_.end() && --it->second == 0) {
        pending_per_user_.erase(it);
    }
    Respond respond = std::move(p->respond);
    respond(std::move(reply));
}

void Service::cancel(const PendingPtr& p) {
    switch (p->stage) {
        case Pending::Stage::Queued: {
            auto& queue = queues_[p->queue];
            std::erase(queue, p);
            if (queue.empty()) queues_.erase(p->queue);
            finish(p, not_verified(p->request, "the request was cancelled"));
            return;
        }
        case Pending::Stage::Checking:
            if (p->cancelled) return;
            p->cancelled = true;
            authority_.cancel(p->cancellation_id);
            return;
        case Pending::Stage::Committing:
        case Pending::Stage::Done: return;  // it replies its result
    }
}

void Service::caller_left(const std::string& bus_name, std::uint64_t now_usec) {
    std::vector<PendingPtr> theirs;
    for (const auto& [queue, requests] : queues_) {
        for (const PendingPtr& p : requests) {
            if (p->caller.bus_name == bus_name) theirs.push_back(p);
        }
    }
    for (const PendingPtr& p : theirs) {
        if (p->stage == Pending::Stage::Checking && !p->cancelled) {
            p->cancelled = true;  // whatever polkit answers now, nothing is committed
            left_checks_.emplace_back(now_usec + kLeftCallerGraceUsec, p);
        } else {
            cancel(p);
        }
    }
}

std::uint64_t Service::cancel_left_checks(std::uint64_t now_usec) {
    std::uint64_t next = 0;
    std::erase_if(left_checks_, [&](const auto& entry) {
        const auto& [due, p] = entry;
        if (p->stage != Pending::Stage::Checking) return true;  // polkit answered meanwhile
        if (due > now_usec) {
            if (next == 0 || due < next) next = due;
            return false;
        }
        authority_.cancel(p->cancellation_id);
        return true;
    });
    return next;
}

}  // namespace bio::keyd

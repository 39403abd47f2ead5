#include "tpm/polkit.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include "runtime/environment.h"
#include "runtime/interrupt.h"
#include "runtime/unique_handle.h"
#include "local/unique_fd.h"
#include "tpm/sd_bus.h"
#include "tpm/text_agent.h"

namespace bio::tpm {
namespace {

constexpr const char* kAuthority = "org.freedesktop.PolicyKit1";
constexpr const char* kAuthorityPath = "/org/freedesktop/PolicyKit1/Authority";
constexpr const char* kAuthorityInterface = "org.freedesktop.PolicyKit1.Authority";
constexpr std::uint32_t kAllowUserInteraction = 1;
// How long a probe may take (polkit answers it at once) and how long a cancelled check's
// reply is waited for.
constexpr std::uint64_t kProbeTimeoutUsec = 5'000'000;
constexpr auto kCancelSettle = std::chrono::seconds(2);

std::string errno_text(const char* what, int negative_errno) {
    return std::string(what) + ": " + std::strerror(-negative_errno);
}

std::string error_text(const char* name, const char* message) {
    std::string text = name != nullptr ? name : "error";
    if (message != nullptr && *message != '\0') text.append(": ").append(message);
    return text;
}

// polkit's answer to an action it has no policy for (polkitd 122: Error.Failed,
// "Action <id> is not registered").
bool is_unknown_action(const char* name, const char* message) {
    return name != nullptr && std::strncmp(name, "org.freedesktop.PolicyKit1.Error.", 33) == 0 &&
           message != nullptr && std::strstr(message, "not registered") != nullptr;
}

// Nobody owns polkit's name, and the bus would not start it.
bool is_no_service(const char* name) {
    return name != nullptr && (std::strcmp(name, "org.freedesktop.DBus.Error.ServiceUnknown") == 0 ||
                               std::strcmp(name, "org.freedesktop.DBus.Error.NameHasNoOwner") == 0);
}

// One connection to the system bus, and this connection's unique name (the subject).
struct Session {
    const SdBusApi* api = nullptr;
    SdBusConnection bus;
    const char* unique_name = nullptr;
};

// The failure of a step, as the probe's answer and the verification's error.
struct Failure {
    ActionProbe answer;
    std::int32_t code;
    std::string detail;
};

std::optional<Failure> open_session(Session& session) {
    std::string why;
    session.api = sd_bus_api(&why);
    if (session.api == nullptr) return Failure{ActionProbe::NoLibrary, kPolkitNoLibraryCode, why};
    // sd_bus_open_system would read DBUS_SYSTEM_BUS_ADDRESS itself, while the program may
    // be changing the environment: the address is the request's reading of it.
    const std::optional<std::string> configured = request_variable(kSystemBusVariable);
    const std::string address = configured && !configured->empty() ? *configured : std::string(kSystemBusDefault);
    SdBus* bus = nullptr;
    int r = session.api->new_bus(&bus);
    if (r < 0) return Failure{ActionProbe::NoBus, kPolkitNoServiceCode, errno_text("system bus", r)};
    session.bus = SdBusConnection(bus);
    r = session.api->set_address(bus, address.c_str());
    if (r >= 0) r = session.api->set_bus_client(bus, 1);
    if (r >= 0) r = session.api->start(bus);
    if (r < 0) return Failure{ActionProbe::NoBus, kPolkitNoServiceCode, errno_text("system bus", r)};
    r = session.api->get_unique_name(bus, &session.unique_name);
    if (r < 0) return Failure{ActionProbe::NoBus, kPolkitNoServiceCode, errno_text("system bus", r)};
    return std::nullopt;
}

std::optional<Failure> check_action_id(std::string_view action_id) {
    if (action_id.empty() || action_id.find('\0') != std::string_view::npos) {
        return Failure{ActionProbe::NotInstalled, kPolkitBadActionCode, "not a polkit action id"};
    }
    return std::nullopt;
}

// A CheckAuthorization call for this connection's own name.
std::optional<Failure> new_check(Session& session, const std::string& action_id, std::uint32_t flags,
                                 const char* cancellation_id, SdBusMessageRef& message) {
    const SdBusApi& api = *session.api;
    SdBusMessage* m = nullptr;
    int r = api.message_new_method_call(session.bus.get(), &m, kAuthority, kAuthorityPath, kAuthorityInterface,
                                        "CheckAuthorization");
    if (r < 0) return Failure{ActionProbe::NoBus, kPolkitFailedCode, errno_text("CheckAuthorization", r)};
    message = SdBusMessageRef(m);
    // Subject (sa{sv}), action id, no details (polkit takes none from a caller that is
    // not root), flags, cancellation id.
    r = api.message_append(m, "(sa{sv})sa{ss}us", "system-bus-name", 1u, "name", "s", session.unique_name,
                           action_id.c_str(), 0u, flags, cancellation_id);
    if (r < 0) return Failure{ActionProbe::NoBus, kPolkitFailedCode, errno_text("CheckAuthorization", r)};
    return std::nullopt;
}

struct Answer {
    bool authorized = false;
    bool challenge = false;
};

// polkit's reply: its (bba{ss}) result, or the failure it is.
std::optional<Failure> read_answer(const SdBusApi& api, SdBusMessage* reply, Answer& answer) {
    if (const SdBusErrorAbi* error = api.message_get_error(reply); error != nullptr) {
        if (is_unknown_action(error->name, error->message)) {
            return Failure{ActionProbe::NotInstalled, kPolkitNoActionCode, error_text(error->name, error->message)};
        }
        const ActionProbe answer_kind = is_no_service(error->name) ? ActionProbe::NoBus : ActionProbe::No;
        const std::int32_t code = is_no_service(error->name) ? kPolkitNoServiceCode : kPolkitFailedCode;
        return Failure{answer_kind, code, error_text(error->name, error->message)};
    }
    int authorized = 0, challenge = 0;
    int r = api.message_enter_container(reply, 'r', "bba{ss}");
    if (r >= 0) r = api.message_read(reply, "bb", &authorized, &challenge);
    if (r < 0) return Failure{ActionProbe::No, kPolkitFailedCode, errno_text("polkit's answer", r)};
    answer.authorized = authorized != 0;
    answer.challenge = challenge != 0;
    return std::nullopt;
}

// An unique id per check of this process, as polkit wants for cancelling one.
std::string next_cancellation_id() {
    static std::atomic<std::uint64_t> counter{0};
    return "biometric-" + std::to_string(::getpid()) + "-" +
           std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
}

// A check that the user may take as long as they like over: sent without a D-Bus
// timeout, waited for in slices; when check_wait says stop, it is cancelled and its reply
// (whatever it says) waited for a little, then the verdict is the result.
struct Interactive {
    std::optional<Answer> answer;  // none: stopped
    WaitVerdict verdict = WaitVerdict::Continue;
};

struct Pending {
    const SdBusApi* api;
    SdBusMessageRef reply;
};

int on_reply(SdBusMessage* m, void* userdata, SdBusErrorAbi*) {
    auto* pending = static_cast<Pending*>(userdata);
    pending->reply = SdBusMessageRef(pending->api->message_ref(m));
    return 1;
}

std::optional<Failure> cancel_check(Session& session, const std::string& cancellation_id) {
    const SdBusApi& api = *session.api;
    SdBusMessage* m = nullptr;
    int r = api.message_new_method_call(session.bus.get(), &m, kAuthority, kAuthorityPath, kAuthorityInterface,
                                        "CancelCheckAuthorization");
    if (r < 0) return Failure{ActionProbe::No, kPolkitFailedCode, errno_text("CancelCheckAuthorization", r)};
    SdBusMessageRef message(m);
    r = api.message_append(m, "s", cancellation_id.c_str());
    // Its own reply is not waited for: the cancelled check's reply says it is done.
    if (r >= 0) r = api.send(session.bus.get(), m, nullptr);
    if (r < 0) return Failure{ActionProbe::No, kPolkitFailedCode, errno_text("CancelCheckAuthorization", r)};
    return std::nullopt;
}

Outcome<Interactive> check_interactively(Session& session, const std::string& action_id) {
    const SdBusApi& api = *session.api;
    const std::string cancellation_id = next_cancellation_id();
    SdBusMessageRef message;
    if (auto failure = new_check(session, action_id, kAllowUserInteraction, cancellation_id.c_str(), message)) {
        return PlatformError::with_text(failure->code, std::move(failure->detail));
    }
    Pending pending{&api, {}};
    SdBusSlotRef slot;
    int r = api.call_async(session.bus.get(), out_param(slot), message.get(), on_reply, &pending, kSdBusNoTimeout);
    if (r < 0) return PlatformError::with_text(kPolkitFailedCode, errno_text("CheckAuthorization", r));

    Interactive result;
    std::optional<std::chrono::steady_clock::time_point> settle_by;
    while (!pending.reply) {
        r = api.process(session.bus.get(), nullptr);
        if (r < 0) return PlatformError::with_text(kPolkitFailedCode, errno_text("system bus", r));
        if (pending.reply) break;
        if (r > 0) continue;
        if (!settle_by) {
            result.verdict = check_wait();
            if (result.verdict != WaitVerdict::Continue) {
                if (auto failure = cancel_check(session, cancellation_id)) {
                    return PlatformError::with_text(failure->code, std::move(failure->detail));
                }
                settle_by = std::chrono::steady_clock::now() + kCancelSettle;
            }
        } else if (std::chrono::steady_clock::now() >= *settle_by) {
            break;  // the verdict stands; dropping the slot forgets the reply
        }
        const auto slice = settle_by ? std::chrono::milliseconds(50) : wait_slice();
        r = api.wait(session.bus.get(), static_cast<std::uint64_t>(slice.count()) * 1000);
        if (r < 0 && r != -EINTR) return PlatformError::with_text(kPolkitFailedCode, errno_text("system bus", r));
    }
    if (settle_by) return result;
    // A reply that came with Ctrl-C (the agent on the terminal ends on it too) is the
    // interruption's: the verification changed nothing either way.
    result.verdict = check_wait();
    if (result.verdict != WaitVerdict::Continue) return result;
    Answer answer;
    if (auto failure = read_answer(api, pending.reply.get(), answer)) {
        return PlatformError::with_text(failure->code, std::move(failure->detail));
    }
    result.answer = answer;
    return result;
}

Verification from_verdict(WaitVerdict verdict) {
    switch (verdict) {
        case WaitVerdict::Interrupted: return Verification::Interrupted;
        case WaitVerdict::Cancelled: return Verification::Cancelled;
        default: return Verification::TimedOut;
    }
}

}  // namespace

ActionProbeResult probe_action(std::string_view action_id) {
    if (auto failure = check_action_id(action_id)) return {failure->answer, std::move(failure->detail)};
    Session session;
    if (auto failure = open_session(session)) return {failure->answer, std::move(failure->detail)};
    const std::string action(action_id);
    const std::string cancellation_id = next_cancellation_id();
    SdBusMessageRef message;
    if (auto failure = new_check(session, action, 0, cancellation_id.c_str(), message)) {
        return {failure->answer, std::move(failure->detail)};
    }
    const SdBusApi& api = *session.api;
    SdBusError error(api);
    SdBusMessage* raw_reply = nullptr;
    const int r = api.call(session.bus.get(), message.get(), kProbeTimeoutUsec, error.get(), &raw_reply);
    SdBusMessageRef reply(raw_reply);
    if (r < 0) {
        if (error.name() == nullptr) return {ActionProbe::NoBus, errno_text("CheckAuthorization", r)};
        if (is_unknown_action(error.name(), error.message())) {
            return {ActionProbe::NotInstalled, error_text(error.name(), error.message())};
        }
        return {is_no_service(error.name()) ? ActionProbe::NoBus : ActionProbe::No,
                error_text(error.name(), error.message())};
    }
    Answer answer;
    if (auto failure = read_answer(api, reply.get(), answer)) return {failure->answer, std::move(failure->detail)};
    if (answer.authorized) return {ActionProbe::Yes, "authorized"};
    if (answer.challenge) return {ActionProbe::Challenge, "the user would be asked"};
    return {ActionProbe::No, "not authorized"};
}

Outcome<Verification> verify_user(std::string_view action_id) {
    if (auto failure = check_action_id(action_id)) {
        return PlatformError::with_text(failure->code, std::move(failure->detail));
    }
    Session session;
    if (auto failure = open_session(session)) return PlatformError::with_text(failure->code, std::move(failure->detail));
    const std::string action(action_id);

    // An agent that serves this process (a desktop's, or one started for it) asks now.
    auto first = check_interactively(session, action);
    if (!first.ok()) return std::move(first.error());
    if (!first.value().answer) return from_verdict(first.value().verdict);
    if (first.value().answer->authorized) return Verification::Verified;
    // Not authorized without a challenge: refused. A challenge after a check that allowed
    // interaction: no agent serves this process.
    if (!first.value().answer->challenge) return Verification::Refused;

    local::UniqueFd terminal(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    // A process in the background of its terminal cannot ask there: the agent would be
    // stopped (SIGTTOU) as it turns echo off.
    if (!terminal || ::tcgetpgrp(terminal.get()) != ::getpgrp()) return Verification::NoAgent;
    TextAgent agent(kTextAgentProgram);
    std::string detail;
    WaitVerdict verdict = WaitVerdict::Continue;
    switch (agent.start(terminal.get(), ::getpid(), &detail, &verdict)) {
        case TextAgent::Start::Registered: break;
        case TextAgent::Start::Failed: return Verification::NoAgent;
        case TextAgent::Start::Stopped: return from_verdict(verdict);
    }
    auto second = check_interactively(session, action);
    agent.stop();
    if (!second.ok()) return std::move(second.error());
    if (!second.value().answer) return from_verdict(second.value().verdict);
    if (second.value().answer->authorized) return Verification::Verified;
    return second.value().answer->challenge ? Verification::NoAgent : Verification::Refused;
}

}  // namespace bio::tpm

#include "tpm/key_service.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include "bus/polkit.h"
#include "bus/sd_bus.h"
#include "keyd/protocol.h"
#include "runtime/environment.h"
#include "runtime/unique_handle.h"

namespace bio::tpm {
namespace {

using bus::kPolkitFailedCode;
using bus::kPolkitNoLibraryCode;
using bus::kSdBusNoTimeout;
using bus::kSystemBusDefault;
using bus::kSystemBusVariable;
using bus::SdBus;
using bus::SdBusApi;
using bus::SdBusConnection;
using bus::SdBusError;
using bus::SdBusErrorAbi;
using bus::SdBusMessage;
using bus::SdBusMessageRef;
using bus::SdBusPendingReply;
using bus::SdBusSlotRef;
using bus::sd_bus_api;

// A call that asks nobody: the service answers it at once, once started (activation
// included).
constexpr std::uint64_t kBriefTimeoutUsec = 30'000'000;
// How long a cancelled request's reply is waited for: the service answers Cancel at once
// unless the TPM is making a key, which it finishes first.
constexpr auto kCancelAnswer = std::chrono::seconds(60);
constexpr const char* kBusInterface = "org.freedesktop.DBus";

std::string errno_text(const char* what, int negative_errno) {
    return std::string(what) + ": " + std::strerror(-negative_errno);
}

PlatformError not_reachable(const std::string& why) {
    return PlatformError::with_text(keyd::kServiceNotReachable,
                                    "the key service biometric-keyd is not installed or does not answer (" + why +
                                        "): run `" + kInstallCommand + "`");
}

PlatformError bus_failure(const std::string& why) { return PlatformError::with_text(kPolkitFailedCode, why); }

// The bus's errors that say the service is not there: nobody owns its name and the bus
// cannot start it, starting it failed, or it went away before it answered.
bool is_unreachable(const char* name) {
    if (name == nullptr) return false;
    static constexpr const char* kNames[] = {"org.freedesktop.DBus.Error.ServiceUnknown",
                                             "org.freedesktop.DBus.Error.NameHasNoOwner",
                                             "org.freedesktop.DBus.Error.NoReply",
                                             "org.freedesktop.DBus.Error.Disconnected",
                                             "org.freedesktop.DBus.Error.TimedOut"};
    for (const char* known : kNames) {
        if (std::strcmp(name, known) == 0) return true;
    }
    return std::strncmp(name, "org.freedesktop.DBus.Error.Spawn.", 33) == 0;
}

struct Connection {
    const SdBusApi* api = nullptr;
    SdBusConnection bus;
    std::string address;
    pid_t pid = 0;
};

std::string bus_address() {
    // The request's reading of the address: the program may be changing the environment.
    const std::optional<std::string> configured = request_variable(kSystemBusVariable);
    return configured && !configured->empty() ? *configured : std::string(kSystemBusDefault);
}

Outcome<Connection> connect() {
    Connection connection;
    std::string why;
    connection.api = sd_bus_api(&why);
    if (connection.api == nullptr) return PlatformError::with_text(kPolkitNoLibraryCode, why);
    const std::string address = bus_address();
    connection.address = address;
    connection.pid = ::getpid();
    SdBus* bus = nullptr;
    int r = connection.api->new_bus(&bus);
    if (r < 0) return not_reachable(errno_text("system bus", r));
    connection.bus = SdBusConnection(bus);
    r = connection.api->set_address(bus, address.c_str());
    if (r >= 0) r = connection.api->set_bus_client(bus, 1);
    if (r >= 0) r = connection.api->start(bus);
    if (r < 0) return not_reachable(errno_text(("system bus " + address).c_str(), r));
    return connection;
}

std::uint64_t next_request() {
    static std::atomic<std::uint64_t> counter{0};
    return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

int append(const SdBusApi& api, SdBusMessage* m, const ServiceArgument& argument) {
    if (const auto* number = std::get_if<std::uint64_t>(&argument)) return api.message_append(m, "t", *number);
    if (const auto* text = std::get_if<std::string>(&argument)) {
        // D-Bus strings hold no NUL: a name with one is refused here, as the service would.
        if (text->find('\0') != std::string::npos) return -EINVAL;
        return api.message_append(m, "s", text->c_str());
    }
    if (const auto* flag = std::get_if<bool>(&argument)) return api.message_append(m, "b", *flag ? 1 : 0);
    const auto& bytes = std::get<std::span<const std::uint8_t>>(argument);
    return api.message_append_array(m, 'y', bytes.data(), bytes.size());
}

Outcome<SdBusMessageRef> new_call(const Connection& connection, const char* member,
                                  std::span<const ServiceArgument> arguments) {
    const SdBusApi& api = *connection.api;
    SdBusMessage* m = nullptr;
    int r = api.message_new_method_call(connection.bus.get(), &m, keyd::kBusName, keyd::kObjectPath,
                                        keyd::kInterface, member);
    if (r < 0) return bus_failure(errno_text(member, r));
    SdBusMessageRef message(m);
    for (const ServiceArgument& argument : arguments) {
        r = append(api, m, argument);
        if (r == -EINVAL) return PlatformError::with_text(keyd::kBadArgument, "an argument D-Bus cannot carry");
        if (r < 0) return bus_failure(errno_text(member, r));
    }
    return message;
}

Outcome<ServiceReply> read_reply(const SdBusApi& api, SdBusMessage* reply, const char* shape) {
    if (const SdBusErrorAbi* error = api.message_get_error(reply); error != nullptr) {
        std::string words = error->name != nullptr ? error->name : "error";
        if (error->message != nullptr && *error->message != '\0') words.append(": ").append(error->message);
        return is_unreachable(error->name) ? not_reachable(words) : bus_failure(words);
    }
    std::int32_t code = 0;
    const char* text = nullptr;
    int r = api.message_read(reply, "is", &code, &text);
    if (r < 0) return bus_failure(errno_text("the key service's reply", r));
    if (code != 0) return PlatformError::with_text(code, text != nullptr ? text : "");
    ServiceReply read;
    for (const char* type = shape; *type != '\0' && r >= 0; ++type) {
        if (*type == 'i') {
            std::int32_t number = 0;
            r = api.message_read(reply, "i", &number);
            read.numbers.push_back(number);
        } else if (*type == 's') {
            const char* words = nullptr;
            r = api.message_read(reply, "s", &words);
            read.strings.emplace_back(r > 0 && words != nullptr ? words : "");
        } else {
            const void* data = nullptr;
            std::size_t size = 0;
            r = api.message_read_array(reply, 'y', &data, &size);
            const auto* bytes = static_cast<const std::uint8_t*>(data);
            read.arrays.emplace_back(bytes, bytes + (r >= 0 ? size : 0));
            ++type;  // "ay" is two characters
        }
        // sd-bus answers 0 where the message has no more arguments: not the reply we asked for.
        if (r == 0) r = -EBADMSG;
    }
    if (r < 0) return bus_failure(errno_text("the key service's reply", r));
    return read;
}

Outcome<void> send_cancel(const Connection& connection, std::uint64_t request) {
    const ServiceArgument number[] = {request};
    Outcome<SdBusMessageRef> message = new_call(connection, "Cancel", number);
    if (!message.ok()) return std::move(message.error());
    // Its own reply is not waited for: the request's reply says it is done.
    const int r = connection.api->send(connection.bus.get(), message.value().get(), nullptr);
    if (r < 0) return bus_failure(errno_text("Cancel", r));
    return {};
}

// This thread's connection, kept between its calls while it is open, goes to the address
// the environment names now, and belongs to this process (a forked child makes its own:
// sd-bus refuses a parent's connection there).
thread_local Connection kept;

Outcome<Connection*> thread_connection() {
    if (kept.bus && kept.pid == ::getpid() && kept.api->is_open(kept.bus.get()) > 0 && kept.address == bus_address()) {
        return &kept;
    }
    kept = Connection{};
    Outcome<Connection> connected = connect();
    if (!connected.ok()) return std::move(connected.error());
    kept = std::move(connected.value());
    return &kept;
}

// One call of the service on `connection`, waited for as `waiting` says.
Outcome<ServiceReply> call_on(const Connection& connection, const char* member,
                              std::span<const ServiceArgument> arguments, const char* shape, Waiting waiting) {
    const SdBusApi& api = *connection.api;

    const bool numbered = waiting == Waiting::ForTheUser;
    const std::uint64_t request = numbered ? next_request() : 0;
    std::vector<ServiceArgument> all;
    if (numbered) all.emplace_back(request);
    all.insert(all.end(), arguments.begin(), arguments.end());
    Outcome<SdBusMessageRef> message = new_call(connection, member, all);
    if (!message.ok()) return std::move(message.error());

    SdBusPendingReply pending{&api, {}};
    SdBusSlotRef slot;
    int r = api.call_async(connection.bus.get(), out_param(slot), message.value().get(), SdBusPendingReply::on_reply,
                           &pending, numbered ? kSdBusNoTimeout : kBriefTimeoutUsec);
    if (r < 0) return bus_failure(errno_text(member, r));

    WaitVerdict stopped_by = WaitVerdict::Continue;
    std::optional<std::chrono::steady_clock::time_point> answer_by;
    while (!pending.reply) {
        r = api.process(connection.bus.get(), nullptr);
        if (r < 0) return not_reachable(errno_text("system bus", r));
        if (pending.reply) break;
        if (r > 0) continue;
        if (numbered && !answer_by) {
            stopped_by = check_wait();
            if (stopped_by != WaitVerdict::Continue) {
                if (Outcome<void> sent = send_cancel(connection, request); !sent.ok()) return std::move(sent.error());
                answer_by = std::chrono::steady_clock::now() + kCancelAnswer;
            }
        } else if (answer_by && std::chrono::steady_clock::now() >= *answer_by) {
            // Neither "nothing changed" nor a result can be said: a failure, not a cancellation.
            return bus_failure(std::string("the key service did not answer the cancellation of ") + member);
        }
        const auto slice = numbered && !answer_by ? wait_slice() : std::chrono::milliseconds(50);
        r = api.wait(connection.bus.get(), static_cast<std::uint64_t>(slice.count()) * 1000);
        if (r < 0 && r != -EINTR) return not_reachable(errno_text("system bus", r));
    }
    Outcome<ServiceReply> read = read_reply(api, pending.reply.get(), shape);
    if (read.ok()) read.value().stopped_by = stopped_by;
    return read;
}

}  // namespace

Outcome<ServiceReply> call_service(const char* member, std::span<const ServiceArgument> arguments, const char* shape,
                                   Waiting waiting) {
    Outcome<Connection*> connected = thread_connection();
    if (!connected.ok()) return std::move(connected.error());
    Outcome<ServiceReply> reply = call_on(*connected.value(), member, arguments, shape, waiting);
    // A connection that failed under the call is not kept.
    if (!reply.ok() && (reply.error().code() == keyd::kServiceNotReachable || reply.error().code() == kPolkitFailedCode)) {
        kept = Connection{};
    }
    return reply;
}

bool service_installed() {
    if (::access(kActivationFile, F_OK) == 0) return true;
    Outcome<Connection> connected = connect();
    if (!connected.ok()) return false;
    const Connection& connection = connected.value();
    const SdBusApi& api = *connection.api;
    SdBusMessage* m = nullptr;
    if (api.message_new_method_call(connection.bus.get(), &m, kBusInterface, "/org/freedesktop/DBus", kBusInterface,
                                    "ListActivatableNames") < 0) {
        return false;
    }
    SdBusMessageRef message(m);
    SdBusError error(api);
    SdBusMessage* raw_reply = nullptr;
    const int r = api.call(connection.bus.get(), m, kBriefTimeoutUsec, error.get(), &raw_reply);
    SdBusMessageRef reply(raw_reply);
    if (r < 0 || api.message_enter_container(raw_reply, 'a', "s") < 0) return false;
    const char* name = nullptr;
    while (api.message_read(raw_reply, "s", &name) > 0) {
        if (std::strcmp(name, keyd::kBusName) == 0) return true;
    }
    return false;
}

}  // namespace bio::tpm

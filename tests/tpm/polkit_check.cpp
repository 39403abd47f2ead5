// Times polkit's round trips as a process makes them itself (not as biometric-keyd asks
// for its callers): a check without interaction and one that allows it, each on a system
// bus connection of its own (connect, CheckAuthorization for this connection's name,
// close), for a process that polkit answers without asking (root).
//   bio_polkit_check time ACTION COUNT
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "bus/polkit.h"
#include "bus/sd_bus.h"
#include "runtime/unique_handle.h"

namespace {

using namespace bio::bus;

constexpr const char* kAuthority = "org.freedesktop.PolicyKit1";
constexpr const char* kAuthorityPath = "/org/freedesktop/PolicyKit1/Authority";
constexpr const char* kAuthorityInterface = "org.freedesktop.PolicyKit1.Authority";
constexpr std::uint32_t kAllowUserInteraction = 1;
constexpr std::uint64_t kCallTimeoutUsec = 5'000'000;

std::string errno_text(const char* what, int r) { return std::string(what) + ": " + std::strerror(-r); }

// polkit's answer to one CheckAuthorization, or why there is none.
struct Answer {
    bool authorized = false;
    bool challenge = false;
    std::string failure;  // empty when polkit answered
};

Answer failed(std::string why) { return Answer{false, false, std::move(why)}; }

Answer failed(const char* name, const char* message) {
    std::string text = name != nullptr ? name : "error";
    if (message != nullptr && *message != '\0') text.append(": ").append(message);
    return failed(text);
}

Answer read_answer(const SdBusApi& api, SdBusMessage* reply) {
    if (const SdBusErrorAbi* error = api.message_get_error(reply); error != nullptr) {
        return failed(error->name, error->message);
    }
    int authorized = 0, challenge = 0;
    int r = api.message_enter_container(reply, 'r', "bba{ss}");
    if (r >= 0) r = api.message_read(reply, "bb", &authorized, &challenge);
    if (r < 0) return failed(errno_text("polkit's answer", r));
    return Answer{authorized != 0, challenge != 0, {}};
}

// One check on a connection of its own. With interaction allowed the call has no
// timeout (a user may take as long as they like) and is waited for as a reply to an
// asynchronous call; without, it is a plain bounded call.
Answer check(const char* action, std::uint32_t flags) {
    std::string why;
    const SdBusApi* api = sd_bus_api(&why);
    if (api == nullptr) return failed(why);
    const char* configured = std::getenv(kSystemBusVariable);
    SdBus* raw_bus = nullptr;
    int r = api->new_bus(&raw_bus);
    if (r < 0) return failed(errno_text("system bus", r));
    const SdBusConnection bus(raw_bus);
    r = api->set_address(raw_bus, configured != nullptr && *configured != '\0' ? configured : kSystemBusDefault);
    if (r >= 0) r = api->set_bus_client(raw_bus, 1);
    if (r >= 0) r = api->start(raw_bus);
    const char* unique_name = nullptr;
    if (r >= 0) r = api->get_unique_name(raw_bus, &unique_name);
    if (r < 0) return failed(errno_text("system bus", r));

    SdBusMessage* m = nullptr;
    r = api->message_new_method_call(raw_bus, &m, kAuthority, kAuthorityPath, kAuthorityInterface,
                                     "CheckAuthorization");
    if (r < 0) return failed(errno_text("CheckAuthorization", r));
    const SdBusMessageRef message(m);
    // Subject (sa{sv}), action id, no details, flags, no cancellation id.
    r = api->message_append(m, "(sa{sv})sa{ss}us", "system-bus-name", 1u, "name", "s", unique_name, action, 0u, flags,
                            "");
    if (r < 0) return failed(errno_text("CheckAuthorization", r));

    if ((flags & kAllowUserInteraction) == 0) {
        SdBusError error(*api);
        SdBusMessage* raw_reply = nullptr;
        r = api->call(raw_bus, m, kCallTimeoutUsec, error.get(), &raw_reply);
        const SdBusMessageRef reply(raw_reply);
        if (r < 0) {
            return error.name() != nullptr ? failed(error.name(), error.message())
                                           : failed(errno_text("CheckAuthorization", r));
        }
        return read_answer(*api, raw_reply);
    }
    SdBusPendingReply pending{api, {}};
    SdBusSlotRef slot;
    r = api->call_async(raw_bus, bio::out_param(slot), m, SdBusPendingReply::on_reply, &pending, kSdBusNoTimeout);
    if (r < 0) return failed(errno_text("CheckAuthorization", r));
    while (!pending.reply) {
        r = api->process(raw_bus, nullptr);
        if (r < 0) return failed(errno_text("system bus", r));
        if (r > 0 || pending.reply) continue;
        r = api->wait(raw_bus, kCallTimeoutUsec);
        if (r < 0 && r != -EINTR) return failed(errno_text("system bus", r));
    }
    return read_answer(*api, pending.reply.get());
}

double milliseconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

int time_calls(const char* action, int count) {
    std::vector<double> probes, verifications;
    for (int i = 0; i < count; ++i) {
        auto start = std::chrono::steady_clock::now();
        const Answer probe = check(action, 0);
        probes.push_back(milliseconds_since(start));
        start = std::chrono::steady_clock::now();
        const Answer verification = check(action, kAllowUserInteraction);
        verifications.push_back(milliseconds_since(start));
        for (const Answer* answer : {&probe, &verification}) {
            if (!answer->failure.empty()) {
                std::printf("time: polkit did not answer: %s\n", answer->failure.c_str());
                return 2;
            }
            if (!answer->authorized) {
                std::printf("time: needs an action this process is allowed without asking (root)\n");
                return 2;
            }
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
    if (argc != 4 || std::string(argv[1]) != "time" || argv[2][0] == '\0' || std::atoi(argv[3]) < 1) {
        std::fprintf(stderr, "usage: %s time ACTION COUNT (COUNT at least 1)\n", argv[0]);
        return 2;
    }
    return time_calls(argv[2], std::atoi(argv[3]));
}

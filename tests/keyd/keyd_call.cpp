// Calls biometric-keyd as one process with several requests on one connection, to see by
// hand (and in the CI stage) how it answers them: each request's reply in the order they
// come, with the time since the start.
//   keyd_call sign NAME COUNT          COUNT Signs of NAME at once, and one VerifyUser
//   keyd_call cancel NAME MILLISECONDS a Sign of NAME, cancelled (Cancel) after that long
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bus/polkit.h"
#include "bus/sd_bus.h"
#include "keyd/protocol.h"
#include "runtime/unique_handle.h"

namespace {

using namespace bio::bus;
using bio::out_param;

const SdBusApi* g_api = nullptr;
const auto g_start = std::chrono::steady_clock::now();

double elapsed_ms() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - g_start).count();
}

struct Pending {
    std::string what;
    SdBusSlotRef slot;
    bool done = false;
};

int on_reply(SdBusMessage* m, void* userdata, SdBusErrorAbi*) {
    auto* pending = static_cast<Pending*>(userdata);
    pending->done = true;
    if (const SdBusErrorAbi* error = g_api->message_get_error(m); error != nullptr) {
        std::printf("%8.1f ms  %s: D-Bus error %s: %s\n", elapsed_ms(), pending->what.c_str(), error->name,
                    error->message != nullptr ? error->message : "");
        return 1;
    }
    if (pending->what.rfind("Cancel", 0) == 0) {
        std::printf("%8.1f ms  %s: replied\n", elapsed_ms(), pending->what.c_str());
        return 1;
    }
    int code = 0, value = 0;
    const char* text = nullptr;
    int r = g_api->message_read(m, "isi", &code, &text, &value);
    const void* bytes = nullptr;
    std::size_t size = 0;
    if (r >= 0 && pending->what.rfind("Sign", 0) == 0) r = g_api->message_read_array(m, 'y', &bytes, &size);
    if (r < 0) {
        std::printf("%8.1f ms  %s: unreadable reply\n", elapsed_ms(), pending->what.c_str());
        return 1;
    }
    std::printf("%8.1f ms  %s: code %d, value %d, %zu bytes%s%s\n", elapsed_ms(), pending->what.c_str(), code, value,
                size, text != nullptr && *text != '\0' ? ", " : "", text != nullptr ? text : "");
    return 1;
}

int fail(const char* what, int r) {
    std::fprintf(stderr, "keyd_call: %s: %s\n", what, std::strerror(-r));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || (std::strcmp(argv[1], "sign") != 0 && std::strcmp(argv[1], "cancel") != 0)) {
        std::fprintf(stderr, "usage: keyd_call sign NAME COUNT | keyd_call cancel NAME MILLISECONDS\n");
        return 2;
    }
    std::string why;
    g_api = sd_bus_api(&why);
    if (g_api == nullptr) {
        std::fprintf(stderr, "keyd_call: %s\n", why.c_str());
        return 1;
    }
    const SdBusApi& api = *g_api;
    const char* configured = std::getenv(kSystemBusVariable);
    SdBusConnection bus;
    int r = api.new_bus(out_param(bus));
    if (r >= 0) r = api.set_address(bus.get(), configured != nullptr && *configured != '\0' ? configured : kSystemBusDefault);
    if (r >= 0) r = api.set_bus_client(bus.get(), 1);
    if (r >= 0) r = api.start(bus.get());
    if (r < 0) return fail("system bus", r);

    const bool cancel = std::strcmp(argv[1], "cancel") == 0;
    const int count = cancel ? 1 : std::atoi(argv[3]);
    std::vector<std::unique_ptr<Pending>> pending;
    const auto send = [&](const char* member, std::uint64_t number, const std::string& what) -> int {
        SdBusMessage* m = nullptr;
        int r = api.message_new_method_call(bus.get(), &m, bio::keyd::kBusName, bio::keyd::kObjectPath,
                                            bio::keyd::kInterface, member);
        if (r < 0) return r;
        SdBusMessageRef message(m);
        if (std::strcmp(member, "Sign") == 0) {
            const std::string data = "data " + std::to_string(number);
            r = api.message_append(m, "ts", number, argv[2]);
            if (r >= 0) r = api.message_append_array(m, 'y', data.data(), data.size());
        } else if (std::strcmp(member, "VerifyUser") == 0) {
            r = api.message_append(m, "ts", number, "keyd_call asks");
        } else {
            r = api.message_append(m, "t", number);
        }
        if (r < 0) return r;
        auto p = std::make_unique<Pending>();
        p->what = what;
        r = api.call_async(bus.get(), out_param(p->slot), m, on_reply, p.get(), kSdBusNoTimeout);
        if (r >= 0) pending.push_back(std::move(p));
        return r;
    };
    for (int i = 1; i <= count; ++i) {
        if ((r = send("Sign", static_cast<std::uint64_t>(i), "Sign #" + std::to_string(i))) < 0) return fail("Sign", r);
    }
    if (!cancel && (r = send("VerifyUser", static_cast<std::uint64_t>(count + 1), "VerifyUser")) < 0) {
        return fail("VerifyUser", r);
    }
    const double cancel_at = cancel ? std::atof(argv[3]) : -1;
    bool cancel_sent = false;
    for (;;) {
        bool all = true;
        for (const auto& p : pending) all = all && p->done;
        if (all) break;
        if (cancel && !cancel_sent && elapsed_ms() >= cancel_at) {
            std::printf("%8.1f ms  Cancel #1 sent\n", elapsed_ms());
            if ((r = send("Cancel", 1, "Cancel #1")) < 0) return fail("Cancel", r);
            cancel_sent = true;
            continue;
        }
        r = api.process(bus.get(), nullptr);
        if (r < 0) return fail("system bus", r);
        if (r > 0) continue;
        r = api.wait(bus.get(), 20'000);
        if (r < 0 && r != -EINTR) return fail("system bus", r);
    }
    return 0;
}

#include "keyd/bus_server.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "bus/polkit.h"
#include "bus/sd_bus.h"
#include "keyd/protocol.h"
#include "keyd/request.h"
#include "keyd/service.h"
#include "keyd/tpm_engine.h"
#include "keyd/user_store.h"
#include "local/unique_fd.h"
#include "utf8.h"

namespace bio::keyd {
namespace {

using bus::SdBus;
using bus::SdBusApi;
using bus::SdBusErrorAbi;
using bus::SdBusMessage;
using bus::SdBusMessageRef;
using bus::SdBusSlotRef;
using bus::SdBusTrack;
using bus::SdBusTrackRef;

constexpr const char* kAuthority = "org.freedesktop.PolicyKit1";
constexpr const char* kAuthorityPath = "/org/freedesktop/PolicyKit1/Authority";
constexpr const char* kAuthorityInterface = "org.freedesktop.PolicyKit1.Authority";
constexpr std::uint32_t kAllowUserInteraction = 1;
constexpr std::uint8_t kMethodCall = 1;  // SD_BUS_MESSAGE_METHOD_CALL

constexpr const char* kIntrospection =
    "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n"
    "<node>\n"
    " <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
    "  <method name=\"Introspect\"><arg name=\"xml\" type=\"s\" direction=\"out\"/></method>\n"
    " </interface>\n"
    " <interface name=\"org.biometric.KeyCredentials1\">\n"
    "  <method name=\"Availability\"><arg name=\"code\" type=\"i\" direction=\"out\"/>"
    "<arg name=\"text\" type=\"s\" direction=\"out\"/><arg name=\"availability\" type=\"i\" direction=\"out\"/>"
    "<arg name=\"reason\" type=\"s\" direction=\"out\"/></method>\n"
    "  <method name=\"Create\"><arg name=\"request\" type=\"t\"/><arg name=\"name\" type=\"s\"/>"
    "<arg name=\"replace\" type=\"b\"/><arg name=\"code\" type=\"i\" direction=\"out\"/>"
    "<arg name=\"text\" type=\"s\" direction=\"out\"/><arg name=\"status\" type=\"i\" direction=\"out\"/>"
    "<arg name=\"public_key\" type=\"ay\" direction=\"out\"/></method>\n"
    "  <method name=\"Open\"><arg name=\"name\" type=\"s\"/><arg name=\"code\" type=\"i\" direction=\"out\"/>"
    "<arg name=\"text\" type=\"s\" direction=\"out\"/><arg name=\"status\" type=\"i\" direction=\"out\"/>"
    "<arg name=\"public_key\" type=\"ay\" direction=\"out\"/></method>\n"
    "  <method name=\"Sign\"><arg name=\"request\" type=\"t\"/><arg name=\"name\" type=\"s\"/>"
    "<arg name=\"data\" type=\"ay\"/><arg name=\"code\" type=\"i\" direction=\"out\"/>"
    "<arg name=\"text\" type=\"s\" direction=\"out\"/><arg name=\"status\" type=\"i\" direction=\"out\"/>"
    "<arg name=\"signature\" type=\"ay\" direction=\"out\"/></method>\n"
    "  <method name=\"Delete\"><arg name=\"name\" type=\"s\"/><arg name=\"code\" type=\"i\" direction=\"out\"/>"
    "<arg name=\"text\" type=\"s\" direction=\"out\"/><arg name=\"status\" type=\"i\" direction=\"out\"/></method>\n"
    "  <method name=\"VerifyUser\"><arg name=\"request\" type=\"t\"/><arg name=\"message\" type=\"s\"/>"
    "<arg name=\"code\" type=\"i\" direction=\"out\"/><arg name=\"text\" type=\"s\" direction=\"out\"/>"
    "<arg name=\"result\" type=\"i\" direction=\"out\"/></method>\n"
    "  <method name=\"Attestation\"><arg name=\"name\" type=\"s\"/><arg name=\"code\" type=\"i\" direction=\"out\"/>"
    "<arg name=\"text\" type=\"s\" direction=\"out\"/><arg name=\"status\" type=\"i\" direction=\"out\"/>"
    "<arg name=\"chain\" type=\"ay\" direction=\"out\"/><arg name=\"attestation\" type=\"ay\" direction=\"out\"/>"
    "</method>\n"
    "  <method name=\"Cancel\"><arg name=\"request\" type=\"t\"/></method>\n"
    " </interface>\n"
    "</node>\n";

void log(const std::string& text) { std::fprintf(stderr, "biometric-keyd: %s\n", text.c_str()); }

std::string errno_text(const char* what, int negative_errno) {
    return std::string(what) + ": " + std::strerror(-negative_errno);
}

std::uint64_t now_usec() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

// polkit over the service's own connection: one asynchronous CheckAuthorization per
// request, its slot kept until the reply came (dropping it forgets the call).
class PolkitAuthority final : public Authority {
public:
    PolkitAuthority(const SdBusApi& api, SdBus* bus) : api_(api), bus_(bus) {}

    void check(const Caller& caller, const CheckDetails& details, const std::string& cancellation_id,
               std::function<void(Outcome<Verdict>)> done) override {
        auto call = std::make_unique<Call>();
        call->owner = this;
        call->id = cancellation_id;
        call->done = std::move(done);
        SdBusMessage* m = nullptr;
        int r = api_.message_new_method_call(bus_, &m, kAuthority, kAuthorityPath, kAuthorityInterface,
                                             "CheckAuthorization");
        SdBusMessageRef message(m);
        if (r >= 0) {
            r = api_.message_append(m, "(sa{sv})sa{ss}us", "system-bus-name", 1u, "name", "s", caller.bus_name.c_str(),
                                    kVerifyAction, 3u, kDetailOperation, details.operation.c_str(), kDetailName,
                                    details.name.c_str(), kDetailMessage, details.message.c_str(),
                                    details.interactive ? kAllowUserInteraction : 0u, cancellation_id.c_str());
        }
        if (r >= 0) {
            r = api_.call_async(bus_, out_param(call->slot), m, on_reply, call.get(), bus::kSdBusNoTimeout);
        }
        if (r < 0) {
            call->done(PlatformError::with_text(bus::kPolkitFailedCode, errno_text("CheckAuthorization", r)));
            return;
        }
        calls_[cancellation_id] = std::move(call);
    }

    void cancel(const std::string& cancellation_id) override {
        if (calls_.count(cancellation_id) == 0) return;
        SdBusMessage* m = nullptr;
        int r = api_.message_new_method_call(bus_, &m, kAuthority, kAuthorityPath, kAuthorityInterface,
                                             "CancelCheckAuthorization");
        SdBusMessageRef message(m);
        if (r >= 0) r = api_.message_append(m, "s", cancellation_id.c_str());
        // Its own reply is not waited for: the cancelled check's reply says it is done.
        if (r >= 0) r = api_.send(bus_, m, nullptr);
        if (r < 0) log(errno_text("CancelCheckAuthorization", r));
    }

    // Slots of calls that replied, dropped outside their callbacks.
    void drop_finished() { finished_.clear(); }

private:
    struct Call {
        PolkitAuthority* owner = nullptr;
        std::string id;
        SdBusSlotRef slot;
        std::function<void(Outcome<Verdict>)> done;
    };

    static int on_reply(SdBusMessage* reply, void* userdata, SdBusErrorAbi*) {
        auto* call = static_cast<Call*>(userdata);
        PolkitAuthority& self = *call->owner;
        const auto it = self.calls_.find(call->id);
        if (it == self.calls_.end()) return 1;
        std::unique_ptr<Call> owned = std::move(it->second);
        self.calls_.erase(it);
        Outcome<Verdict> verdict = self.read(reply);
        auto done = std::move(owned->done);
        self.finished_.push_back(std::move(owned));
        done(std::move(verdict));
        return 1;
    }

    Outcome<Verdict> read(SdBusMessage* reply) {
        if (const SdBusErrorAbi* error = api_.message_get_error(reply); error != nullptr) {
            const std::string name = error->name != nullptr ? error->name : "error";
            const std::string text = name + (error->message != nullptr ? std::string(": ") + error->message : "");
            if (name == "org.freedesktop.PolicyKit1.Error.Cancelled") return Verdict::Cancelled;
            if (error->message != nullptr && std::strstr(error->message, "not registered") != nullptr) {
                return PlatformError::with_text(bus::kPolkitNoActionCode, text);
            }
            if (name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
                name == "org.freedesktop.DBus.Error.NameHasNoOwner") {
                return PlatformError::with_text(bus::kPolkitNoServiceCode, text);
            }
            return PlatformError::with_text(bus::kPolkitFailedCode, text);
        }
        int authorized = 0, challenge = 0;
        int r = api_.message_enter_container(reply, 'r', "bba{ss}");
        if (r >= 0) r = api_.message_read(reply, "bb", &authorized, &challenge);
        if (r < 0) return PlatformError::with_text(bus::kPolkitFailedCode, errno_text("polkit's answer", r));
        if (authorized != 0) return Verdict::Authorized;
        return challenge != 0 ? Verdict::NoAgent : Verdict::NotAuthorized;
    }

    const SdBusApi& api_;
    SdBus* bus_;
    std::map<std::string, std::unique_ptr<Call>> calls_;
    std::vector<std::unique_ptr<Call>> finished_;
};

class Server {
public:
    Server(const SdBusApi& api, SdBus* bus, const ServerOptions& options, MainQueue& main)
        : api_(api),
          bus_(bus),
          store_(options.state_directory),
          authority_(api, bus),
          engine_(options.tcti, main),
          service_(store_, authority_, engine_) {}

    int add_object() { return api_.add_object(bus_, out_param(object_), kObjectPath, on_message, this); }

    void after_dispatch() {
        authority_.drop_finished();
        left_.clear();
    }

    std::size_t pending() const noexcept { return service_.pending(); }
    std::uint64_t last_activity() const noexcept { return last_activity_; }
    // The polkit checks of callers that left that are due to be cancelled; when the next is.
    std::uint64_t cancel_left_checks(std::uint64_t now) { return service_.cancel_left_checks(now); }

private:
    static int on_message(SdBusMessage* m, void* userdata, SdBusErrorAbi*) {
        return static_cast<Server*>(userdata)->dispatch(m);
    }

    // A D-Bus error reply to `call`.
    void reply_error(SdBusMessage* call, const char* name, const std::string& text) {
        const std::string clean = utf8_lossy(text);
        const SdBusErrorAbi error{name, clean.c_str(), 0};
        SdBusMessage* m = nullptr;
        if (api_.message_new_method_error(call, &m, &error) < 0) return;
        SdBusMessageRef reply(m);
        api_.send(bus_, m, nullptr);
    }

    void send_reply(SdBusMessage* call, Operation operation, const Reply& reply) {
        SdBusMessage* m = nullptr;
        if (api_.message_new_method_return(call, &m) < 0) return;
        SdBusMessageRef message(m);
        const std::string text = utf8_lossy(reply.text);
        int r = 0;
        switch (operation) {
            case Operation::Cancel: break;
            case Operation::Availability:
                r = api_.message_append(m, "isis", reply.code, text.c_str(), reply.value, utf8_lossy(reply.reason).c_str());
                break;
            case Operation::Create:
            case Operation::Open:
            case Operation::Sign:
                r = api_.message_append(m, "isi", reply.code, text.c_str(), reply.value);
                if (r >= 0) r = api_.message_append_array(m, 'y', reply.bytes.data(), reply.bytes.size());
                break;
            case Operation::Delete:
            case Operation::VerifyUser: r = api_.message_append(m, "isi", reply.code, text.c_str(), reply.value); break;
            case Operation::Attestation:
                r = api_.message_append(m, "isi", reply.code, text.c_str(), reply.value);
                if (r >= 0) r = api_.message_append_array(m, 'y', nullptr, 0);
                if (r >= 0) r = api_.message_append_array(m, 'y', nullptr, 0);
                break;
        }
        if (r >= 0) r = api_.send(bus_, m, nullptr);
        if (r < 0 && r != -ENOTCONN) log(errno_text("reply", r));
    }

    // Who sent `m`, from the bus (never from the message's contents): its connection's
    // uid and pid, which a unique name keeps for its whole life (it is never reused), so
    // they are asked once per connection and forgotten when it leaves.
    std::optional<Caller> caller_of(SdBusMessage* m) {
        const char* sender = api_.message_get_sender(m);
        if (sender == nullptr) return std::nullopt;
        if (const auto known = callers_.find(sender); known != callers_.end()) return known->second;
        bus::SdBusCredsRef creds;
        const int r = api_.query_sender_creds(m, bus::kSdBusCredsEuid | bus::kSdBusCredsPid, out_param(creds));
        uid_t uid = 0;
        if (r < 0 || api_.creds_get_euid(creds.get(), &uid) < 0) return std::nullopt;
        Caller caller{uid, sender, -1};
        pid_t pid = 0;
        if (api_.creds_get_pid(creds.get(), &pid) >= 0 && pid > 0) caller.pid = pid;
        // Kept only while the bus tells when the name leaves.
        if (track(caller.bus_name)) callers_.emplace(caller.bus_name, caller);
        return caller;
    }

    // The caller leaving the bus cancels its requests.
    bool track(const std::string& bus_name) {
        if (tracks_.count(bus_name) != 0) return true;
        auto watched = std::make_unique<Watched>();
        watched->server = this;
        watched->bus_name = bus_name;
        int r = api_.track_new(bus_, out_param(watched->track), on_left, watched.get());
        if (r >= 0) r = api_.track_add_name(watched->track.get(), bus_name.c_str());
        if (r < 0) {
            log(errno_text("watching a caller", r));
            return false;
        }
        tracks_[bus_name] = std::move(watched);
        return true;
    }

    struct Watched {
        Server* server = nullptr;
        std::string bus_name;
        SdBusTrackRef track;
    };

    static int on_left(SdBusTrack*, void* userdata) {
        auto* watched = static_cast<Watched*>(userdata);
        Server& self = *watched->server;
        const std::string name = watched->bus_name;
        const auto it = self.tracks_.find(name);
        if (it != self.tracks_.end()) {
            self.left_.push_back(std::move(it->second));
            self.tracks_.erase(it);
        }
        self.callers_.erase(name);
        self.service_.caller_left(name, now_usec());
        return 0;
    }

    int dispatch(SdBusMessage* m) {
        std::uint8_t type = 0;
        if (api_.message_get_type(m, &type) < 0 || type != kMethodCall) return 0;
        last_activity_ = now_usec();
        const char* interface = api_.message_get_interface(m);
        const char* member = api_.message_get_member(m);
        if (member == nullptr) return 0;
        if (interface != nullptr && std::strcmp(interface, "org.freedesktop.DBus.Introspectable") == 0) {
            if (std::strcmp(member, "Introspect") != 0) return 0;
            SdBusMessage* reply = nullptr;
            if (api_.message_new_method_return(m, &reply) < 0) return 1;
            SdBusMessageRef owned(reply);
            if (api_.message_append(reply, "s", kIntrospection) >= 0) api_.send(bus_, reply, nullptr);
            return 1;
        }
        if (interface != nullptr && std::strcmp(interface, kInterface) != 0) return 0;

        const char* signature = api_.message_get_signature(m, 1);
        CallFields fields;
        fields.member = member;
        fields.signature = signature != nullptr ? signature : "";
        Operation operation = Operation::Availability;
        const char* text = nullptr;
        if (operation_of_member(fields.member, operation) && fields.signature == argument_signature(operation)) {
            int flag = 0;
            int r = 0;
            const void* bytes = nullptr;
            std::size_t size = 0;
            for (const char c : fields.signature) {
                if (r < 0) break;
                switch (c) {
                    case 't': r = api_.message_read(m, "t", &fields.number); break;
                    case 's': r = api_.message_read(m, "s", &text); break;
                    case 'b': r = api_.message_read(m, "b", &flag); break;
                    case 'a': r = api_.message_read_array(m, 'y', &bytes, &size); break;
                    default: break;  // the 'y' of "ay"
                }
            }
            if (r < 0) {
                reply_error(m, "org.freedesktop.DBus.Error.InvalidArgs", errno_text("the arguments", r));
                return 1;
            }
            fields.flag = flag != 0;
            if (text != nullptr) fields.text = text;
            if (size != 0) fields.bytes = std::span(static_cast<const std::uint8_t*>(bytes), size);
        }
        Decoded decoded = decode_request(fields);
        if (auto* refusal = std::get_if<Refusal>(&decoded)) {
            if (!refusal->bus_error.empty()) {
                reply_error(m, refusal->bus_error.c_str(), refusal->text);
            } else {
                send_reply(m, operation, Reply{kBadArgument, refusal->text, 0, {}, {}});
            }
            return 1;
        }
        Request request = std::move(std::get<Request>(decoded));
        std::optional<Caller> caller = caller_of(m);
        if (!caller) {
            reply_error(m, "org.freedesktop.DBus.Error.AccessDenied", "the bus does not say who the caller is");
            return 1;
        }
        SdBusMessageRef call(api_.message_ref(m));
        const Operation op = request.operation;
        service_.handle(*caller, std::move(request), [this, call = std::shared_ptr<SdBusMessage>(call.release(), bus::SdBusUnref{}), op](Reply reply) {
            last_activity_ = now_usec();
            send_reply(call.get(), op, reply);
        });
        return 1;
    }

    const SdBusApi& api_;
    SdBus* bus_;
    UserStore store_;
    PolkitAuthority authority_;
    TpmEngine engine_;
    Service service_;
    SdBusSlotRef object_;
    std::map<std::string, std::unique_ptr<Watched>> tracks_;
    std::map<std::string, Caller> callers_;
    std::vector<std::unique_ptr<Watched>> left_;
    std::uint64_t last_activity_ = now_usec();
};

}  // namespace

int serve(const ServerOptions& options) {
    std::string why;
    const SdBusApi* api = bus::sd_bus_api(&why);
    if (api == nullptr) {
        log("sd-bus cannot be loaded: " + why);
        return 1;
    }
    // SIGTERM and SIGINT end the loop, so that the TPM's objects are flushed on the way out.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    local::UniqueFd stop(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));

    const char* configured = std::getenv(bus::kSystemBusVariable);
    const std::string address = configured != nullptr && *configured != '\0' ? configured : bus::kSystemBusDefault;
    bus::SdBusConnection bus;
    int r = api->new_bus(out_param(bus));
    if (r >= 0) r = api->set_address(bus.get(), address.c_str());
    if (r >= 0) r = api->set_bus_client(bus.get(), 1);
    if (r >= 0) r = api->start(bus.get());
    if (r < 0) {
        log(errno_text(("the system bus at " + address).c_str(), r));
        return 1;
    }
    MainQueue main;
    if (!stop || !main.ok()) {
        log("cannot make the event loop's descriptors");
        return 1;
    }
    auto server = std::make_unique<Server>(*api, bus.get(), options, main);
    r = server->add_object();
    if (r >= 0) r = api->request_name(bus.get(), kBusName, 0);
    if (r < 0) {
        log(errno_text((std::string("cannot own ") + kBusName).c_str(), r));
        return 1;
    }
    log("serving " + std::string(kBusName) + " (TPM at " + options.tcti + ", state in " + options.state_directory + ")");

    int status = 0;
    // Idle: the name is given up first, then what was sent before is answered; requests
    // sent after start the service again.
    bool draining = false;
    for (;;) {
        do {
            r = api->process(bus.get(), nullptr);
            server->after_dispatch();
        } while (r > 0);
        if (r < 0) {
            log(errno_text("the system bus", r));
            status = 1;
            break;
        }
        if (draining && server->pending() == 0) break;
        std::uint64_t until = UINT64_MAX;
        api->get_timeout(bus.get(), &until);
        int timeout_ms = -1;
        const std::uint64_t now = now_usec();
        if (until != UINT64_MAX) timeout_ms = until <= now ? 0 : static_cast<int>(std::min<std::uint64_t>((until - now + 999) / 1000, 60'000));
        if (const std::uint64_t left = server->cancel_left_checks(now); left != 0) {
            const int left_ms = static_cast<int>((left - now + 999) / 1000);
            if (timeout_ms < 0 || left_ms < timeout_ms) timeout_ms = left_ms;
        }
        if (options.idle_exit && !draining) {
            const std::uint64_t idle_end = server->last_activity() + std::uint64_t{kIdleExitSeconds} * 1'000'000u;
            if (!draining && server->pending() == 0 && now >= idle_end) {
                api->release_name(bus.get(), kBusName);
                draining = true;
                continue;
            }
            const int idle_ms = static_cast<int>(std::min<std::uint64_t>(idle_end > now ? (idle_end - now + 999) / 1000 : 1000, 60'000));
            if (timeout_ms < 0 || idle_ms < timeout_ms) timeout_ms = idle_ms;
        }
        pollfd fds[3] = {{api->get_fd(bus.get()), static_cast<short>(api->get_events(bus.get())), 0},
                         {main.fd(), POLLIN, 0},
                         {stop.get(), POLLIN, 0}};
        if (::poll(fds, 3, timeout_ms) < 0 && errno != EINTR) {
            log(std::string("poll: ") + std::strerror(errno));
            status = 1;
            break;
        }
        if (fds[2].revents != 0) {
            log("stopping");
            break;
        }
        if (fds[1].revents != 0) {
            main.run();
            server->after_dispatch();
        }
    }
    // Callers that find the name gone have the bus start the service again.
    api->release_name(bus.get(), kBusName);
    server.reset();  // the worker flushes what it loaded and closes the TPM
    return status;
}

}  // namespace bio::keyd

// The few sd-bus calls of libsystemd that the key service's client and the service itself
// make, loaded at run time: the module links nothing of systemd, and a system without
// libsystemd.so.0 only lacks the TPM platform. The declarations are ours, as libsystemd's
// published ABI has them.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace bio::bus {

// Opaque sd-bus objects.
struct SdBus;
struct SdBusMessage;
struct SdBusSlot;
struct SdBusCreds;
struct SdBusTrack;

// sd_bus_error: a name and a message, freed with sd_bus_error_free.
struct SdBusErrorAbi {
    const char* name;
    const char* message;
    int need_free;
};

using SdBusMessageHandler = int (*)(SdBusMessage* message, void* userdata, SdBusErrorAbi* ret_error);
using SdBusTrackHandler = int (*)(SdBusTrack* track, void* userdata);

// sd_bus_creds masks (SD_BUS_CREDS_*).
inline constexpr std::uint64_t kSdBusCredsPid = 1ULL << 0;
inline constexpr std::uint64_t kSdBusCredsEuid = 1ULL << 4;
inline constexpr std::uint64_t kSdBusCredsUniqueName = 1ULL << 31;

// sd_bus_call / sd_bus_call_async: no timeout at all (0 would be sd-bus's default of 25 s).
inline constexpr std::uint64_t kSdBusNoTimeout = UINT64_MAX;

struct SdBusApi {
    int (*new_bus)(SdBus** bus);
    int (*set_address)(SdBus* bus, const char* address);
    int (*set_bus_client)(SdBus* bus, int b);
    int (*start)(SdBus* bus);
    SdBus* (*flush_close_unref)(SdBus* bus);
    int (*get_unique_name)(SdBus* bus, const char** unique);
    int (*message_new_method_call)(SdBus* bus, SdBusMessage** m, const char* destination, const char* path,
                                   const char* interface, const char* member);
    int (*message_append)(SdBusMessage* m, const char* types, ...);
    SdBusMessage* (*message_ref)(SdBusMessage* m);
    SdBusMessage* (*message_unref)(SdBusMessage* m);
    const SdBusErrorAbi* (*message_get_error)(SdBusMessage* m);
    int (*message_enter_container)(SdBusMessage* m, char type, const char* contents);
    int (*message_read)(SdBusMessage* m, const char* types, ...);
    int (*call)(SdBus* bus, SdBusMessage* m, std::uint64_t usec, SdBusErrorAbi* ret_error, SdBusMessage** reply);
    int (*call_async)(SdBus* bus, SdBusSlot** slot, SdBusMessage* m, SdBusMessageHandler callback, void* userdata,
                      std::uint64_t usec);
    int (*send)(SdBus* bus, SdBusMessage* m, std::uint64_t* cookie);
    int (*process)(SdBus* bus, SdBusMessage** r);
    int (*wait)(SdBus* bus, std::uint64_t timeout_usec);
    SdBusSlot* (*slot_unref)(SdBusSlot* slot);
    void (*error_free)(SdBusErrorAbi* e);
    // For a service (biometric-keyd): a name and an object of its own, its own event
    // loop, and who its callers are.
    int (*request_name)(SdBus* bus, const char* name, std::uint64_t flags);
    int (*release_name)(SdBus* bus, const char* name);
    int (*add_object)(SdBus* bus, SdBusSlot** slot, const char* path, SdBusMessageHandler callback, void* userdata);
    int (*get_fd)(SdBus* bus);
    int (*get_events)(SdBus* bus);
    int (*get_timeout)(SdBus* bus, std::uint64_t* timeout_usec);
    int (*message_get_type)(SdBusMessage* m, std::uint8_t* type);
    const char* (*message_get_interface)(SdBusMessage* m);
    const char* (*message_get_member)(SdBusMessage* m);
    const char* (*message_get_sender)(SdBusMessage* m);
    const char* (*message_get_signature)(SdBusMessage* m, int complete);
    int (*message_read_array)(SdBusMessage* m, char type, const void** ptr, std::size_t* size);
    int (*message_append_array)(SdBusMessage* m, char type, const void* ptr, std::size_t size);
    int (*message_new_method_return)(SdBusMessage* call, SdBusMessage** m);
    int (*message_new_method_error)(SdBusMessage* call, SdBusMessage** m, const SdBusErrorAbi* e);
    int (*query_sender_creds)(SdBusMessage* m, std::uint64_t mask, SdBusCreds** creds);
    int (*creds_get_euid)(SdBusCreds* c, uid_t* euid);
    int (*creds_get_pid)(SdBusCreds* c, pid_t* pid);
    SdBusCreds* (*creds_unref)(SdBusCreds* c);
    int (*track_new)(SdBus* bus, SdBusTrack** track, SdBusTrackHandler handler, void* userdata);
    int (*track_add_name)(SdBusTrack* track, const char* name);
    SdBusTrack* (*track_unref)(SdBusTrack* track);
    int (*is_open)(SdBus* bus);
};

// libsystemd.so.0's functions, loaded on first use (once, from any thread, never
// unloaded); null when the library or one of the functions is missing, with why in
// *why.
const SdBusApi* sd_bus_api(std::string* why = nullptr) noexcept;

// Owners of one reference each, dropped exactly once. Every object comes from the one
// table above, loaded for good, so the deleter finds the free function there and the
// holders stay a pointer wide.
struct SdBusUnref {
    // A bus connection is flushed and closed as it is dropped.
    void operator()(SdBus* bus) const noexcept { sd_bus_api()->flush_close_unref(bus); }
    void operator()(SdBusMessage* m) const noexcept { sd_bus_api()->message_unref(m); }
    // Dropping a pending call's slot forgets the call: its callback never runs after.
    void operator()(SdBusSlot* slot) const noexcept { sd_bus_api()->slot_unref(slot); }
    void operator()(SdBusCreds* creds) const noexcept { sd_bus_api()->creds_unref(creds); }
    void operator()(SdBusTrack* track) const noexcept { sd_bus_api()->track_unref(track); }
};
using SdBusConnection = std::unique_ptr<SdBus, SdBusUnref>;
using SdBusMessageRef = std::unique_ptr<SdBusMessage, SdBusUnref>;
using SdBusSlotRef = std::unique_ptr<SdBusSlot, SdBusUnref>;
using SdBusCredsRef = std::unique_ptr<SdBusCreds, SdBusUnref>;
using SdBusTrackRef = std::unique_ptr<SdBusTrack, SdBusUnref>;

// An sd_bus_error that an sd-bus call may fill; freed once.
class SdBusError {
public:
    explicit SdBusError(const SdBusApi& api) noexcept : api_(&api) {}
    SdBusError(const SdBusError&) = delete;
    SdBusError& operator=(const SdBusError&) = delete;
    ~SdBusError() { api_->error_free(&error_); }

    SdBusErrorAbi* get() noexcept { return &error_; }
    const char* name() const noexcept { return error_.name; }
    const char* message() const noexcept { return error_.message; }

private:
    const SdBusApi* api_;
    SdBusErrorAbi error_{nullptr, nullptr, 0};
};

// The reply of a call made with call_async(..., SdBusPendingReply::on_reply, &pending, ...):
// empty until it comes, while the caller's loop runs process() and wait(). The call's slot
// must not outlive it.
struct SdBusPendingReply {
    const SdBusApi* api;
    SdBusMessageRef reply;

    static int on_reply(SdBusMessage* m, void* userdata, SdBusErrorAbi*) {
        auto* pending = static_cast<SdBusPendingReply*>(userdata);
        pending->reply = SdBusMessageRef(pending->api->message_ref(m));
        return 1;
    }
};

}  // namespace bio::bus

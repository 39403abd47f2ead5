// The few sd-bus calls of libsystemd that polkit verification makes, loaded at run time:
// the module links nothing of systemd, and a system without libsystemd.so.0 only lacks
// verification. The declarations are ours, as libsystemd's published ABI has them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace bio::tpm {

// Opaque sd-bus objects.
struct SdBus;
struct SdBusMessage;
struct SdBusSlot;

// sd_bus_error: a name and a message, freed with sd_bus_error_free.
struct SdBusErrorAbi {
    const char* name;
    const char* message;
    int need_free;
};

using SdBusMessageHandler = int (*)(SdBusMessage* message, void* userdata, SdBusErrorAbi* ret_error);

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
};

// libsystemd.so.0's functions, loaded on first use (once, from any thread, never
// unloaded); null when the library or one of the functions is missing, with why in
// *why.
const SdBusApi* sd_bus_api(std::string* why = nullptr) noexcept;

// Owners of one reference each, dropped exactly once.

// A bus connection: flushed, closed and dropped at its end.
class SdBusConnection {
public:
    SdBusConnection() noexcept = default;
    SdBusConnection(const SdBusApi& api, SdBus* bus) noexcept : api_(&api), bus_(bus) {}
    SdBusConnection(SdBusConnection&& other) noexcept
        : api_(other.api_), bus_(std::exchange(other.bus_, nullptr)) {}
    SdBusConnection& operator=(SdBusConnection&& other) noexcept {
        if (this != &other) {
            reset();
            api_ = other.api_;
            bus_ = std::exchange(other.bus_, nullptr);
        }
        return *this;
    }
    ~SdBusConnection() { reset(); }

    SdBus* get() const noexcept { return bus_; }
    void reset() noexcept {
        if (bus_ != nullptr) api_->flush_close_unref(std::exchange(bus_, nullptr));
    }

private:
    const SdBusApi* api_ = nullptr;
    SdBus* bus_ = nullptr;
};

class SdBusMessageRef {
public:
    SdBusMessageRef() noexcept = default;
    SdBusMessageRef(const SdBusApi& api, SdBusMessage* m) noexcept : api_(&api), m_(m) {}
    SdBusMessageRef(SdBusMessageRef&& other) noexcept : api_(other.api_), m_(std::exchange(other.m_, nullptr)) {}
    SdBusMessageRef& operator=(SdBusMessageRef&& other) noexcept {
        if (this != &other) {
            reset();
            api_ = other.api_;
            m_ = std::exchange(other.m_, nullptr);
        }
        return *this;
    }
    ~SdBusMessageRef() { reset(); }

    SdBusMessage* get() const noexcept { return m_; }
    explicit operator bool() const noexcept { return m_ != nullptr; }
    void reset() noexcept {
        if (m_ != nullptr) api_->message_unref(std::exchange(m_, nullptr));
    }

private:
    const SdBusApi* api_ = nullptr;
    SdBusMessage* m_ = nullptr;
};

// A pending call's slot: dropping it forgets the call, so its callback never runs after.
class SdBusSlotRef {
public:
    explicit SdBusSlotRef(const SdBusApi& api) noexcept : api_(&api) {}
    SdBusSlotRef(const SdBusSlotRef&) = delete;
    SdBusSlotRef& operator=(const SdBusSlotRef&) = delete;
    ~SdBusSlotRef() { reset(); }

    SdBusSlot** put() noexcept {
        reset();
        return &slot_;
    }
    void reset() noexcept {
        if (slot_ != nullptr) api_->slot_unref(std::exchange(slot_, nullptr));
    }

private:
    const SdBusApi* api_;
    SdBusSlot* slot_ = nullptr;
};

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

}  // namespace bio::tpm

#include "bus/sd_bus.h"

#include <dlfcn.h>

namespace bio::bus {
namespace {

struct LoadedApi {
    SdBusApi api{};
    bool ok = false;
    std::string why;
};

template <class F>
bool resolve(void* library, const char* name, F& slot, std::string& why) {
    void* symbol = ::dlsym(library, name);
    if (symbol == nullptr) {
        why = std::string("libsystemd.so.0 has no ") + name;
        return false;
    }
    slot = reinterpret_cast<F>(symbol);
    return true;
}

LoadedApi load() {
    LoadedApi loaded;
    // Kept for the life of the process: handlers and errors may point into it.
    void* library = ::dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* error = ::dlerror();
        loaded.why = error != nullptr ? error : "libsystemd.so.0 could not be loaded";
        return loaded;
    }
    SdBusApi& a = loaded.api;
    std::string& why = loaded.why;
    loaded.ok = resolve(library, "sd_bus_new", a.new_bus, why) && resolve(library, "sd_bus_set_address", a.set_address, why) &&
                resolve(library, "sd_bus_set_bus_client", a.set_bus_client, why) &&
                resolve(library, "sd_bus_start", a.start, why) &&
                resolve(library, "sd_bus_flush_close_unref", a.flush_close_unref, why) &&
                resolve(library, "sd_bus_get_unique_name", a.get_unique_name, why) &&
                resolve(library, "sd_bus_message_new_method_call", a.message_new_method_call, why) &&
                resolve(library, "sd_bus_message_append", a.message_append, why) &&
                resolve(library, "sd_bus_message_ref", a.message_ref, why) &&
                resolve(library, "sd_bus_message_unref", a.message_unref, why) &&
                resolve(library, "sd_bus_message_get_error", a.message_get_error, why) &&
                resolve(library, "sd_bus_message_enter_container", a.message_enter_container, why) &&
                resolve(library, "sd_bus_message_read", a.message_read, why) &&
                resolve(library, "sd_bus_call", a.call, why) &&
                resolve(library, "sd_bus_call_async", a.call_async, why) &&
                resolve(library, "sd_bus_send", a.send, why) &&
                resolve(library, "sd_bus_process", a.process, why) &&
                resolve(library, "sd_bus_wait", a.wait, why) &&
                resolve(library, "sd_bus_slot_unref", a.slot_unref, why) &&
                resolve(library, "sd_bus_error_free", a.error_free, why) &&
                resolve(library, "sd_bus_request_name", a.request_name, why) &&
                resolve(library, "sd_bus_release_name", a.release_name, why) &&
                resolve(library, "sd_bus_add_object", a.add_object, why) &&
                resolve(library, "sd_bus_get_fd", a.get_fd, why) &&
                resolve(library, "sd_bus_get_events", a.get_events, why) &&
                resolve(library, "sd_bus_get_timeout", a.get_timeout, why) &&
                resolve(library, "sd_bus_message_get_type", a.message_get_type, why) &&
                resolve(library, "sd_bus_message_get_interface", a.message_get_interface, why) &&
                resolve(library, "sd_bus_message_get_member", a.message_get_member, why) &&
                resolve(library, "sd_bus_message_get_sender", a.message_get_sender, why) &&
                resolve(library, "sd_bus_message_get_signature", a.message_get_signature, why) &&
                resolve(library, "sd_bus_message_read_array", a.message_read_array, why) &&
                resolve(library, "sd_bus_message_append_array", a.message_append_array, why) &&
                resolve(library, "sd_bus_message_new_method_return", a.message_new_method_return, why) &&
                resolve(library, "sd_bus_message_new_method_error", a.message_new_method_error, why) &&
                resolve(library, "sd_bus_query_sender_creds", a.query_sender_creds, why) &&
                resolve(library, "sd_bus_creds_get_euid", a.creds_get_euid, why) &&
                resolve(library, "sd_bus_creds_get_pid", a.creds_get_pid, why) &&
                resolve(library, "sd_bus_creds_unref", a.creds_unref, why) &&
                resolve(library, "sd_bus_track_new", a.track_new, why) &&
                resolve(library, "sd_bus_track_add_name", a.track_add_name, why) &&
                resolve(library, "sd_bus_track_unref", a.track_unref, why) &&
                resolve(library, "sd_bus_is_open", a.is_open, why);
    return loaded;
}

}  // namespace

const SdBusApi* sd_bus_api(std::string* why) noexcept {
    // A function-local static: loaded once, the first caller's threads wait for it.
    static const LoadedApi loaded = load();
    if (!loaded.ok && why != nullptr) *why = loaded.why;
    return loaded.ok ? &loaded.api : nullptr;
}

}  // namespace bio::bus

// A request's limits, and the route a cancellation takes.
//
// The calls of biometric_keys that wait for the user take `window` (the window that owns
// the prompt), `timeout` (seconds) and `cancel` (a CancelToken); wait_arguments reads
// them into WaitArguments. run_released then makes the request without the interpreter
// lock, and this is the way an end to it travels:
//
//   1. The program cancels: CancelToken.cancel() sets the token's flag (cancel_token.h);
//      a deadline passes; or Ctrl-C runs a signal handler that raises.
//   2. RequestLimits (runtime/interrupt.h), which run_released installs for the thread,
//      carries the deadline and the flag to the waits beneath the request; between their
//      slices they ask it, and it asks the interrupt check (signal_handler_raised,
//      entry.h) for Ctrl-C.
//   3. The wait stops and cancels the platform's request (the Windows Runtime's
//      IAsyncInfo::Cancel, polkit's CancelCheckAuthorization, the stand-in's prompt),
//      which ends as the platform ends a cancelled one, or with its result if it came
//      first.
//   4. run_released reads the verdict. A request that did not take effect raises the
//      signal handler's exception, TimeoutError "<operation> timed out" or
//      RequestCancelledError "<operation> cancelled"; one that took effect all the same
//      returns its result, and a handler's exception follows it (run_entry).
//
// So a cancelled request has changed nothing, or the call returns its result.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "bio_windows.h"
#include "envelope.h"
#include "module/entry.h"
#include "module/errors.h"
#include "runtime/environment.h"
#include "runtime/interrupt.h"

namespace bio {

// The `window`, `timeout` and `cancel` that the waiting calls take.
struct WaitArguments {
    WindowHandle window = 0;
    std::optional<std::chrono::steady_clock::time_point> deadline;
    const std::atomic<bool>* cancelled = nullptr;  // the token's flag
};

// The `window` (None or a non-negative int), `timeout` (None or a non-negative finite
// number of seconds, a deadline from now) and `cancel` (None or the module's
// CancelToken) of a call, each refused with the error that names it.
PyResult<WaitArguments> wait_arguments(PyObject* module, PyObject* window_object, PyObject* timeout_object,
                                       PyObject* cancel_object);

// Whether a request's result says it took effect: a credential made, a signature, an
// answer other than the cancel a cancelled verification ends with.
inline bool took_effect(const std::variant<std::vector<std::uint8_t>, CredentialErrorCode>& result) {
    return result.index() == 0;
}
inline bool took_effect(const ConsentResult& result) {
    const auto* answer = std::get_if<ConsentAnswer>(&result);
    return answer != nullptr && answer->value != UserConsent_Canceled;
}
inline bool took_effect(const AttestationOutcome& result) { return result.index() == 0; }
inline bool took_effect(const EnvelopeOutcome& result) { return result.index() == 0; }

// Runs `request` on `platform` without the interpreter lock, under the deadline and the
// token, with the platform's settings read from the environment before the lock is given
// up; then step 4 above. Nothing is asked once the request has returned.
template <class Request, class Finish>
EntryOutcome run_released(PyObject* module, std::string_view operation, KeyCredentialPlatform& platform,
                          const WaitArguments& wait, Request&& request, Finish&& finish) {
    // A token cancelled already: nothing is asked.
    if (wait.cancelled != nullptr && wait.cancelled->load(std::memory_order_acquire)) {
        return request_cancelled(module, std::string(operation) + " cancelled");
    }
    std::optional<decltype(request(platform))> result;
    WaitVerdict verdict = WaitVerdict::Continue;
    {
        RequestEnvironment environment(platform.environment_variables());
        RequestLimits limits(wait.deadline, wait.cancelled);
        AllowThreads released;
        result.emplace(request(platform));
        verdict = limits.verdict();
    }
    if (verdict != WaitVerdict::Continue && !took_effect(*result)) {
        if (std::optional<PyErr> interruption = take_interruption()) return std::move(*interruption);
        if (verdict == WaitVerdict::TimedOut) {
            return new_error(ErrorKind::TimedOut, std::string(operation) + " timed out");
        }
        if (verdict == WaitVerdict::Cancelled) {
            return request_cancelled(module, std::string(operation) + " cancelled");
        }
    }
    // The handler's exception, if any, follows the result (run_entry).
    return finish(std::move(*result));
}

}  // namespace bio

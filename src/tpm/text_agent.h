// polkit's text agent (pkttyagent) serving this process on its terminal, as pkexec starts
// it: for the one verification that found no agent, stopped and reaped when it ends.
#pragma once

#include <sys/types.h>

#include <string>

#include "runtime/interrupt.h"

namespace bio::tpm {

// What the agent is given of the environment: the request's reading of these (the
// program may be changing the environment while the agent starts), nothing else.
inline constexpr const char* kTextAgentVariables[] = {"DBUS_SYSTEM_BUS_ADDRESS", "LANG", "LC_ALL", "LC_MESSAGES",
                                                      "TERM"};

class TextAgent {
public:
    enum class Start {
        Registered,  // polkit now asks this process's user through it
        Failed,      // it could not be started, or it ended (or hung) before registering
        Stopped,     // check_wait said stop while it registered
    };

    // `program` takes pkttyagent's options (--process, --notify-fd).
    explicit TextAgent(std::string program) : program_(std::move(program)) {}
    TextAgent(const TextAgent&) = delete;
    TextAgent& operator=(const TextAgent&) = delete;
    ~TextAgent() { stop(); }

    // Starts the agent for `process` with its standard streams on `terminal` and waits
    // until it is registered, asking check_wait between slices. Failed and Stopped leave
    // no agent; *detail says why it failed, *verdict what stopped the wait.
    Start start(int terminal, pid_t process, std::string* detail, WaitVerdict* verdict);

    // SIGTERM (SIGKILL if it is still there after a second) and reaped: no agent and no
    // zombie are left. Nothing when none runs.
    void stop() noexcept;

    pid_t pid() const noexcept { return pid_; }

private:
    std::string program_;
    pid_t pid_ = -1;
};

}  // namespace bio::tpm

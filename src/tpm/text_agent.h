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

// The program started as polkit's text agent.
inline constexpr const char* kTextAgentProgram = "/usr/bin/pkttyagent";

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

// The one text agent of this process, shared by the requests that need it: started by
// the first, stopped when the last lets go. polkit allows one agent per process, and the
// text agent asks one question at a time, so the requests that go through it take turns:
// two threads or three asynchronous calls are each asked, one after the other.
class SharedTextAgent {
public:
    // `program` as TextAgent's; a test names its own.
    explicit SharedTextAgent(const char* program = kTextAgentProgram) noexcept : program_(program) {}
    SharedTextAgent(const SharedTextAgent&) = delete;
    SharedTextAgent& operator=(const SharedTextAgent&) = delete;
    // Gives the turn back; the last user of the agent stops it.
    ~SharedTextAgent();

    // Whether a request of this process uses the agent now (or waits for its turn).
    static bool in_use() noexcept;

    // Joins the agent's users, waits for this request's turn (asking check_wait between
    // slices) and starts the agent on `terminal` for this process if it does not run.
    // Registered: the agent runs and this request has the turn until it is destroyed.
    // Failed (*detail says why) and Stopped (*verdict says what stopped it) give the turn
    // back at once. Called again after a failure, it tries again (joined once).
    TextAgent::Start take(int terminal, std::string* detail, WaitVerdict* verdict);

private:
    const char* program_;
    bool joined_ = false;
    bool turn_ = false;
};

}  // namespace bio::tpm

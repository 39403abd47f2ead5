#include "tpm/text_agent.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "local/unique_fd.h"
#include "runtime/environment.h"

namespace bio::tpm {
namespace {

using local::UniqueFd;

// The descriptor the agent closes once registered, in the agent.
constexpr int kNotifyFd = 3;
// An agent that neither registers nor ends within this is taken as failed.
constexpr std::chrono::seconds kRegisterLimit(10);
constexpr std::chrono::milliseconds kExitGrace(50);

// A copy of fd numbered 10 or above (close-on-exec): never one of the numbers the file
// actions below write to, whatever descriptors the process has open.
UniqueFd high_copy(int fd) { return UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 10)); }

class SpawnActions {
public:
    SpawnActions() { ok_ = ::posix_spawn_file_actions_init(&actions_) == 0; }
    ~SpawnActions() {
        if (ok_) ::posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    bool ok() const noexcept { return ok_; }
    posix_spawn_file_actions_t* get() noexcept { return &actions_; }

private:
    posix_spawn_file_actions_t actions_{};
    bool ok_ = false;
};

class SpawnAttributes {
public:
    SpawnAttributes() { ok_ = ::posix_spawnattr_init(&attributes_) == 0; }
    ~SpawnAttributes() {
        if (ok_) ::posix_spawnattr_destroy(&attributes_);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    bool ok() const noexcept { return ok_; }
    posix_spawnattr_t* get() noexcept { return &attributes_; }

private:
    posix_spawnattr_t attributes_{};
    bool ok_ = false;
};

std::string errno_text(const char* what, int error) { return std::string(what) + ": " + std::strerror(error); }

std::string exit_text(int status) {
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "ended by signal " + std::to_string(WTERMSIG(status));
    return "ended";
}

}  // namespace

TextAgent::Start TextAgent::start(int terminal, pid_t process, std::string* detail, WaitVerdict* verdict) {
    stop();
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        *detail = errno_text("pipe", errno);
        return Start::Failed;
    }
    UniqueFd read_end(pipe_fds[0]);
    // The low-numbered original goes when its holder does, at the end of the statement.
    UniqueFd write_end = high_copy(UniqueFd(pipe_fds[1]).get());
    UniqueFd tty = high_copy(terminal);
    if (!write_end || !tty) {
        *detail = errno_text("fcntl", errno);
        return Start::Failed;
    }

    SpawnActions actions;
    SpawnAttributes attributes;
    if (!actions.ok() || !attributes.ok()) {
        *detail = "posix_spawn could not be prepared";
        return Start::Failed;
    }
    for (int stream = 0; stream <= 2; ++stream) ::posix_spawn_file_actions_adddup2(actions.get(), tty.get(), stream);
    ::posix_spawn_file_actions_adddup2(actions.get(), write_end.get(), kNotifyFd);
    // The caller's mask and ignored signals (Python ignores SIGPIPE) would pass to the agent;
    // it should end on the terminal's signals and on ours.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int signal : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD, SIGTSTP}) sigaddset(&defaults, signal);
    ::posix_spawnattr_setsigmask(attributes.get(), &none);
    ::posix_spawnattr_setsigdefault(attributes.get(), &defaults);
    ::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    // Not --fallback: polkitd 122 does not ask through a fallback agent registered for a
    // process, and there is none to keep (none served this process).
    std::string process_text = std::to_string(process);
    std::string notify_text = std::to_string(kNotifyFd);
    char* argv[] = {program_.data(),
                    const_cast<char*>("--process"),
                    process_text.data(),
                    const_cast<char*>("--notify-fd"),
                    notify_text.data(),
                    nullptr};
    std::vector<std::string> variables;
    for (const char* name : kTextAgentVariables) {
        if (std::optional<std::string> value = request_variable(name)) variables.push_back(std::string(name) + "=" + *value);
    }
    std::vector<char*> envp;
    for (std::string& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, program_.c_str(), actions.get(), attributes.get(), argv, envp.data());
    if (spawned != 0) {
        *detail = errno_text(program_.c_str(), spawned);
        return Start::Failed;
    }
    pid_ = pid;
    write_end.reset();  // only the agent holds it now: its end of the pipe is the signal

    const auto limit = std::chrono::steady_clock::now() + kRegisterLimit;
    for (;;) {
        const WaitVerdict now = check_wait();
        if (now != WaitVerdict::Continue) {
            *verdict = now;
            stop();
            return Start::Stopped;
        }
        pollfd entry{read_end.get(), POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(wait_slice().count()));
        if (ready < 0 && errno != EINTR) {
            *detail = errno_text("poll", errno);
            stop();
            return Start::Failed;
        }
        if (ready > 0) break;  // end of file: the agent closed it, or ended
        if (std::chrono::steady_clock::now() >= limit) {
            *detail = program_ + " did not register within " + std::to_string(kRegisterLimit.count()) + " s";
            stop();
            return Start::Failed;
        }
    }
    // It closes the descriptor when it registered, or as it ends without registering; an
    // ending one closes its files a moment before it can be reaped, hence the grace.
    const auto grace = std::chrono::steady_clock::now() + kExitGrace;
    do {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            *detail = program_ + " " + exit_text(status);
            return Start::Failed;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (std::chrono::steady_clock::now() < grace);
    return Start::Registered;
}

void TextAgent::stop() noexcept {
    if (pid_ < 0) return;
    const pid_t pid = std::exchange(pid_, -1);
    ::kill(pid, SIGTERM);
    // It restores the terminal and ends at once; one that does not is killed.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    int status = 0;
    for (;;) {
        const pid_t reaped = ::waitpid(pid, &status, WNOHANG);
        if (reaped == pid || (reaped < 0 && errno != EINTR)) return;
        if (std::chrono::steady_clock::now() >= limit) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace bio::tpm

namespace bio::tpm {
namespace {

// What the requests of this process share: the agent, how many use it, and the turn.
struct Shared {
    std::mutex state;
    int users = 0;
    std::unique_ptr<TextAgent> agent;  // running while set
    std::timed_mutex turn;
};

Shared& shared() {
    // Never destroyed: a daemon thread may still be in a request as the process exits.
    static Shared* const instance = new Shared;
    return *instance;
}

}  // namespace

bool SharedTextAgent::in_use() noexcept {
    Shared& s = shared();
    const std::lock_guard lock(s.state);
    return s.users > 0;
}

TextAgent::Start SharedTextAgent::take(int terminal, std::string* detail, WaitVerdict* verdict) {
    Shared& s = shared();
    if (!joined_) {
        const std::lock_guard lock(s.state);
        ++s.users;
        joined_ = true;
    }
    for (;;) {
        const WaitVerdict now = check_wait();
        if (now != WaitVerdict::Continue) {
            *verdict = now;
            return TextAgent::Start::Stopped;
        }
        if (s.turn.try_lock_for(wait_slice())) break;
    }
    turn_ = true;
    const std::lock_guard lock(s.state);
    if (s.agent) return TextAgent::Start::Registered;
    TextAgent::Start started = TextAgent::Start::Failed;
    if (terminal < 0) {
        *detail = "no terminal to ask on";
    } else {
        auto agent = std::make_unique<TextAgent>(program_);
        started = agent->start(terminal, ::getpid(), detail, verdict);
        if (started == TextAgent::Start::Registered) s.agent = std::move(agent);
    }
    if (started != TextAgent::Start::Registered) {
        s.turn.unlock();
        turn_ = false;
    }
    return started;
}

SharedTextAgent::~SharedTextAgent() {
    Shared& s = shared();
    if (turn_) s.turn.unlock();
    if (!joined_) return;
    // Stopped (and reaped) with the lock held: a new agent for this process could not
    // register while the old one is still there.
    const std::lock_guard lock(s.state);
    if (--s.users == 0) s.agent.reset();
}

}  // namespace bio::tpm

// The text agent's life on every path, against stand-in agent programs (shell scripts
// that take pkttyagent's options): whatever happens, no agent and no zombie is left.
#include "tpm/text_agent.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

using bio::tpm::TextAgent;

struct AgentCase {
    const char* name;
    const char* script;  // $4 is the descriptor to close once "registered"
    bool cancel;         // the program's cancellation is set while it registers
    TextAgent::Start expected;
};

// Whether pid is neither running nor a zombie of ours: waitpid knows no such child.
bool reaped(pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD; }

class TextAgentLife : public testing::TestWithParam<AgentCase> {};

TEST_P(TextAgentLife, EndsAsExpectedAndLeavesNothing) {
    const AgentCase& c = GetParam();
    const std::string path = testing::TempDir() + "agent-" + c.name;
    std::ofstream(path) << "#!/bin/sh\n" << c.script << "\n";
    ASSERT_EQ(::chmod(path.c_str(), 0700), 0);
    const int terminal = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    ASSERT_GE(terminal, 0);

    std::atomic<bool> cancelled{c.cancel};
    bio::RequestLimits limits(std::nullopt, &cancelled);
    TextAgent agent(path);
    std::string detail;
    bio::WaitVerdict verdict = bio::WaitVerdict::Continue;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(agent.start(terminal, ::getpid(), &detail, &verdict), c.expected) << detail;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
    const pid_t pid = agent.pid();
    if (c.expected == TextAgent::Start::Registered) {
        ASSERT_GT(pid, 0);
        EXPECT_EQ(::kill(pid, 0), 0) << "the registered agent runs until stopped";
        agent.stop();
        EXPECT_TRUE(reaped(pid));
    } else {
        EXPECT_EQ(pid, -1);
    }
    if (c.expected == TextAgent::Start::Stopped) {
        EXPECT_EQ(verdict, bio::WaitVerdict::Cancelled);
    }
    if (c.expected == TextAgent::Start::Failed) {
        EXPECT_FALSE(detail.empty());
    }
    EXPECT_TRUE(reaped(-1)) << "a child of the test is left";
    ::close(terminal);
    std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Agents, TextAgentLife,
    testing::Values(
        // Checks its options as pkttyagent takes them, closes the descriptor and serves.
        AgentCase{"registers",
                  "[ \"$1 $3 $#\" = '--process --notify-fd 4' ] || exit 9\n"
                  "eval \"exec $4>&-\"; exec sleep 30",
                  false, TextAgent::Start::Registered},
        AgentCase{"exits", "exit 3", false, TextAgent::Start::Failed},
        // Ignores SIGTERM: killed after a second.
        AgentCase{"stubborn", "trap '' TERM; eval \"exec $4>&-\"; while :; do sleep 1; done", false,
                  TextAgent::Start::Registered},
        AgentCase{"cancelled", "exec sleep 30", true, TextAgent::Start::Stopped}),
    [](const testing::TestParamInfo<AgentCase>& info) { return std::string(info.param.name); });

TEST(TextAgent, AProgramThatCannotStartFails) {
    TextAgent agent("/nonexistent/pkttyagent");
    std::string detail;
    bio::WaitVerdict verdict = bio::WaitVerdict::Continue;
    EXPECT_EQ(agent.start(0, ::getpid(), &detail, &verdict), TextAgent::Start::Failed);
    EXPECT_NE(detail.find("/nonexistent/pkttyagent"), std::string::npos) << detail;
    EXPECT_TRUE(reaped(-1));
}

// Three requests of one process: the first starts the agent, the others share it and
// take their turns; a cancelled wait for the turn leaves; the last user stops it.
TEST(SharedTextAgent, OneAgentForAllItsUsersWhoTakeTurns) {
    using bio::tpm::SharedTextAgent;
    const std::string path = testing::TempDir() + "agent-shared";
    std::ofstream(path) << "#!/bin/sh\neval \"exec $4>&-\"; exec sleep 30\n";
    ASSERT_EQ(::chmod(path.c_str(), 0700), 0);
    const int terminal = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    std::string detail;
    bio::WaitVerdict verdict = bio::WaitVerdict::Continue;
    EXPECT_FALSE(SharedTextAgent::in_use());
    {
        auto first = std::make_unique<SharedTextAgent>(path.c_str());
        ASSERT_EQ(first->take(terminal, &detail, &verdict), TextAgent::Start::Registered) << detail;
        EXPECT_TRUE(SharedTextAgent::in_use());

        std::atomic<bool> second_has_turn{false};
        std::thread second([&] {
            SharedTextAgent agent(path.c_str());
            std::string why;
            bio::WaitVerdict stopped = bio::WaitVerdict::Continue;
            // No terminal: it must find the first one's agent running, not start its own.
            EXPECT_EQ(agent.take(-1, &why, &stopped), TextAgent::Start::Registered) << why;
            second_has_turn = true;
        });
        std::thread cancelled([&] {
            std::atomic<bool> cancel{true};
            bio::RequestLimits limits(std::nullopt, &cancel);
            SharedTextAgent agent(path.c_str());
            std::string why;
            bio::WaitVerdict stopped = bio::WaitVerdict::Continue;
            EXPECT_EQ(agent.take(-1, &why, &stopped), TextAgent::Start::Stopped);
            EXPECT_EQ(stopped, bio::WaitVerdict::Cancelled);
        });
        cancelled.join();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_FALSE(second_has_turn) << "two requests had the agent's turn at once";
        first.reset();
        second.join();
        EXPECT_TRUE(second_has_turn);
    }
    EXPECT_FALSE(SharedTextAgent::in_use());
    EXPECT_TRUE(reaped(-1)) << "the agent outlived its last user";
    ::close(terminal);
    std::remove(path.c_str());
}

}  // namespace

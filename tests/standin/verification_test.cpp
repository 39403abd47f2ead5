// The simulated user: the delay the environment names, and the question on a terminal. (What each
// value of BIOMETRIC_STANDIN_VERIFY does is tested through the installed module.)
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "bio_windows.h"
#include "local/unique_fd.h"
#include "standin/user_verification.h"

namespace bio::testing {
namespace {

TEST(VerifySetting, DelayIsANonNegativeIntegerUpToTheMaximum) {
    const std::pair<const char*, long> rows[] = {
        {nullptr, 0}, {"", 0}, {"0", 0}, {"250", 250}, {"007", 7}, {"59999", 59999}, {"60000", 60000},
        {"60001", 60000}, {"99999999999999999999999", 60000}, {"-5", 0}, {"+5", 0}, {" 5", 0}, {"5 ", 0},
        {"1.5", 0}, {"1e3", 0}, {"ten", 0},
    };
    for (const auto& [value, ms] : rows) {
        EXPECT_EQ(standin::parse_delay(value).count(), ms) << (value != nullptr ? value : "(unset)");
    }
    EXPECT_EQ(standin::kMaxDelayMs, 60000u);
}

TEST(Prompt, NamesTheOperationAndQuotesTheCredential) {
    EXPECT_EQ(standin::prompt_text(standin::VerifiedRequest::Sign, "alice"),
              "biometric stand-in: allow signing with 'alice'? [y/N] ");
    EXPECT_EQ(standin::prompt_text(standin::VerifiedRequest::Create, "bob"),
              "biometric stand-in: allow creating a credential for 'bob'? [y/N] ");
    // Nothing in a name reaches the terminal as a control sequence or ends the quote.
    EXPECT_EQ(standin::prompt_text(standin::VerifiedRequest::Sign, "a'\x1b[2J\r\n\\"),
              "biometric stand-in: allow signing with 'a\\'\\u{1b}[2J\\r\\n\\\\'? [y/N] ");
}

// A pseudo-terminal: the question is read and the answer typed on its master side.
class TerminalTest : public ::testing::Test {
protected:
    void SetUp() override {
        int master = -1, slave = -1;
        ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        master_ = local::UniqueFd(master);
        slave_ = local::UniqueFd(slave);
    }
    // What the terminal shows, as far as has been written.
    std::string shown() {
        std::string out;
        char chunk[256];
        const int flags = ::fcntl(master_.get(), F_GETFL);
        ::fcntl(master_.get(), F_SETFL, flags | O_NONBLOCK);
        for (ssize_t got; (got = ::read(master_.get(), chunk, sizeof chunk)) > 0;) out.append(chunk, got);
        ::fcntl(master_.get(), F_SETFL, flags);
        return out;
    }
    local::UniqueFd master_, slave_;
};

TEST_F(TerminalTest, OnlyYesGoesAhead) {
    const std::pair<const char*, std::int32_t> rows[] = {
        {"y\n", KeyCredentialStatus_Success},   {"yes\n", KeyCredentialStatus_Success},
        {"Y\n", KeyCredentialStatus_Success},   {" YeS \n", KeyCredentialStatus_Success},
        {"n\n", KeyCredentialStatus_UserCanceled}, {"\n", KeyCredentialStatus_UserCanceled},
        {"yess\n", KeyCredentialStatus_UserCanceled}, {"no y\n", KeyCredentialStatus_UserCanceled},
        {"yyyyyyyyyyyyyyyyyyyyyyyyy\n", KeyCredentialStatus_UserCanceled},
    };
    for (const auto& [typed, status] : rows) {
        std::thread typist([&, typed = std::string(typed)] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ASSERT_EQ(::write(master_.get(), typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
        });
        EXPECT_EQ(standin::ask_on_terminal(slave_.get(), "ok? ", 10'000), status) << typed;
        typist.join();
        EXPECT_NE(shown().find("ok? "), std::string::npos) << typed;
    }
}

TEST_F(TerminalTest, TypeAheadDoesNotAnswer) {
    ASSERT_EQ(::write(master_.get(), "y\n", 2), 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(standin::ask_on_terminal(slave_.get(), "ok? ", 200), KeyCredentialStatus_UserCanceled);
}

TEST_F(TerminalTest, NoAnswerInTimeIsCanceled) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(standin::ask_on_terminal(slave_.get(), "ok? ", 150), KeyCredentialStatus_UserCanceled);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(150));
    EXPECT_LT(waited, std::chrono::seconds(5));
    // The next output starts on a line of its own.
    EXPECT_EQ(shown(), "ok? \r\n");
}

TEST_F(TerminalTest, HangUpIsCanceled) {
    std::thread hang_up([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        master_.reset();
    });
    EXPECT_EQ(standin::ask_on_terminal(slave_.get(), "ok? ", 10'000), KeyCredentialStatus_UserCanceled);
    hang_up.join();
}

}  // namespace
}  // namespace bio::testing

// The standard-error writer on POSIX, and the ways a fault report is written and the
// process ends. Death tests run in a re-executed child, so the parent's process-wide
// report state is not involved.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <csignal>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "runtime/fault.h"
#include "runtime/fault_report.h"
#include "runtime/os.h"
#include "runtime/stderr_writer.h"

namespace bio::testing {
namespace {

// Runs body inside a fault boundary; returns the payload text of a fault, or "" when
// the body completes.
template <class Body>
std::string fault_text(Body&& body) {
    FaultPayload caught;
    if (fault_boundary(std::forward<Body>(body), caught)) return "";
    return std::string(caught.text());
}

// Points file descriptor 2 somewhere else for the scope.
class StderrRedirect {
public:
    explicit StderrRedirect(int fd) : saved_(::dup(2)) {
        if (fd < 0) {
            ::close(2);
        } else {
            ::dup2(fd, 2);
        }
    }
    ~StderrRedirect() {
        ::dup2(saved_, 2);
        ::close(saved_);
    }
    StderrRedirect(const StderrRedirect&) = delete;
    StderrRedirect& operator=(const StderrRedirect&) = delete;

private:
    int saved_;
};

TEST(StderrWriter, ClosedStreamIsTheMissingHandle) {
    std::optional<StderrError> raw;
    std::string fault;
    {
        StderrRedirect closed(-1);
        raw = write_stderr_raw("lost\n");
        fault = fault_text([] { write_stderr_locked("lost too\n"); });
    }
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ(raw->code, kErrorInvalidHandle);
    EXPECT_TRUE(raw->missing_stream);
    EXPECT_EQ(fault, "") << "the locked writer loses the text silently";
}

TEST(StderrWriter, FailingStreamIsAnErrorForRawAndAFaultForLocked) {
    const int full = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    std::optional<StderrError> raw;
    std::string fault;
    {
        StderrRedirect redirected(full);
        raw = write_stderr_raw("x");
        fault = fault_text([] { write_stderr_locked("x"); });
    }
    ::close(full);
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ(raw->text, "No space left on device (os error 28)");
    EXPECT_EQ(fault, "failed printing to stderr: No space left on device (os error 28)");
}

TEST(StderrWriter, InterruptedWriteIsRepeated) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    // Fill the pipe, so that the next write blocks until a reader drains it.
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    const std::string chunk(4096, 'x');
    while (::write(fds[1], chunk.data(), chunk.size()) > 0) {
    }
    ::fcntl(fds[1], F_SETFL, 0);
    // A handler without SA_RESTART: a blocked write that the signal interrupts fails with EINTR.
    struct sigaction action = {}, previous = {};
    action.sa_handler = [](int) {};
    ::sigaction(SIGUSR1, &action, &previous);

    const pthread_t writer = ::pthread_self();
    std::string received;
    std::thread reader([&] {
        for (int i = 0; i < 3; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            ::pthread_kill(writer, SIGUSR1);
        }
        char buffer[4096];
        while (received.size() < 12 || received.compare(received.size() - 12, 12, "interrupted\n") != 0) {
            const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
            if (n <= 0) break;
            received.append(buffer, static_cast<std::size_t>(n));
        }
    });
    std::optional<StderrError> error;
    {
        StderrRedirect redirected(fds[1]);
        error = write_stderr_raw("interrupted\n");
    }
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_FALSE(error.has_value()) << error->text;
    ASSERT_GE(received.size(), 12u);
    EXPECT_EQ(received.substr(received.size() - 12), "interrupted\n");
}

TEST(StderrWriter, EmptyTextWritesNothing) {
    StderrRedirect closed(-1);
    EXPECT_FALSE(write_stderr_raw("").has_value());
}

TEST(FaultReport, MessageWithLineBreaksIsWrittenUnchangedAfterTheHeader) {
    ::testing::internal::CaptureStderr();
    const std::uint32_t line = __LINE__ + 1;
    const std::string text = fault_text([] { raise_fault("line one\nline two"); });
    const std::string written = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(text, "line one\nline two");
    const std::string expected = "thread '<unnamed>' panicked at tests/runtime/fault_report_test.cpp:" +
                                 std::to_string(line) + ":";
    EXPECT_EQ(written.rfind(expected, 0), 0u) << written;
    EXPECT_NE(written.find(":\nline one\nline two\n"), std::string::npos) << written;
}

class FaultDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(FaultDeathTest, NonUnwindingFaultIsReportedThenEndsTheProcess) {
    EXPECT_EXIT(raise_fault_nounwind("must not unwind"), ::testing::KilledBySignal(SIGABRT),
                "panicked at tests/runtime/fault_report_test.cpp:[0-9]+:[0-9]+:\nmust not unwind\n(.|\n)*"
                "thread caused non-unwinding panic. aborting.\n$");
}

TEST_F(FaultDeathTest, ForeignExceptionAtABoundaryEndsTheProcess) {
    FaultPayload caught;
    EXPECT_EXIT((void)fault_boundary([] { throw 42; }, caught), ::testing::KilledBySignal(SIGABRT),
                "^fatal runtime error: foreign exceptions cannot be caught by the biometric module\n$");
}

// A stack whose short backtrace has a hidden run between printed frames: the fault is
// raised in a window (printed), inside a hidden stretch of one frame that has two
// functions inlined into it, inside an outer window (printed).
// Written after each call so that no call is a tail call and every frame stays.
volatile int g_probe_sink = 0;

__attribute__((noinline)) void probe_raising_body(void*) {
    raise_fault("nested windows");
}

__attribute__((always_inline)) inline void probe_inlined_inner() {
    begin_short_backtrace(probe_raising_body, nullptr);
    g_probe_sink = 1;
}
__attribute__((always_inline)) inline void probe_inlined_middle() {
    probe_inlined_inner();
    g_probe_sink = 2;
}
__attribute__((noinline)) void probe_hidden_body(void*) {
    probe_inlined_middle();
    g_probe_sink = 3;
}

__attribute__((noinline)) void probe_outer_body(void*) {
    end_short_backtrace(probe_hidden_body, nullptr);
    g_probe_sink = 4;
}

TEST_F(FaultDeathTest, ShortBacktraceCountsOmittedFramesNotInlinedNames) {
    EXPECT_EXIT(
        {
            ::setenv(kBacktraceVariable, "1", 1);  // read once, at this child's first fault
            FaultPayload caught;
            (void)fault_boundary([] { begin_short_backtrace(probe_outer_body, nullptr); }, caught);
            std::_Exit(caught.text() == "nested windows" ? 0 : 1);
        },
        ::testing::ExitedWithCode(0),
        "probe_raising_body\n[^\n]*fault_report_test.cpp:[0-9]+(:[0-9]+)?\n"
        "      \\[\\.\\.\\. omitted 1 frame \\.\\.\\.\\]\n"
        " +[0-9]+: probe_outer_body\n");
}

}  // namespace
}  // namespace bio::testing

#include <gtest/gtest.h>

#include <pthread.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "runtime/environment.h"
#include "runtime/fault.h"

namespace bio {
namespace {

TEST(RequestEnvironment, AnswersFromItsReadingAndFaultsForANameItDidNotRead) {
    ::setenv("BIO_TEST_READ", "before", 1);
    ::unsetenv("BIO_TEST_UNSET");
    static constexpr const char* kNames[] = {"BIO_TEST_READ", "BIO_TEST_UNSET"};
    {
        RequestEnvironment environment(kNames);
        ::setenv("BIO_TEST_READ", "after", 1);
        ::setenv("BIO_TEST_UNSET", "set", 1);
        EXPECT_EQ(request_variable("BIO_TEST_READ"), "before");
        EXPECT_EQ(request_variable("BIO_TEST_UNSET"), std::nullopt);
        FaultPayload caught;
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(fault_boundary([] { (void)request_variable("BIO_TEST_OTHER"); }, caught));
        (void)::testing::internal::GetCapturedStderr();
        EXPECT_EQ(caught.text(), "the request did not read the environment variable BIO_TEST_OTHER");
    }
    EXPECT_EQ(request_variable("BIO_TEST_READ"), "after");
}

// A thread that the C library ends inside a boundary (as CPython ends a daemon thread that
// asks for the interpreter back at shutdown) passes it, releasing what it holds.
TEST(Fault, ThreadExitPassesTheBoundaryAndReleasesOnTheWay) {
    struct Owner {
        std::vector<std::string>* log;
        ~Owner() { log->push_back("released"); }
    };
    std::vector<std::string> log;
    pthread_t thread;
    ASSERT_EQ(::pthread_create(
                  &thread, nullptr,
                  [](void* context) -> void* {
                      auto* log = static_cast<std::vector<std::string>*>(context);
                      FaultPayload caught;
                      (void)fault_boundary(
                          [&] {
                              Owner owner{log};
                              ::pthread_exit(nullptr);
                          },
                          caught);
                      log->push_back("not reached");
                      return nullptr;
                  },
                  &log),
              0);
    ASSERT_EQ(::pthread_join(thread, nullptr), 0);
    EXPECT_EQ(log, std::vector<std::string>{"released"});
}

}  // namespace
}  // namespace bio

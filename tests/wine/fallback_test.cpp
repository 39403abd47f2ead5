// Runs beside Windows.Security.Credentials.dll and Windows.Security.Cryptography.dll
// (copies of the doubles), with neither class registered: both are found by name.
#include <gtest/gtest.h>

#include "bio_windows.h"
#include "support.h"

namespace bio {
namespace {

using bio::testing::control_of;
using bio::testing::ScopedRegistration;

TEST(FallbackToTheClassLibraries, EnrolAndSignWithoutRegistration) {
    ScopedRegistration no_manager(bio::testing::kManagerClass, std::nullopt);
    ScopedRegistration no_crypto(bio::testing::kCryptoClass, std::nullopt);
    doubles::Control& credentials = control_of(L"Windows.Security.Credentials.dll");
    doubles::Control& cryptography = control_of(L"Windows.Security.Cryptography.dll");

    EnrolmentResult enrolled = enrol_credential(default_platform(), "alice");
    ASSERT_TRUE(std::holds_alternative<std::string>(enrolled));
    const std::uint8_t data[] = {7, 8};
    SigningResult signature = sign_with_credential(default_platform(), "alice", ByteView{data, sizeof data});
    ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(signature));

    // Agile factories: each library was asked once, and the registered doubles never.
    EXPECT_EQ(credentials.calls[doubles::GetActivationFactory], 1);
    EXPECT_EQ(cryptography.calls[doubles::GetActivationFactory], 1);
    EXPECT_EQ(GetModuleHandleW(L"bio_doubles.dll"), nullptr);
    EXPECT_EQ(credentials.live_objects + cryptography.live_objects, 0);
}

}  // namespace
}  // namespace bio

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support.h"
#include "winrt/entry_points.h"
#include "winrt/factory_cache.h"

namespace bio::winrt {
namespace {

using bio::testing::control_of;
using bio::testing::registered_doubles;
using doubles::Control;

constexpr HRESULT kNotInitialized = static_cast<HRESULT>(0x800401F0u);

// Replaces the entry points for one test.
class ScopedEntryPoints {
public:
    explicit ScopedEntryPoints(EntryPoints replacement) : saved_(entry_points()) { entry_points() = replacement; }
    ~ScopedEntryPoints() { entry_points() = saved_; }
    static const EntryPoints& system() { return system_; }

private:
    EntryPoints saved_;
    static inline EntryPoints system_ = entry_points();
};

using ManagerCache = FactoryCache<abi::IKeyCredentialManagerStatics>;

// One statics call through the cache: counts the runs, passes the factory's status.
Outcome<int> count_call(ManagerCache& cache, int& runs) {
    return cache.call([&](abi::IKeyCredentialManagerStatics* statics) -> Outcome<int> {
        EXPECT_NE(statics, nullptr);
        return ++runs;
    });
}

TEST(FactoryCache, AgileFactoryIsCachedOnceAndLaterCallsMakeNoLookup) {
    Control& doubles = registered_doubles();
    ManagerCache cache(kKeyCredentialManagerClass, abi::IID_IKeyCredentialManagerStatics);
    int runs = 0;
    for (int i = 1; i <= 3; ++i) {
        Outcome<int> outcome = count_call(cache, runs);
        ASSERT_TRUE(outcome.ok());
        EXPECT_EQ(outcome.value(), i);
    }
    EXPECT_NE(cache.cached(), nullptr);
    EXPECT_EQ(doubles.calls[doubles::GetActivationFactory], 1);
    EXPECT_EQ(doubles.calls[doubles::AgileQuery], 1);
    EXPECT_EQ(doubles.live_factories, 1);  // the cell's own reference
}

struct NotAgileRow {
    const char* label;
    HRESULT hr;
    bool null_out;
    bool object_on_failure;
};
class NotAgileFactory : public ::testing::TestWithParam<NotAgileRow> {};

TEST_P(NotAgileFactory, ServesOneCallAndIsReleased) {
    Control& doubles = registered_doubles();
    doubles.scripts[doubles::AgileQuery].hr = GetParam().hr;
    doubles.scripts[doubles::AgileQuery].null_out = GetParam().null_out;
    doubles.scripts[doubles::AgileQuery].object_on_failure = GetParam().object_on_failure;
    ManagerCache cache(kKeyCredentialManagerClass, abi::IID_IKeyCredentialManagerStatics);
    int runs = 0;
    for (int i = 1; i <= 2; ++i) {
        ASSERT_TRUE(count_call(cache, runs).ok());
        EXPECT_EQ(doubles.live_factories, 0);
    }
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(cache.cached(), nullptr);
    EXPECT_EQ(doubles.calls[doubles::GetActivationFactory], 2);
}
INSTANTIATE_TEST_SUITE_P(Answers, NotAgileFactory,
                         ::testing::Values(NotAgileRow{"QueryFails", E_NOINTERFACE, false, false},
                                           NotAgileRow{"QueryYieldsNull", S_OK, true, false},
                                           // A failed query counts, whatever it wrote.
                                           NotAgileRow{"QueryFailsWithAPointer", E_NOINTERFACE, false, true}),
                         [](const auto& info) { return std::string(info.param.label); });

// Both threads meet inside the lookup, so both find the cell empty. (Not std::barrier:
// atomic waits in mingw-w64's GCC 12 libstdc++ can miss a wake-up and hang.)
struct Rendezvous {
    volatile LONG arrived = 0;
    KernelHandle all_here{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    void arrive_and_wait() {
        if (InterlockedIncrement(&arrived) == 2) SetEvent(all_here.get());
        WaitForSingleObject(all_here.get(), INFINITE);
    }
};
Rendezvous* g_lookup_rendezvous = nullptr;
HRESULT WINAPI lookup_after_rendezvous(HSTRING name, REFIID iid, void** factory) {
    g_lookup_rendezvous->arrive_and_wait();
    return ScopedEntryPoints::system().RoGetActivationFactory(name, iid, factory);
}

TEST(FactoryCache, RacingThreadsLeaveOneCachedReference) {
    Control& doubles = registered_doubles();
    Rendezvous both_looking;
    g_lookup_rendezvous = &both_looking;
    ScopedEntryPoints entry({&lookup_after_rendezvous, ScopedEntryPoints::system().CoIncrementMTAUsage});
    ManagerCache cache(kKeyCredentialManagerClass, abi::IID_IKeyCredentialManagerStatics);
    std::atomic<int> runs{0};
    auto call = [&] {
        Outcome<int> outcome = cache.call([&](abi::IKeyCredentialManagerStatics* statics) -> Outcome<int> {
            EXPECT_EQ(statics, cache.cached());
            return ++runs;
        });
        EXPECT_TRUE(outcome.ok());
    };
    std::thread first(call), second(call);
    first.join();
    second.join();
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(doubles.calls[doubles::GetActivationFactory], 2);
    EXPECT_EQ(doubles.live_factories, 1);
    EXPECT_NE(cache.cached(), nullptr);
}

std::atomic<int> g_lookups{0};
std::atomic<int> g_mta_increments{0};
HRESULT WINAPI lookup_without_apartment_first(HSTRING name, REFIID iid, void** factory) {
    *factory = nullptr;
    if (g_lookups++ == 0) return kNotInitialized;
    return ScopedEntryPoints::system().RoGetActivationFactory(name, iid, factory);
}
HRESULT WINAPI count_mta_usage(CO_MTA_USAGE_COOKIE* cookie) {
    ++g_mta_increments;
    return ScopedEntryPoints::system().CoIncrementMTAUsage(cookie);
}
HRESULT WINAPI lookup_never_initialised(HSTRING, REFIID, void** factory) {
    *factory = nullptr;
    ++g_lookups;
    return kNotInitialized;
}
HRESULT WINAPI lookup_with_failure_code(HSTRING name, REFIID iid, void** factory) {
    ++g_lookups;
    (void)ScopedEntryPoints::system().RoGetActivationFactory(name, iid, factory);
    return E_FAIL;
}

TEST(FactoryCache, JoinsTheApartmentOnceWhenTheThreadHasNone) {
    Control& doubles = registered_doubles();
    ScopedEntryPoints entry({&lookup_without_apartment_first, &count_mta_usage});
    ManagerCache cache(kKeyCredentialManagerClass, abi::IID_IKeyCredentialManagerStatics);
    int runs = 0;
    ASSERT_TRUE(count_call(cache, runs).ok());
    ASSERT_TRUE(count_call(cache, runs).ok());
    EXPECT_EQ(g_lookups, 2);
    EXPECT_EQ(g_mta_increments, 1);
    EXPECT_EQ(doubles.calls[doubles::GetActivationFactory], 1);
    EXPECT_NE(cache.cached(), nullptr);
}

TEST(FactoryCache, RetriesOnlyOnceThenFallsBack) {
    ScopedEntryPoints entry({&lookup_never_initialised, &count_mta_usage});
    // No library of this name exists: the error is the second lookup's.
    Outcome<ComPtr<abi::IUnknown>> outcome = resolve_factory("Nowhere.At.All", abi::IID_IKeyCredentialManagerStatics);
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().code(), kNotInitialized);
    EXPECT_EQ(g_lookups, 2);
    EXPECT_EQ(g_mta_increments, 1);
}

TEST(FactoryCache, AFactoryWithAFailureCodeCountsAsSuccess) {
    ScopedEntryPoints entry({&lookup_with_failure_code, &count_mta_usage});
    Outcome<ComPtr<abi::IUnknown>> outcome =
        resolve_factory(kKeyCredentialManagerClass, abi::IID_IKeyCredentialManagerStatics);
    ASSERT_TRUE(outcome.ok());
    EXPECT_TRUE(outcome.value());
    EXPECT_EQ(g_mta_increments, 0);
}

TEST(FactoryCache, FailedResolutionLeavesTheCellEmpty) {
    ManagerCache cache("NoDotsAnywhere", abi::IID_IKeyCredentialManagerStatics);
    int runs = 0;
    Outcome<int> outcome = count_call(cache, runs);
    ASSERT_FALSE(outcome.ok());
    EXPECT_LT(outcome.error().code(), 0);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(cache.cached(), nullptr);
}

bool loaded(const wchar_t* file) { return GetModuleHandleW(file) != nullptr; }

// Made-up class names, whose candidate libraries lie beside the test program:
// BioTest.Fallback.MissingExport.dll (no export), BioTest.Fallback.dll and BioTest.dll.
TEST(Fallback, LibraryWithoutTheExportIsFreedAndTheNextIsTried) {
    Control& fallback = control_of(L"BioTest.Fallback.dll");
    Outcome<ComPtr<abi::IUnknown>> outcome =
        resolve_factory("BioTest.Fallback.MissingExport.Thing", abi::IID_IKeyCredentialManagerStatics);
    ASSERT_TRUE(outcome.ok());
    EXPECT_FALSE(loaded(L"BioTest.Fallback.MissingExport.dll"));
    EXPECT_EQ(fallback.calls[doubles::GetActivationFactory], 1);
    EXPECT_EQ(fallback.calls[doubles::StaticsQuery], 1);
    EXPECT_FALSE(loaded(L"BioTest.dll"));
    outcome = PlatformError::empty();
    EXPECT_EQ(fallback.live_factories, 0);
}

// A lookup that fails the way the platform does, leaving an error object on the thread.
HRESULT WINAPI lookup_failing_with_error_object(HSTRING, REFIID, void** factory) {
    *factory = nullptr;
    ICreateErrorInfo* create = nullptr;
    if (SUCCEEDED(CreateErrorInfo(&create))) {
        create->SetDescription(const_cast<LPOLESTR>(L"no such class here"));
        ::IErrorInfo* info = nullptr;
        if (SUCCEEDED(create->QueryInterface(::IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
            SetErrorInfo(0, info);
            info->Release();
        }
        create->Release();
    }
    return REGDB_E_CLASSNOTREG;
}

TEST(Fallback, WhenEveryCandidateFailsTheLookupErrorKeepsItsErrorObject) {
    ScopedEntryPoints entry({&lookup_failing_with_error_object, ScopedEntryPoints::system().CoIncrementMTAUsage});
    // Both libraries load and export the function, which then fails: their errors are dropped.
    Control& first = control_of(L"BioTest.Fallback.dll");
    Control& second = control_of(L"BioTest.dll");
    first.scripts[doubles::GetActivationFactory].hr = E_FAIL;
    second.scripts[doubles::GetActivationFactory].hr = E_ACCESSDENIED;
    Outcome<ComPtr<abi::IUnknown>> outcome =
        resolve_factory("BioTest.Fallback.Deep.Thing", abi::IID_IKeyCredentialManagerStatics);
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().code(), REGDB_E_CLASSNOTREG);
    ASSERT_NE(outcome.error().info(), nullptr);
    EXPECT_EQ(outcome.error().message(), "no such class here");
    EXPECT_EQ(first.calls[doubles::GetActivationFactory], 1);
    EXPECT_EQ(second.calls[doubles::GetActivationFactory], 1);
}

struct FactoryFailureRow {
    const char* label;
    doubles::Method method;
    HRESULT hr;
    bool null_out;
};
class FallbackFactoryFails : public ::testing::TestWithParam<FactoryFailureRow> {};

TEST_P(FallbackFactoryFails, NextCandidateIsTried) {
    Control& first = control_of(L"BioTest.Fallback.dll");
    first.scripts[GetParam().method].hr = GetParam().hr;
    first.scripts[GetParam().method].null_out = GetParam().null_out;
    Outcome<ComPtr<abi::IUnknown>> outcome =
        resolve_factory("BioTest.Fallback.Deep.Thing", abi::IID_IKeyCredentialManagerStatics);
    ASSERT_TRUE(outcome.ok());
    EXPECT_EQ(first.calls[doubles::GetActivationFactory], 1);
    // The export was found, so the library stays loaded after our own reference goes.
    FreeLibrary(GetModuleHandleW(L"BioTest.Fallback.dll"));
    EXPECT_TRUE(loaded(L"BioTest.Fallback.dll"));
    EXPECT_EQ(control_of(L"BioTest.dll").calls[doubles::GetActivationFactory], 1);
}
INSTANTIATE_TEST_SUITE_P(Exports, FallbackFactoryFails,
                         ::testing::Values(FactoryFailureRow{"ExportFails", doubles::GetActivationFactory, E_FAIL, false},
                                           FactoryFailureRow{"ExportYieldsNull", doubles::GetActivationFactory, S_OK, true}),
                         [](const auto& info) { return std::string(info.param.label); });

struct StopRow {
    const char* label;
    HRESULT hr;
    bool null_out;
    std::int32_t code;
};
class FallbackQueryFails : public ::testing::TestWithParam<StopRow> {};

TEST_P(FallbackQueryFails, StopsTheSearch) {
    Control& first = control_of(L"BioTest.Fallback.dll");
    first.scripts[doubles::StaticsQuery].hr = GetParam().hr;
    first.scripts[doubles::StaticsQuery].null_out = GetParam().null_out;
    Outcome<ComPtr<abi::IUnknown>> outcome =
        resolve_factory("BioTest.Fallback.Deep.Thing", abi::IID_IKeyCredentialManagerStatics);
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().code(), GetParam().code);
    EXPECT_FALSE(loaded(L"BioTest.dll"));
    EXPECT_EQ(first.live_factories, 0);
}
INSTANTIATE_TEST_SUITE_P(Answers, FallbackQueryFails,
                         ::testing::Values(StopRow{"QueryFails", E_NOINTERFACE, false, E_NOINTERFACE},
                                           StopRow{"QueryYieldsNull", S_OK, true, E_POINTER_CODE}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace bio::winrt

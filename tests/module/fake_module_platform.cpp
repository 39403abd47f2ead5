// The platform of the module's test build: the scripted fake, programmed from Python
// through these C exports (ctypes), in the test process or in a subprocess.
#include <cstring>
#include <string>

#include "fake_platform.h"
#include "module/entry.h"
#include "module/py_err.h"
#include "runtime/allocation.h"

#if defined(_WIN32)
#define BIO_TEST_EXPORT extern "C" __declspec(dllexport)
#else
#define BIO_TEST_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace bio {

namespace {
testing::FakePlatform* g_fake = nullptr;

// The module's heap count when the platform was first called after bio_test_heap_mark:
// what binding and converting the arguments allocated lies before it.
constexpr std::uint64_t kNotCalled = ~std::uint64_t{0};
HeapCount g_at_first_call{kNotCalled, kNotCalled};

void note_platform_call() {
    if (g_at_first_call.allocations == kNotCalled) g_at_first_call = heap_count();
}
}  // namespace

testing::FakePlatform& fake_platform() {
    if (g_fake == nullptr) {
        UnaccountedScope unaccounted;
        g_fake = new testing::FakePlatform;  // lives until the process ends
        g_fake->before_call = note_platform_call;
    }
    return *g_fake;
}

KeyCredentialPlatform& default_platform() { return fake_platform(); }

}  // namespace bio

namespace {

bool op_from_name(const char* name, bio::testing::Op& op) {
    using bio::testing::Op;
    for (int i = 0; i <= static_cast<int>(bio::testing::kLastOp); ++i) {
        if (std::strcmp(bio::testing::op_name(static_cast<Op>(i)), name) == 0) {
            op = static_cast<Op>(i);
            return true;
        }
    }
    return false;
}

std::size_t copy_out(const void* data, std::size_t size, void* buffer, std::size_t capacity) {
    if (buffer != nullptr && size != 0) std::memcpy(buffer, data, size < capacity ? size : capacity);
    return size;
}

}  // namespace

// Scripts the next call of `op` (names as in the fake's call log): kind is "fail"
// (value: HRESULT, message: attached text or null), "no_object", "status", "length",
// "answer" (value: 0 or 1), "bytes" (the buffer yielded holds the `value` bytes at
// `message`) or "succeed". Returns 0, or -1 for an unknown op or kind.
BIO_TEST_EXPORT int bio_test_script(const char* op_name, const char* kind, long long value, const char* message) {
    using bio::testing::Step;
    bio::testing::Op op;
    if (!op_from_name(op_name, op)) return -1;
    const std::string k = kind;
    Step step;
    if (k == "fail") {
        step = Step::fail(static_cast<std::int32_t>(value), message != nullptr ? message : "");
    } else if (k == "no_object") {
        step = Step::no_object();
    } else if (k == "status") {
        step = Step::status(static_cast<std::int32_t>(value));
    } else if (k == "length") {
        step = Step::length(static_cast<std::uint32_t>(value));
    } else if (k == "answer") {
        step = Step::answer(value != 0);
    } else if (k == "bytes") {
        if (message == nullptr && value != 0) return -1;
        const auto* data = reinterpret_cast<const std::uint8_t*>(message);
        step = Step::buffer(std::vector<std::uint8_t>(data, data + value));
    } else if (k == "succeed") {
        step = Step::succeed();
    } else {
        return -1;
    }
    bio::fake_platform().script(op, step);
    return 0;
}

// Forgets scripts and observations; the results go back to their defaults.
BIO_TEST_EXPORT void bio_test_reset() {
    auto& fake = bio::fake_platform();
    fake.clear_scripts();
    fake.trim();
    fake.faults.clear();
    fake.last_name.clear();
    fake.last_data.clear();
    fake.signature = {0, 1, 127, 128, 255};
    fake.base64_text = "AQID";
    fake.public_key = {1, 2, 3};
    fake.last_blob_type = -1;
    fake.last_creation_option = -1;
    fake.last_window = 0;
    fake.fail_array_allocation = false;
}

// Whether the platform's array memory can be had (allocate_array yields null when not).
BIO_TEST_EXPORT void bio_test_fail_array_allocation(int fail) { bio::fake_platform().fail_array_allocation = fail != 0; }

BIO_TEST_EXPORT void bio_test_set_signature(const std::uint8_t* bytes, std::size_t size) {
    bio::fake_platform().signature.assign(bytes, bytes + size);
}

BIO_TEST_EXPORT void bio_test_set_public_key_text(const char* text) { bio::fake_platform().base64_text = text; }

BIO_TEST_EXPORT void bio_test_set_public_key(const std::uint8_t* bytes, std::size_t size) {
    bio::fake_platform().public_key.assign(bytes, bytes + size);
}

BIO_TEST_EXPORT int bio_test_last_blob_type() { return bio::fake_platform().last_blob_type; }
BIO_TEST_EXPORT int bio_test_last_creation_option() { return bio::fake_platform().last_creation_option; }
BIO_TEST_EXPORT unsigned long long bio_test_last_window() { return bio::fake_platform().last_window; }

// Observations: each copies at most `capacity` bytes and returns the full size.
BIO_TEST_EXPORT std::size_t bio_test_last_name(char* buffer, std::size_t capacity) {
    const std::string& name = bio::fake_platform().last_name;
    return copy_out(name.data(), name.size(), buffer, capacity);
}

BIO_TEST_EXPORT std::size_t bio_test_last_data(std::uint8_t* buffer, std::size_t capacity) {
    const auto& data = bio::fake_platform().last_data;
    return copy_out(data.data(), data.size(), buffer, capacity);
}

// The call log, one operation name per line.
BIO_TEST_EXPORT std::size_t bio_test_calls(char* buffer, std::size_t capacity) {
    std::string log;
    for (const std::string& call : bio::fake_platform().calls) log += call + "\n";
    return copy_out(log.data(), log.size(), buffer, capacity);
}

BIO_TEST_EXPORT int bio_test_live_objects() { return bio::fake_platform().live_objects(); }
BIO_TEST_EXPORT int bio_test_live_arrays() { return bio::fake_platform().live_arrays(); }
BIO_TEST_EXPORT int bio_test_release_faults() { return static_cast<int>(bio::fake_platform().faults.size()); }

// Drops the fake's logs and released objects (scripts stay): long runs stay fast.
BIO_TEST_EXPORT void bio_test_trim() { bio::fake_platform().trim(); }

// The module's own heap: allocations and bytes so far, then the same counts as they were
// when the platform was first called after the last bio_test_heap_mark (all ones: not yet).
BIO_TEST_EXPORT void bio_test_heap(std::uint64_t* counts) {
    const bio::HeapCount now = bio::heap_count();
    counts[0] = now.allocations;
    counts[1] = now.bytes;
    counts[2] = bio::g_at_first_call.allocations;
    counts[3] = bio::g_at_first_call.bytes;
}

BIO_TEST_EXPORT void bio_test_heap_mark() { bio::g_at_first_call = {bio::kNotCalled, bio::kNotCalled}; }

// Asks the module's own heap for `size` bytes.
BIO_TEST_EXPORT void bio_test_allocate(std::size_t size) {
    volatile char* block = new char[size];
    block[0] = 1;
    delete[] block;
}

// An entry whose error cannot be restored: the RuntimeError message is not UTF-8, so
// making its str fails while the entry restores it, outside the fault boundary.
BIO_TEST_EXPORT PyObject* bio_test_entry_failing_restore() {
    return bio::run_entry([] { return bio::EntryOutcome(bio::new_error(bio::ErrorKind::OperationFailure, "\xff")); });
}

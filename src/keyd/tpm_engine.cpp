#include "keyd/tpm_engine.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <list>
#include <optional>
#include <utility>

#include "keyd/protocol.h"
#include "keyd/tpm_keys.h"
#include "keyd/tss_library.h"

namespace bio::keyd {

MainQueue::MainQueue() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void MainQueue::post(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        work_.push_back(std::move(work));
    }
    const std::uint64_t one = 1;
    // A full counter (never, in practice) still leaves the descriptor readable.
    [[maybe_unused]] const ssize_t written = ::write(fd_.get(), &one, sizeof one);
}

void MainQueue::run() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t read = ::read(fd_.get(), &count, sizeof count);
    std::deque<std::function<void()>> work;
    {
        std::lock_guard lock(mutex_);
        work.swap(work_);
    }
    for (auto& item : work) item();
}

namespace {

// A response of the TPM that says the objects we hold are not there any more: it was
// reset or restarted under a connection that survived (TPM_RC_REFERENCE_H0..H6,
// TPM_RC_HANDLE of any handle).
bool objects_gone(std::int32_t code) {
    const auto value = static_cast<std::uint32_t>(code);
    if ((value & 0xFFFFF000u) != static_cast<std::uint32_t>(tpm::kTpmResponseBase)) return false;
    const std::uint32_t rc = value & 0xFFFu;
    return (rc >= TPM2_RC_REFERENCE_H0 && rc <= TPM2_RC_REFERENCE_H0 + 6) ||
           ((rc & TPM2_RC_FMT1) != 0 && (rc & 0x3Fu) == (TPM2_RC_HANDLE & 0x3Fu));
}

}  // namespace

// The worker's connection and the objects loaded through it.
class TpmSession {
public:
    explicit TpmSession(std::string tcti) : tcti_(std::move(tcti)) {}
    TpmSession(const TpmSession&) = delete;
    TpmSession& operator=(const TpmSession&) = delete;
    ~TpmSession() { close(); }

    Outcome<void> probe() {
        return attempt<void>([&]() -> Outcome<void> {
            auto c = connection();
            if (!c.ok()) return std::move(c.error());
            return tpm::ping(*c.value());
        });
    }

    Outcome<tpm::KeyBlob> create(const tpm::KeyAuth& auth) {
        return attempt<tpm::KeyBlob>([&]() -> Outcome<tpm::KeyBlob> {
            auto parent = primary();
            if (!parent.ok()) return std::move(parent.error());
            return tpm::create_signing_key_under(*connection_, parent.value(), auth);
        });
    }

    Outcome<std::vector<std::uint8_t>> sign(const StoredKey& key, std::span<const std::uint8_t, 32> digest) {
        return attempt<std::vector<std::uint8_t>>([&]() -> Outcome<std::vector<std::uint8_t>> {
            auto handle = loaded(key);
            if (!handle.ok()) return std::move(handle.error());
            return tpm::sign_loaded(*connection_, handle.value(), digest);
        });
    }

    bool lockout_seen() const {
        return lockout_at_ && std::chrono::steady_clock::now() - *lockout_at_ < std::chrono::seconds(10);
    }

private:
    // The primary and two keys fill a simulator without a resource manager (three slots).
    static constexpr std::size_t kCachedKeys = 2;
    static constexpr int kAttempts = 5;
    static constexpr std::int32_t kObjectMemory = tpm::kTpmResponseBase | TPM2_RC_OBJECT_MEMORY;
    static constexpr std::int32_t kNotStarted = tpm::kTpmResponseBase | TPM2_RC_INITIALIZE;

    struct Cached {
        tpm::KeyBlob blob;
        tpm::KeyAuth auth;
        tpm::TransientObject object;
    };

    // Runs `step` until it succeeds, fails for good, or has had its attempts.
    template <class T, class Step>
    Outcome<T> attempt(Step step) {
        for (int i = 1;; ++i) {
            Outcome<T> result = step();
            if (result.ok()) return result;
            const std::int32_t code = result.error().code();
            if (code == kTpmLockout) lockout_at_ = std::chrono::steady_clock::now();
            if (i == kAttempts) return result;
            if (code == kObjectMemory) {
                flush_cache();
            } else if (code == tpm::kTpmBusy) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20 * i));
            } else if (code == kNotStarted) {
                close();
                start_ = true;
            } else if (code == tpm::kTpmInternalError || code == tpm::kTpmNotFound || objects_gone(code)) {
                // The transport failed (the TPM or its resource manager went away), or the
                // TPM was reset: a new connection, and everything loaded again.
                close();
                if (i > 1) std::this_thread::sleep_for(std::chrono::milliseconds(50 * i));
            } else {
                return result;
            }
        }
    }

    Outcome<tpm::TpmConnection*> connection() {
        if (connection_) return &*connection_;
        Outcome<const tpm::TssFunctions*> tss = tpm::loaded_functions(tpm::tss_library(true));
        if (!tss.ok()) return std::move(tss.error());
        auto opened = tpm::TpmConnection::open(*tss.value(), tcti_);
        if (!opened.ok()) return std::move(opened.error());
        connection_.emplace(std::move(opened.value()));
        if (std::exchange(start_, false)) {
            // Already started is no failure: the next command says whatever is wrong.
            [[maybe_unused]] const Outcome<void> started = tpm::startup(*connection_);
        }
        return &*connection_;
    }

    Outcome<ESYS_TR> primary() {
        auto c = connection();
        if (!c.ok()) return std::move(c.error());
        if (primary_.get() != ESYS_TR_NONE) return primary_.get();
        auto made = tpm::create_storage_primary(*c.value());
        if (!made.ok()) return std::move(made.error());
        primary_ = std::move(made.value());
        return primary_.get();
    }

    Outcome<ESYS_TR> loaded(const StoredKey& key) {
        for (auto it = cache_.begin(); it != cache_.end(); ++it) {
            if (it->blob == key.blob && it->auth == key.auth) {
                cache_.splice(cache_.begin(), cache_, it);
                return cache_.front().object.get();
            }
        }
        auto parent = primary();
        if (!parent.ok()) return std::move(parent.error());
        if (cache_.size() == kCachedKeys) cache_.pop_back();  // flushed as it goes
        auto loaded = tpm::load_key_under(*connection_, parent.value(), key.blob, key.auth);
        if (!loaded.ok()) return std::move(loaded.error());
        cache_.push_front(Cached{key.blob, key.auth, std::move(loaded.value())});
        return cache_.front().object.get();
    }

    void flush_cache() noexcept { cache_.clear(); }

    // The objects first, through the connection they were loaded by.
    void close() noexcept {
        cache_.clear();
        primary_.reset();
        connection_.reset();
    }

    std::string tcti_;
    // Declared before the objects loaded through it, so that it ends after them.
    std::optional<tpm::TpmConnection> connection_;
    tpm::TransientObject primary_;
    std::list<Cached> cache_;  // the most recently used first
    std::optional<std::chrono::steady_clock::time_point> lockout_at_;
    bool start_ = false;  // the TPM said it was not started: TPM2_Startup on the next connection
};

TpmEngine::TpmEngine(std::string tcti, MainQueue& main) : tcti_(std::move(tcti)), main_(main) {
    worker_ = std::thread([this] { run(); });
}

TpmEngine::~TpmEngine() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    worker_.join();
}

void TpmEngine::submit(std::function<void(TpmSession&)> job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void TpmEngine::run() {
    TpmSession session(tcti_);
    for (;;) {
        std::function<void(TpmSession&)> job;
        {
            std::unique_lock lock(mutex_);
            // A timed wait, woken as soon as a job comes: GCC 12's untimed wait is a symbol
            // of GLIBCXX_3.4.30, which would lift the Linux wheel past glibc 2.34's systems.
            while (!stopping_ && jobs_.empty()) wake_.wait_for(lock, std::chrono::hours(1));
            if (jobs_.empty()) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job(session);
    }
}

void TpmEngine::availability(std::function<void(AvailabilityAnswer)> done) {
    submit([this, done = std::move(done)](TpmSession& session) mutable {
        AvailabilityAnswer answer{UserConsent_Available, "the TPM answers"};
        if (session.lockout_seen()) {
            answer = {UserConsent_DeviceBusy, "the TPM is in dictionary-attack lockout"};
        } else if (Outcome<void> probed = session.probe(); !probed.ok()) {
            const std::int32_t code = probed.error().code();
            const std::int32_t value = code == tpm::kTpmBusy || code == kTpmLockout ? UserConsent_DeviceBusy
                                                                                   : UserConsent_DeviceNotPresent;
            answer = {value, "the service cannot use the TPM: " + probed.error().message()};
        }
        main_.post([done = std::move(done), answer = std::move(answer)]() mutable { done(std::move(answer)); });
    });
}

void TpmEngine::create(std::function<void(Outcome<StoredKey>)> done) {
    submit([this, done = std::move(done)](TpmSession& session) mutable {
        std::optional<tpm::KeyAuth> auth = tpm::KeyAuth::random();
        Outcome<StoredKey> result = PlatformError::with_text(tpm::kTpmInternalError, "no random authorization value");
        if (auth) {
            Outcome<tpm::KeyBlob> blob = session.create(*auth);
            if (blob.ok()) {
                result = StoredKey{std::move(blob.value()), *auth};
            } else {
                result = std::move(blob.error());
            }
        }
        auto shared = std::make_shared<decltype(result)>(std::move(result));
        main_.post([done = std::move(done), shared] { done(std::move(*shared)); });
    });
}

void TpmEngine::sign(StoredKey key, std::array<std::uint8_t, 32> digest,
                     std::function<void(Outcome<std::vector<std::uint8_t>>)> done) {
    submit([this, key = std::move(key), digest, done = std::move(done)](TpmSession& session) mutable {
        Outcome<std::vector<std::uint8_t>> result = session.sign(key, digest);
        auto shared = std::make_shared<decltype(result)>(std::move(result));
        main_.post([done = std::move(done), shared] { done(std::move(*shared)); });
    });
}

Outcome<std::vector<std::uint8_t>> TpmEngine::public_key(const StoredKey& key) {
    Outcome<const tpm::TssFunctions*> tss = tpm::loaded_functions(tpm::tss_library(true));
    if (!tss.ok()) return std::move(tss.error());
    return tpm::public_key_der(*tss.value(), key.blob);
}

}  // namespace bio::keyd

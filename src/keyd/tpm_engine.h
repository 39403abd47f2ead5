// The service's one user of the TPM: a worker thread that meets it one request at a
// time over one connection kept open, with the storage primary kept loaded and a few
// recently used keys cached (least recently used flushed first). Warnings of the TPM are
// retried briefly: object memory after flushing the cache, retry/yielded/testing after
// a short pause; a connection that fails is reopened. Results come back to the main
// loop through a MainQueue.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "keyd/service.h"
#include "local/unique_fd.h"

namespace bio::keyd {

// Work for the main loop from other threads: its descriptor (an eventfd) becomes
// readable when there is some.
class MainQueue {
public:
    MainQueue();
    int fd() const noexcept { return fd_.get(); }
    bool ok() const noexcept { return static_cast<bool>(fd_); }
    void post(std::function<void()> work);
    // Runs what was posted (main loop).
    void run();

private:
    local::UniqueFd fd_;
    std::mutex mutex_;
    std::deque<std::function<void()>> work_;
};

class TpmSession;

class TpmEngine final : public KeyEngine {
public:
    TpmEngine(std::string tcti, MainQueue& main);
    ~TpmEngine() override;
    TpmEngine(const TpmEngine&) = delete;
    TpmEngine& operator=(const TpmEngine&) = delete;

    void availability(std::function<void(AvailabilityAnswer)> done) override;
    void create(std::function<void(Outcome<StoredKey>)> done) override;
    void sign(StoredKey key, std::array<std::uint8_t, 32> digest,
              std::function<void(Outcome<std::vector<std::uint8_t>>)> done) override;
    Outcome<std::vector<std::uint8_t>> public_key(const StoredKey& key) override;

private:
    void submit(std::function<void(TpmSession&)> job);
    void run();

    std::string tcti_;
    MainQueue& main_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void(TpmSession&)>> jobs_;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace bio::keyd

#include "standin/key_cache.h"

#include <time.h>

#include <algorithm>

namespace bio::standin {

KeyCache::Moment KeyCache::now() noexcept {
    timespec t{};
#if defined(CLOCK_REALTIME_COARSE)
    // The clock that Linux stamps file changes with.
    ::clock_gettime(CLOCK_REALTIME_COARSE, &t);
    return Moment{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
#else
    // Elsewhere the stamps' clock is not known: allow for a granularity of two seconds.
    ::clock_gettime(CLOCK_REALTIME, &t);
    return (Moment{t.tv_sec} - 2) * 1'000'000'000 + t.tv_nsec;
#endif
}

KeyCache::Key KeyCache::find(const local::FileIdentity& identity) {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (Entry& entry : entries_) {
        if (entry.identity == identity) {
            entry.last_used = ++uses_;
            return entry.key;
        }
    }
    return nullptr;
}

void KeyCache::insert(const local::FileIdentity& identity, Key key, Moment looked_at) {
    const Moment changed = Moment{identity.changed_seconds} * 1'000'000'000 + identity.changed_nanoseconds;
    const Moment modified = Moment{identity.modified_seconds} * 1'000'000'000 + identity.modified_nanoseconds;
    if (changed >= looked_at || modified >= looked_at) return;

    const std::lock_guard<std::mutex> lock(mutex_);
    // A file version has one entry; another thread may have parsed it at the same time.
    for (Entry& entry : entries_) {
        if (entry.identity == identity) return;
    }
    if (entries_.size() < kEntries) {
        entries_.push_back(Entry{identity, std::move(key), ++uses_});
        return;
    }
    Entry& oldest = *std::min_element(entries_.begin(), entries_.end(),
                                      [](const Entry& a, const Entry& b) { return a.last_used < b.last_used; });
    oldest = Entry{identity, std::move(key), ++uses_};
}

std::size_t KeyCache::size() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

}  // namespace bio::standin

// An owned POSIX file descriptor.
#pragma once

#include <unistd.h>

#include "runtime/unique_handle.h"

namespace bio::local {

// -1 is none: what every call that opens one returns when it fails.
struct FdTraits {
    using type = int;
    static type invalid() noexcept { return -1; }
    static void close(type fd) noexcept { ::close(fd); }
};

// Closes its descriptor when it ends.
using UniqueFd = UniqueHandle<FdTraits>;

}  // namespace bio::local

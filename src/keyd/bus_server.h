// biometric-keyd on the system bus: its name, its object, its event loop, and polkit's
// CheckAuthorization asked asynchronously on the same connection.
#pragma once

#include <string>

namespace bio::keyd {

struct ServerOptions {
    std::string state_directory;
    std::string tcti;
    bool idle_exit = false;  // leave after kIdleExitSeconds without a request
};

inline constexpr int kIdleExitSeconds = 60;

// Serves until idle (with idle_exit), SIGTERM or SIGINT, or a failure of the bus; the
// process's exit status.
int serve(const ServerOptions& options);

}  // namespace bio::keyd

// biometric-keyd: holds every user's keys in the TPM and asks polkit about its caller
// before each use (see protocol.h). Started by D-Bus activation with --idle-exit.
//
//   biometric-keyd [--state-dir DIR] [--tcti TCTI] [--config FILE] [--idle-exit]
//
// The TCTI: --tcti, else the last tcti= line of the configuration file (kConfigFile),
// else device:/dev/tpmrm0.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "keyd/bus_server.h"
#include "keyd/protocol.h"

namespace {

constexpr const char* kDefaultTcti = "device:/dev/tpmrm0";

int usage(const char* why) {
    std::fprintf(stderr, "biometric-keyd: %s\nusage: biometric-keyd [--state-dir DIR] [--tcti TCTI] [--config FILE] "
                         "[--idle-exit]\n", why);
    return 2;
}

// The configuration's tcti (its last tcti= line); nullopt without one or without the file.
std::optional<std::string> configured_tcti(const std::string& path) {
    std::ifstream file(path);
    std::optional<std::string> tcti;
    for (std::string line; std::getline(file, line);) {
        const std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        if (line.compare(start, 5, "tcti=") == 0) {
            std::string value = line.substr(start + 5);
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r')) value.pop_back();
            if (!value.empty()) tcti = value;
        }
    }
    return tcti;
}

}  // namespace

int main(int argc, char** argv) {
    bio::keyd::ServerOptions options;
    options.state_directory = bio::keyd::kStateDirectory;
    std::string config = bio::keyd::kConfigFile;
    std::optional<std::string> tcti;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (std::strcmp(arg, "--idle-exit") == 0) {
            options.idle_exit = true;
        } else if (std::strcmp(arg, "--state-dir") == 0 && has_value) {
            options.state_directory = argv[++i];
        } else if (std::strcmp(arg, "--tcti") == 0 && has_value) {
            tcti = argv[++i];
        } else if (std::strcmp(arg, "--config") == 0 && has_value) {
            config = argv[++i];
        } else {
            return usage((std::string("unknown or incomplete option ") + arg).c_str());
        }
    }
    if (!tcti) tcti = configured_tcti(config);
    options.tcti = tcti ? *tcti : kDefaultTcti;
    // Whatever the service makes is its own alone.
    ::umask(077);
    return bio::keyd::serve(options);
}

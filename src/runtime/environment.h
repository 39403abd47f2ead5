// What a request reads from the environment, read once, at its start.
//
// Python changes the process's environment (os.environ, os.putenv) holding the interpreter
// lock and no lock of the C library's, and setenv may move the whole table while another
// thread's getenv walks it. A request that gives the lock up therefore reads its settings
// before it does, and whatever beneath it asks for one later is answered from that reading.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace bio {

// The reading of the calling thread's request, while this lives.
class RequestEnvironment {
public:
    // Reads `names` (ASCII, static storage) now, and the backtrace variable of fault
    // reports, which a fault beneath the request may ask for.
    explicit RequestEnvironment(std::span<const char* const> names);
    ~RequestEnvironment();
    RequestEnvironment(const RequestEnvironment&) = delete;
    RequestEnvironment& operator=(const RequestEnvironment&) = delete;

private:
    friend std::optional<std::string> request_variable(const char* name);
    std::vector<std::pair<const char*, std::optional<std::string>>> values_;
    RequestEnvironment* outer_;
};

// The variable `name` as the calling thread's request read it when it started; without a
// request, as the process has it now (the caller holds the interpreter lock, or no
// interpreter is involved). A name the request did not read is an internal fault.
std::optional<std::string> request_variable(const char* name);

}  // namespace bio

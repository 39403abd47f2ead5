#include "runtime/environment.h"

#include <cstring>

#include "runtime/fault.h"
#include "runtime/fault_report.h"
#include "runtime/os.h"

namespace bio {
namespace {

thread_local RequestEnvironment* t_environment = nullptr;

}  // namespace

RequestEnvironment::RequestEnvironment(std::span<const char* const> names) : outer_(t_environment) {
    values_.reserve(names.size() + 1);
    values_.emplace_back(kBacktraceVariable, environment_variable(kBacktraceVariable));
    for (const char* name : names) values_.emplace_back(name, environment_variable(name));
    t_environment = this;
}

RequestEnvironment::~RequestEnvironment() { t_environment = outer_; }

std::optional<std::string> request_variable(const char* name) {
    const RequestEnvironment* environment = t_environment;
    if (environment == nullptr) return environment_variable(name);
    for (const auto& [read, value] : environment->values_) {
        if (std::strcmp(read, name) == 0) return value;
    }
    raise_fault(std::string("the request did not read the environment variable ") + name);
}

}  // namespace bio

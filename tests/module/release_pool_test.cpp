#include <thread>

#include "embedded_python.h"

namespace bio::testing {
namespace {

class PythonEnvironment : public ::testing::Environment {
public:
    void SetUp() override { Py_InitializeEx(0); }
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new PythonEnvironment);

}  // namespace
}  // namespace bio::testing

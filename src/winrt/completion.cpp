#include "winrt/completion.h"

#include <string>

#include "module/os.h"
#include "module/stderr_writer.h"

namespace bio::winrt {

void allocation_failed(std::size_t size) noexcept {
    (void)write_stderr_raw("memory allocation of " + std::to_string(size) + " bytes failed\n");
    end_process();
}

}  // namespace bio::winrt

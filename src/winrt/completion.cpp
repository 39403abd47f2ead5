#include "winrt/completion.h"

#include <charconv>
#include <cstring>
#include <string_view>

#include "module/os.h"
#include "module/stderr_writer.h"

namespace bio::winrt {

void allocation_failed(std::size_t size) noexcept {
    // Memory is short: the message is put together without allocating.
    char text[64];
    std::size_t at = 0;
    const auto put = [&](std::string_view piece) {
        std::memcpy(text + at, piece.data(), piece.size());
        at += piece.size();
    };
    put("memory allocation of ");
    at = static_cast<std::size_t>(std::to_chars(text + at, text + sizeof text, size).ptr - text);
    put(" bytes failed\n");
    (void)write_stderr_raw(std::string_view(text, at));
    end_process();
}

}  // namespace bio::winrt

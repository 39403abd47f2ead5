#include "module/fault_report.h"

#include "module/stderr_writer.h"

namespace bio {

std::string format_location(const FaultLocation& location) {
    std::string text = location.file;
    text += ':';
    text += std::to_string(location.line);
    text += ':';
    text += std::to_string(location.column);
    return text;
}

void write_fault_report(const FaultPayload& payload, const FaultLocation& location,
                        std::uint32_t /*thread_faults*/) noexcept {
    std::string text = "thread '<unnamed>' panicked at " + format_location(location) + ":\n";
    text += payload.is_text() ? payload.text() : std::string_view("Box<dyn Any>");
    text += '\n';
    (void)write_stderr_raw(text);
}

}  // namespace bio

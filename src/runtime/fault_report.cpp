#include "runtime/fault_report.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "runtime/environment.h"
#include "runtime/os.h"
#include "runtime/stderr_writer.h"

namespace bio {
namespace {

// 0: not read yet; otherwise 1 + BacktraceStyle.
std::atomic<std::uint8_t> g_style_cache{0};
std::atomic<bool> g_first_note{true};

// Serialises reports of different threads, and with them symbol resolution.
std::mutex& report_lock() {
    static std::mutex* lock = new std::mutex;  // outlives every static destructor
    return *lock;
}

BacktraceStyle style_from_environment() {
    const std::optional<std::string> value = request_variable(kBacktraceVariable);
    if (!value) return BacktraceStyle::Off;
    if (*value == "0") return BacktraceStyle::Off;
    if (*value == "full") return BacktraceStyle::Full;
    return BacktraceStyle::Short;
}

void put(std::string_view text) noexcept { (void)write_stderr_raw(text); }

std::string padded_left(std::string text, std::size_t width) {
    if (text.size() < width) text.insert(0, width - text.size(), ' ');
    return text;
}

std::string hex_address(std::uintptr_t address) {
    char buffer[2 + 2 * sizeof address + 1];
    std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(address));
    return buffer;
}

class BacktracePrinter {
public:
    BacktracePrinter(bool full) : full_(full), cwd_(full ? std::string() : current_directory()) {}

    // Returns false to stop the walk.
    bool frame(const StackFrame& frame) {
        if (!full_) {
            if (++walked_ > kShortFrameLimit) return false;
            if (frame.address == 0) return true;
        }
        printed_in_frame_ = false;
        omitted_in_frame_ = false;
        if (frame.symbols.empty()) {
            symbol(frame, nullptr, true);
        } else {
            bool first = true;
            for (const FrameSymbol& s : frame.symbols) {
                symbol(frame, &s, first);
                first = false;
            }
        }
        // The omission note counts frames: the functions inlined into a hidden frame
        // are one frame, not one each.
        if (omitted_in_frame_ && !printed_in_frame_) ++omitted_;
        return true;
    }

private:
    // Short mode hides the fault machinery (inward of the end marker) and everything
    // outward of the entry (the begin marker); nested markers hide runs in between.
    void symbol(const StackFrame& frame, const FrameSymbol* s, bool first) {
        if (!full_ && s == nullptr && !printing_) {
            omitted_in_frame_ = true;
            return;
        }
        if (!full_ && s != nullptr) {
            if (printing_ && s->name.find(kBeginShortBacktraceMarker) != std::string::npos) {
                printing_ = false;
                return;
            }
            if (s->name.find(kEndShortBacktraceMarker) != std::string::npos) {
                printing_ = true;
                return;
            }
            if (!printing_) {
                omitted_in_frame_ = true;
                return;
            }
        }
        if (omitted_ > 0) {
            if (!first_omission_) {
                put("      [... omitted " + std::to_string(omitted_) + (omitted_ > 1 ? " frames" : " frame") +
                    " ...]\n");
            }
            first_omission_ = false;
            omitted_ = 0;
        }
        printed_in_frame_ = true;
        std::string line;
        if (first) {
            line = padded_left(std::to_string(index_++), 4) + ": ";
            if (full_) line += padded_left(hex_address(frame.address), 18) + " - ";
        } else {
            line.assign(full_ ? 27 : 6, ' ');
        }
        line += (s == nullptr || s->name.empty()) ? std::string_view("<unknown>") : std::string_view(s->name);
        line += '\n';
        if (s != nullptr && !s->file.empty()) {
            line.append(full_ ? 31 : 13, ' ');
            line += "at ";
            line += shown_path(s->file);
            line += ':';
            line += std::to_string(s->line);
            if (s->column != 0) line += ':' + std::to_string(s->column);
            line += '\n';
        }
        put(line);
    }

    std::string shown_path(const std::string& path) const {
        if (full_ || cwd_.empty()) return path;
        // A root directory ("/", "C:\\") ends in its separator.
        std::string_view base = cwd_;
        if (base.back() == '/' || base.back() == '\\') base.remove_suffix(1);
        if (path.size() <= base.size() + 1 || path.compare(0, base.size(), base) != 0) return path;
        const char separator = path[base.size()];
        if (separator != '/' && separator != '\\') return path;
        std::string shown = ".";
        shown.append(path, base.size(), std::string::npos);
        return shown;
    }

    static constexpr int kShortFrameLimit = 101;
    bool full_;
    std::string cwd_;
    bool printing_ = false;
    bool first_omission_ = true;
    std::size_t omitted_ = 0;  // hidden frames since the last printed one
    bool printed_in_frame_ = false;
    bool omitted_in_frame_ = false;
    std::size_t index_ = 0;
    int walked_ = 0;
};

void write_backtrace(BacktraceStyle style) {
    put("stack backtrace:\n");
    const bool full = style == BacktraceStyle::Full;
    BacktracePrinter printer(full);
    walk_stack([&](const StackFrame& frame) { return printer.frame(frame); });
    if (!full) {
        put(std::string("note: Some details are omitted, run with `") + kBacktraceVariable +
            "=full` for a verbose backtrace.\n");
    }
}

}  // namespace

BacktraceStyle report_style(std::uint32_t thread_faults) noexcept {
    if (thread_faults >= 2) return BacktraceStyle::Full;
    std::uint8_t cached = g_style_cache.load(std::memory_order_acquire);
    if (cached == 0) {
        const auto style = static_cast<std::uint8_t>(1 + static_cast<std::uint8_t>(style_from_environment()));
        // The first reader decides; the variable is never read again.
        std::uint8_t expected = 0;
        cached = g_style_cache.compare_exchange_strong(expected, style, std::memory_order_acq_rel) ? style
                                                                                                  : expected;
    }
    return static_cast<BacktraceStyle>(cached - 1);
}

std::string format_location(const FaultLocation& location) {
    std::string text = location.file;
    text += ':';
    text += std::to_string(location.line);
    text += ':';
    text += std::to_string(location.column);
    return text;
}

void write_fault_report(const FaultPayload& payload, const FaultLocation& location,
                        std::uint32_t thread_faults) noexcept {
    const BacktraceStyle style = report_style(thread_faults);
    const std::string_view message = payload.is_text() ? payload.text() : "non-text fault payload";
    // The module starts and names no thread.
    const std::string header = "thread '<unnamed>' panicked at " + format_location(location) + ":\n";

    std::lock_guard<std::mutex> guard(report_lock());
    put(header);
    put(message);
    put("\n");
    if (style == BacktraceStyle::Off) {
        if (g_first_note.exchange(false, std::memory_order_relaxed)) {
            put(std::string("note: run with `") + kBacktraceVariable +
                "=1` environment variable to display a backtrace\n");
        }
    } else {
        write_backtrace(style);
    }
}

}  // namespace bio

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include <cstdlib>

#include "runtime/fault.h"
#include "runtime/os.h"
#include "runtime/os_windows.h"
#include "runtime/stderr_writer.h"

namespace bio {
namespace {

// Points standard error at `handle` for one test.
class ScopedStderr {
public:
    explicit ScopedStderr(HANDLE handle) : saved_(GetStdHandle(STD_ERROR_HANDLE)) { SetStdHandle(STD_ERROR_HANDLE, handle); }
    ~ScopedStderr() { SetStdHandle(STD_ERROR_HANDLE, saved_); }

private:
    HANDLE saved_;
};

// Everything written to a pipe whose write end has been closed; closes the read end.
std::string drain_pipe(HANDLE read_end) {
    std::string received;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(read_end, chunk, sizeof chunk, &got, nullptr) && got > 0) received.append(chunk, got);
    CloseHandle(read_end);
    return received;
}

const std::string kMixed = "caf\xC3\xA9 \xF0\x9F\x98\x80 \xFF raw\n";

TEST(StderrPipe, BytesArriveUnchanged) {
    HANDLE read_end = nullptr, write_end = nullptr;
    ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 1 << 16));
    {
        ScopedStderr redirect(write_end);
        EXPECT_FALSE(write_stderr_raw(kMixed).has_value());
        write_stderr_locked("locked\n");
    }
    CloseHandle(write_end);
    EXPECT_EQ(drain_pipe(read_end), kMixed + "locked\n");
}

TEST(StderrFile, BytesArriveUnchanged) {
    wchar_t dir[MAX_PATH], path[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"bio", 0, path);
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    {
        ScopedStderr redirect(file);
        EXPECT_FALSE(write_stderr_raw(kMixed).has_value());
    }
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    char buffer[256];
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &got, nullptr));
    CloseHandle(file);
    EXPECT_EQ(std::string(buffer, got), kMixed);
}

TEST(StderrPipe, AWriteLeftPendingIsWaitedFor) {
    // An overlapped pipe with a small buffer and a slow reader: the write cannot finish at once.
    const wchar_t* name = L"\\\\.\\pipe\\biometric-stderr-pending";
    HANDLE server = CreateNamedPipeW(name, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 1024, 1024, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    HANDLE client = CreateFileW(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    std::string received;
    std::thread reader([&] {
        Sleep(100);
        char chunk[4096];
        DWORD got = 0;
        while (ReadFile(server, chunk, sizeof chunk, &got, nullptr) && got > 0) received.append(chunk, got);
    });
    std::string text;
    for (int i = 0; text.size() < 64 * 1024; ++i) text += "line " + std::to_string(i) + "\n";
    {
        ScopedStderr redirect(client);
        EXPECT_FALSE(write_stderr_raw(text).has_value());
    }
    CloseHandle(client);
    reader.join();
    CloseHandle(server);
    EXPECT_EQ(received, text);
}

TEST(StderrMissing, LockedWriterIsSilentRawWriterReportsInvalidHandle) {
    ScopedStderr redirect(nullptr);
    write_stderr_locked("lost\n");
    std::optional<StderrError> error = write_stderr_raw("lost\n");
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code, kErrorInvalidHandle);
    EXPECT_TRUE(error->missing_stream);
}

// ---- the console, through a recording sink ----

struct Recorder {
    std::vector<std::vector<wchar_t>> writes;
    DWORD limit = 0xFFFFFFFF;  // units taken by the next write
    bool fail = false;
};
Recorder* g_recorder = nullptr;

bool always_console(HANDLE) { return true; }
BOOL record(HANDLE, const wchar_t* units, DWORD count, DWORD* written) {
    if (g_recorder->fail) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const DWORD taken = count < g_recorder->limit ? count : g_recorder->limit;
    g_recorder->limit = 0xFFFFFFFF;
    g_recorder->writes.emplace_back(units, units + taken);
    *written = taken;
    return TRUE;
}
constexpr ConsoleSink kRecordingConsole{&always_console, &record};

class Console : public ::testing::Test {
protected:
    Recorder recorder;
    void SetUp() override {
        g_recorder = &recorder;
        set_console_sink(&kRecordingConsole);
    }
    void TearDown() override { set_console_sink(nullptr); }
    std::wstring all() const {
        std::wstring text;
        for (const auto& w : recorder.writes) text.append(w.begin(), w.end());
        return text;
    }
};

TEST_F(Console, TextArrivesAsUtf16) {
    EXPECT_FALSE(write_stderr_raw("caf\xC3\xA9 \xF0\x9F\x98\x80\n").has_value());
    EXPECT_EQ(all(), L"caf\u00e9 \U0001F600\n");
}

TEST_F(Console, LongTextIsCutIntoChunksOnCharacterBoundaries) {
    std::string text;
    for (int i = 0; i < 3000; ++i) text += "\xE2\x82\xAC";  // 9000 bytes of euro signs
    EXPECT_FALSE(write_stderr_raw(text).has_value());
    ASSERT_GE(recorder.writes.size(), 3u);
    for (const auto& w : recorder.writes) {
        EXPECT_LE(w.size() * 3, 4096u);
        for (wchar_t u : w) EXPECT_EQ(u, 0x20AC);
    }
    EXPECT_EQ(all().size(), 3000u);
}

TEST_F(Console, ASequenceSplitAcrossLockedWritesIsOneCharacter) {
    write_stderr_locked("x\xE2\x82");
    write_stderr_locked("\xAC!");
    EXPECT_EQ(all(), L"x\u20AC!");
}

TEST_F(Console, BytesThatAreNotUtf8Fail) {
    std::optional<StderrError> error = write_stderr_raw("ok\xFF");
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->text, "Windows stdio in console mode does not support writing non-UTF-8 byte sequences");
    EXPECT_EQ(all(), L"ok");
}

TEST_F(Console, TheSecondHalfOfASurrogatePairIsNeverLeftBehind) {
    recorder.limit = 2;  // takes "a" and the first half of the emoji only
    EXPECT_FALSE(write_stderr_raw("a\xF0\x9F\x98\x80" "b").has_value());
    ASSERT_GE(recorder.writes.size(), 3u);
    EXPECT_EQ(recorder.writes[0], (std::vector<wchar_t>{L'a', 0xD83D}));
    EXPECT_EQ(recorder.writes[1], (std::vector<wchar_t>{0xDE00}));
    EXPECT_EQ(all(), L"a\U0001F600b");
}

TEST_F(Console, AFailingConsoleReportsTheSystemError) {
    recorder.fail = true;
    std::optional<StderrError> error = write_stderr_raw("x");
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code, ERROR_ACCESS_DENIED);
    EXPECT_NE(error->text.find("(os error 5)"), std::string::npos) << error->text;
}

// ---- stack walking and the end of the process ----

#if defined(_MSC_VER)
#define BIO_NOINLINE __declspec(noinline)
#else
#define BIO_NOINLINE __attribute__((noinline))
#endif

#if defined(_MSC_VER)
#define BIO_ALWAYS_INLINE __forceinline
#else
#define BIO_ALWAYS_INLINE inline __attribute__((always_inline))
#endif

BIO_ALWAYS_INLINE void bio_inlined_probe(std::vector<StackFrame>& frames) {
    walk_stack([&](const StackFrame& frame) {
        frames.push_back(frame);
        return frames.size() < 64;
    });
}

BIO_NOINLINE std::vector<StackFrame> bio_backtrace_probe() {
    std::vector<StackFrame> frames;
    bio_inlined_probe(frames);
    return frames;
}

TEST(Backtrace, NamesOurOwnFunctionsWithFileAndLine) {
    std::vector<StackFrame> frames = bio_backtrace_probe();
    ASSERT_GE(frames.size(), 3u);
    std::string names;
    for (const StackFrame& frame : frames) {
        for (const FrameSymbol& symbol : frame.symbols) names += symbol.name + " @ " + symbol.file + ":" + std::to_string(symbol.line) + "\n";
    }
    SCOPED_TRACE(names);
    bool probe = false, walker = false, inlined = false;
    for (const StackFrame& frame : frames) {
        for (std::size_t i = 0; i < frame.symbols.size(); ++i) {
            const FrameSymbol& symbol = frame.symbols[i];
            // The inlined call is a further name of the probe's frame, before the probe.
            if (symbol.name.find("bio_inlined_probe") != std::string::npos && i + 1 < frame.symbols.size() &&
                frame.symbols[i + 1].name.find("bio_backtrace_probe") != std::string::npos) {
                inlined = true;
            }
            if (symbol.name.find("bio_backtrace_probe") != std::string::npos) {
                probe = true;
                EXPECT_NE(symbol.file.find("stderr_test.cpp"), std::string::npos) << symbol.file;
                EXPECT_GT(symbol.line, 0u);
            }
            if (symbol.name.find("walk_stack") != std::string::npos) walker = true;
        }
    }
    EXPECT_TRUE(probe);
    EXPECT_TRUE(walker);
    EXPECT_TRUE(inlined);
    EXPECT_FALSE(current_directory().empty());
}

BIO_NOINLINE void bio_fault_probe() { raise_fault("probe fault"); }

// The report of a fault raised by bio_fault_probe and caught by a boundary.
std::string probe_fault_report() {
    HANDLE read_end = nullptr, write_end = nullptr;
    EXPECT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 1 << 20));
    FaultPayload caught;
    {
        ScopedStderr redirect(write_end);
        EXPECT_FALSE(fault_boundary([] { bio_fault_probe(); }, caught));
    }
    CloseHandle(write_end);
    EXPECT_EQ(caught.text(), "probe fault");
    return drain_pipe(read_end);
}

// The first fault of this process (each test runs in a process of its own) with the
// backtrace variable set to "full": the report walks the stack through dbghelp.
TEST(FaultReport, FullBacktraceNamesOurFunctionsWithFileAndLine) {
    ASSERT_EQ(_putenv_s("BIOMETRIC_BACKTRACE", "full"), 0);
    const std::string report = probe_fault_report();
    SCOPED_TRACE(report);

    EXPECT_EQ(report.rfind("thread '<unnamed>' panicked at tests/wine/stderr_test.cpp:", 0), 0u);
    EXPECT_NE(report.find(":\nprobe fault\nstack backtrace:\n"), std::string::npos);
    // A numbered frame with its address names the probe, and the next line its source.
    const std::size_t probe = report.find("bio_fault_probe\n");
    ASSERT_NE(probe, std::string::npos);
    const std::size_t line = report.rfind('\n', probe) + 1;
    const std::string frame = report.substr(line, probe - line);
    EXPECT_NE(frame.find(": "), std::string::npos) << frame;
    EXPECT_NE(frame.find(" 0x"), std::string::npos) << frame;
    EXPECT_NE(frame.find(" - "), std::string::npos) << frame;
    const std::size_t at = report.find("at ", probe);
    ASSERT_NE(at, std::string::npos);
    EXPECT_NE(report.find("stderr_test.cpp:", at), std::string::npos);
    EXPECT_EQ(report.find("note: Some details are omitted"), std::string::npos);
}

// The variable set in the process environment after start-up, as Python's os.environ
// sets it: the C runtime's copy never sees it, the report must. Each case is the first
// fault of a process of its own.
struct StyleCase {
    const char* name;
    const wchar_t* value;
    bool backtrace;
    bool short_form;
};

class ReportStyleFromEnvironment : public ::testing::TestWithParam<StyleCase> {};

TEST_P(ReportStyleFromEnvironment, IsTheOneTheVariableChose) {
    ASSERT_TRUE(SetEnvironmentVariableW(L"BIOMETRIC_BACKTRACE", GetParam().value));
    ASSERT_EQ(std::getenv("BIOMETRIC_BACKTRACE"), nullptr);
    const std::string report = probe_fault_report();
    SCOPED_TRACE(report);
    EXPECT_EQ(report.find("stack backtrace:\n") != std::string::npos, GetParam().backtrace);
    EXPECT_EQ(report.find("note: Some details are omitted") != std::string::npos, GetParam().short_form);
    EXPECT_EQ(report.find("note: run with `BIOMETRIC_BACKTRACE=1`") != std::string::npos, !GetParam().backtrace);
}

INSTANTIATE_TEST_SUITE_P(Values, ReportStyleFromEnvironment,
                         ::testing::Values(StyleCase{"One", L"1", true, true}, StyleCase{"Full", L"full", true, false},
                                           StyleCase{"Empty", L"", true, true}, StyleCase{"Zero", L"0", false, false}),
                         [](const ::testing::TestParamInfo<StyleCase>& info) { return std::string(info.param.name); });

TEST(EndProcessDeathTest, EndsAtOnce) {
    EXPECT_DEATH(end_process(), "");
}

}  // namespace
}  // namespace bio

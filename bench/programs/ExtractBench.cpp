// Extraction benchmark driver, for bench/extract.sh.
//   ExtractBench.exe ZIP DESTINATION
//       Extracts one package the way an update run does. Prints
//       "elapsed_ms=<n> peak_ws_kib=<n> pumps=<n>"; exit code 0 on success,
//       1 with the error text when extraction failed, 2 on bad arguments.
//   ExtractBench.exe --stages ZIP DESTINATION PLAN
//       Where that time goes: the same system calls, each kind in a bare loop
//       of its own, timed apart. First every file entry is inflated and
//       CRC-checked into a callback that keeps nothing; then the folders are
//       made as extraction makes them; then every file is created, written in
//       the very pieces miniz handed over, flushed, its size read and closed.
//       Prints "<stage>_us=<n>" figures and writes PLAN (one line per entry:
//       "D <relative path>" or "F <relative path> <piece>,<piece>,...") so the
//       script can replay the same calls natively.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "log/TraceLog.h"
#include "platform/FileSystem.h"
#include "platform/Handles.h"
#include "zip/ZipPackage.h"
#include "zip/ZipReader.h"

using namespace orv;

namespace {

class Stopwatch {
public:
    Stopwatch() { ::QueryPerformanceFrequency(&frequency_); }
    long long Now() const
    {
        LARGE_INTEGER now{};
        ::QueryPerformanceCounter(&now);
        return now.QuadPart;
    }
    long long Micros(long long ticks) const { return ticks * 1000000 / frequency_.QuadPart; }

private:
    LARGE_INTEGER frequency_{};
};

int RunExtraction(const wchar_t* zip, const wchar_t* destination)
{
    TraceLog log; // no path: the PASS lines are formatted but not written
    unsigned long long pumps = 0;
    // What a silent progress window costs: a call and nothing else.
    const ProgressTick pump = [&pumps]() { ++pumps; };

    const Stopwatch clock;
    const long long start = clock.Now();
    std::wstring error;
    const bool extracted = ExtractZipPackage(zip, destination, log, pump, error);
    const long long elapsed = clock.Now() - start;

    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    ::K32GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
    std::printf("elapsed_ms=%lld peak_ws_kib=%llu pumps=%llu\n", clock.Micros(elapsed) / 1000,
                static_cast<unsigned long long>(counters.PeakWorkingSetSize / 1024), pumps);
    if (!extracted) {
        std::fwprintf(stderr, L"extraction failed: %ls\n", error.c_str());
        return 1;
    }
    return 0;
}

// One entry as extraction meets it.
struct PlannedEntry {
    std::wstring name; // relative, backslashes, no trailing separator
    bool directory = false;
    std::vector<size_t> pieces; // lengths miniz handed to the write callback
};

size_t RecordPiece(void* opaque, mz_uint64, const void*, size_t length)
{
    static_cast<std::vector<size_t>*>(opaque)->push_back(length);
    return length;
}

// Stage 1: reading, inflating and CRC-checking every file entry, nothing
// written. Also learns the names and write pieces the later stages replay.
bool InflateAll(const wchar_t* zip, std::vector<PlannedEntry>& plan, const Stopwatch& clock, long long& ticks)
{
    const long long start = clock.Now();
    ZipReader reader;
    std::wstring error;
    if (!OpenZipReader(zip, reader, error)) {
        std::fwprintf(stderr, L"%ls\n", error.c_str());
        return false;
    }
    const mz_uint count = mz_zip_reader_get_num_files(&reader.archive);
    for (mz_uint index = 0; index < count; ++index) {
        mz_zip_archive_file_stat stat;
        std::memset(&stat, 0, sizeof(stat));
        if (!mz_zip_reader_file_stat(&reader.archive, index, &stat)) {
            return false;
        }
        PlannedEntry entry;
        entry.name = Utf8ToWide(stat.m_filename, std::strlen(stat.m_filename));
        for (wchar_t& c : entry.name) {
            c = c == L'/' ? L'\\' : c;
        }
        while (!entry.name.empty() && entry.name.back() == L'\\') {
            entry.name.pop_back();
        }
        entry.directory = stat.m_is_directory != MZ_FALSE;
        if (!entry.directory &&
            !mz_zip_reader_extract_to_callback(&reader.archive, index, RecordPiece, &entry.pieces, 0)) {
            std::fwprintf(stderr, L"inflate failed: %ls\n", entry.name.c_str());
            return false;
        }
        plan.push_back(std::move(entry));
    }
    ticks = clock.Now() - start;
    return true;
}

struct CallTimes {
    long long folders = 0;
    long long create = 0;
    long long seek = 0;
    long long write = 0;
    long long flush = 0;
    long long close = 0;
    long long verify = 0;
    unsigned long long calls = 0;
};

// Adds the time f takes to slot.
template <typename F>
auto Timed(const Stopwatch& clock, long long& slot, F f)
{
    const long long start = clock.Now();
    auto result = f();
    slot += clock.Now() - start;
    return result;
}

bool ReplayFile(const std::wstring& target, const std::vector<size_t>& pieces, const std::vector<char>& data,
                const Stopwatch& clock, CallTimes& times)
{
    const HANDLE file = Timed(clock, times.create, [&]() {
        return ::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
    });
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    // As the extraction does: a seek only where a piece does not follow on
    // from the last, the size read through the handle before it is closed.
    uint64_t offset = 0;
    uint64_t position = 0;
    bool ok = true;
    for (size_t piece : pieces) {
        if (offset != position) {
            LARGE_INTEGER to{};
            to.QuadPart = static_cast<LONGLONG>(offset);
            ok = ok && Timed(clock, times.seek,
                             [&]() { return ::SetFilePointerEx(file, to, nullptr, FILE_BEGIN) != FALSE; });
            ++times.calls;
        }
        DWORD written = 0;
        ok = ok && Timed(clock, times.write, [&]() {
                 return ::WriteFile(file, data.data(), static_cast<DWORD>(piece), &written, nullptr) != FALSE;
             });
        offset += piece;
        position = offset;
    }
    times.calls += pieces.size() + 4;
    Timed(clock, times.flush, [&]() { return ::FlushFileBuffers(file); });
    LARGE_INTEGER size{};
    ok = ok && Timed(clock, times.verify, [&]() { return ::GetFileSizeEx(file, &size) != FALSE; });
    Timed(clock, times.close, [&]() { return ::CloseHandle(file); });
    return ok;
}

// Stages 2 and 3: the folders, then every file's calls in extraction order.
bool ReplayWrites(const std::wstring& destination, const std::vector<PlannedEntry>& plan, const Stopwatch& clock,
                  CallTimes& times)
{
    if (DirectoryExists(destination) && !DeleteTree(destination)) {
        return false;
    }
    CreateDirectories(destination);
    std::vector<char> data(kExtractWritePiece, 'x');
    std::wstring madeFolder; // as the extraction does: a file's folder once per run of entries
    for (const PlannedEntry& entry : plan) {
        const std::wstring target = JoinPath(destination, entry.name);
        const std::wstring folder = entry.directory ? target : ParentPath(target);
        if ((entry.directory || folder != madeFolder) &&
            !Timed(clock, times.folders, [&]() { return CreateDirectories(folder); })) {
            return false;
        }
        madeFolder = entry.directory ? madeFolder : folder;
        if (!entry.directory && !ReplayFile(target, entry.pieces, data, clock, times)) {
            std::fwprintf(stderr, L"replay failed: %ls\n", target.c_str());
            return false;
        }
    }
    return true;
}

void WritePlan(const wchar_t* path, const std::vector<PlannedEntry>& plan)
{
    FILE* out = nullptr;
    if (_wfopen_s(&out, path, L"wb") != 0 || out == nullptr) {
        return;
    }
    for (const PlannedEntry& entry : plan) {
        std::string line = (entry.directory ? "D " : "F ") + WideToUtf8(entry.name);
        for (size_t i = 0; i < entry.pieces.size(); ++i) {
            line += (i == 0 ? " " : ",") + std::to_string(entry.pieces[i]);
        }
        std::fprintf(out, "%s\n", line.c_str());
    }
    std::fclose(out);
}

int RunStages(const wchar_t* zip, const wchar_t* destination, const wchar_t* planPath)
{
    const Stopwatch clock;
    std::vector<PlannedEntry> plan;
    long long inflate = 0;
    CallTimes times;
    if (!InflateAll(zip, plan, clock, inflate) || !ReplayWrites(destination, plan, clock, times)) {
        return 1;
    }
    WritePlan(planPath, plan);
    std::printf("inflate_us=%lld folders_us=%lld create_us=%lld seek_us=%lld write_us=%lld flush_us=%lld "
                "close_us=%lld verify_us=%lld entries=%zu calls=%llu\n",
                clock.Micros(inflate), clock.Micros(times.folders), clock.Micros(times.create),
                clock.Micros(times.seek), clock.Micros(times.write), clock.Micros(times.flush),
                clock.Micros(times.close), clock.Micros(times.verify), plan.size(), times.calls);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 3) {
        return RunExtraction(argv[1], argv[2]);
    }
    if (argc == 5 && std::wstring(argv[1]) == L"--stages") {
        return RunStages(argv[2], argv[3], argv[4]);
    }
    std::fwprintf(stderr, L"usage: ExtractBench.exe ZIP DESTINATION | ExtractBench.exe --stages ZIP DESTINATION PLAN\n");
    return 2;
}

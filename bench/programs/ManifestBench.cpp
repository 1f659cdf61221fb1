// Times reading and writing package documents of two sizes, interleaved in
// one process so both see the same machine load:
//   ManifestBench <small entries> <large entries> <repeats> <result file>
// The result file gets one line of key=value figures (microseconds, median
// of the repeats). Reading must grow linearly with the number of entries.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "manifest/Manifest.h"
#include "platform/FileSystem.h"

using namespace orv;

namespace {

double NowMicroseconds()
{
    LARGE_INTEGER frequency{};
    LARGE_INTEGER counter{};
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

// A server manifest as the tolerant reader meets them: every package once,
// every tenth followed by a comment, and every other one repeated later in
// another letter case with a newer version, so both ways through the merge
// are taken.
std::string BuildDocument(size_t entries)
{
    std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<Updater>\r\n  <version>\r\n";
    for (size_t i = 0; i < entries; ++i) {
        const std::string name = "Package" + std::to_string(i) + ".zip";
        text += "    <" + name + ">1.2.3." + std::to_string(i % 1000) + "</" + name + ">\r\n";
        if (i % 10 == 0) {
            text += "    <!-- <Hidden" + std::to_string(i) + ".zip>9</Hidden" + std::to_string(i) + ".zip> -->\r\n";
        }
    }
    for (size_t i = 0; i < entries; i += 2) {
        const std::string name = "PACKAGE" + std::to_string(i) + ".ZIP";
        text += "    <" + name + " serverMissing=\"true\">1.2.4</" + name + ">\r\n";
    }
    text += "  </version>\r\n</Updater>\r\n";
    return text;
}

struct Timings {
    std::vector<double> read;
    std::vector<double> write;
};

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

bool TimeOnce(const std::wstring& source, const std::wstring& target, size_t entries, Timings& timings)
{
    PackageList list;
    std::wstring error;
    const double start = NowMicroseconds();
    if (!ReadManifestFile(source, list, error) || list.size() != entries) {
        return false;
    }
    const double read = NowMicroseconds();
    if (!WriteStateFile(target, list, error)) {
        return false;
    }
    const double written = NowMicroseconds();
    timings.read.push_back(read - start);
    timings.write.push_back(written - read);
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 5) {
        return 2;
    }
    const size_t small = static_cast<size_t>(std::wcstoul(argv[1], nullptr, 10));
    const size_t large = static_cast<size_t>(std::wcstoul(argv[2], nullptr, 10));
    const int repeats = std::max(1, static_cast<int>(std::wcstol(argv[3], nullptr, 10)));
    const std::wstring folder = JoinPath(GetTempFolder(), L"orv-manifest-bench-" + std::to_wstring(::GetCurrentProcessId()));
    CreateDirectories(folder);

    std::wstring error;
    const std::wstring smallPath = JoinPath(folder, L"small.xml");
    const std::wstring largePath = JoinPath(folder, L"large.xml");
    const std::string smallText = BuildDocument(small);
    const std::string largeText = BuildDocument(large);
    bool ok = WriteFileDirect(smallPath, smallText.data(), smallText.size(), error) &&
              WriteFileDirect(largePath, largeText.data(), largeText.size(), error);

    Timings smallTimings;
    Timings largeTimings;
    // One untimed round warms the file cache and the allocator.
    ok = ok && TimeOnce(smallPath, JoinPath(folder, L"small-state.xml"), small, smallTimings) &&
         TimeOnce(largePath, JoinPath(folder, L"large-state.xml"), large, largeTimings);
    smallTimings = Timings();
    largeTimings = Timings();
    for (int i = 0; ok && i < repeats; ++i) {
        ok = TimeOnce(smallPath, JoinPath(folder, L"small-state.xml"), small, smallTimings) &&
             TimeOnce(largePath, JoinPath(folder, L"large-state.xml"), large, largeTimings);
    }
    DeleteTree(folder);
    if (!ok) {
        return 1;
    }

    const std::string result = "small_read_us=" + std::to_string(static_cast<long long>(Median(smallTimings.read))) +
                               " large_read_us=" + std::to_string(static_cast<long long>(Median(largeTimings.read))) +
                               " small_write_us=" + std::to_string(static_cast<long long>(Median(smallTimings.write))) +
                               " large_write_us=" + std::to_string(static_cast<long long>(Median(largeTimings.write))) +
                               "\n";
    return WriteFileDirect(argv[4], result.data(), result.size(), error) ? 0 : 1;
}

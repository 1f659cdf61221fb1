#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/Handles.h"
#include "support/TestSupport.h"

namespace {

UniqueFile HoldExclusively(const std::wstring& path)
{
    return UniqueFile(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

void MakeSizedFile(const std::wstring& path, int64_t size)
{
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    ASSERT_TRUE(file.Valid());
    LARGE_INTEGER position{};
    position.QuadPart = size;
    ASSERT_TRUE(::SetFilePointerEx(file.Get(), position, nullptr, FILE_BEGIN));
    ASSERT_TRUE(::SetEndOfFile(file.Get()));
}

std::string ReadError(const std::wstring& path)
{
    try {
        ReadWholeFile(path);
    } catch (const FileReadError& e) {
        return e.what();
    }
    return "no error";
}

TEST(FileSystemTest, ExistenceAndSizeQueries)
{
    TempDir dir;
    WriteTestFile(dir / L"a.txt", "hello");
    EXPECT_TRUE(FileExists(dir / L"a.txt"));
    EXPECT_FALSE(DirectoryExists(dir / L"a.txt"));
    EXPECT_TRUE(DirectoryExists(dir.Path()));
    EXPECT_FALSE(FileExists(dir.Path()));
    EXPECT_FALSE(FileExists(dir / L"missing"));
    EXPECT_FALSE(DirectoryExists(dir / L"missing"));
    EXPECT_EQ(GetFileSize64(dir / L"a.txt"), 5u);
    EXPECT_EQ(GetFileSize64(dir / L"missing"), 0u);
}

TEST(FileSystemTest, FullPathNormalisesAndStripsSeparators)
{
    TempDir dir;
    EXPECT_EQ(FullPath(L""), L"");
    EXPECT_EQ(FullPath(dir.Path() + L"\\sub\\..\\x\\\\"), dir.Path() + L"\\x");
    EXPECT_EQ(FullPath(L"C:\\"), L"C:\\");
    EXPECT_EQ(FullPath(L"C:/a/b/"), L"C:\\a\\b");
    wchar_t current[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, current);
    EXPECT_EQ(FullPath(L"rel"), JoinPath(current, L"rel"));
}

TEST(FileSystemTest, ModuleAndTempFolders)
{
    const std::wstring module = GetModulePath();
    EXPECT_TRUE(EndsWithNoCase(module, L"unit_platform.exe")) << module;
    EXPECT_EQ(GetModuleDirectory(), ParentPath(module));
    const std::wstring temp = GetTempFolder();
    EXPECT_TRUE(DirectoryExists(temp));
    EXPECT_FALSE(temp.size() > 3 && IsPathSeparator(temp.back())) << temp;
}

TEST(FileSystemTest, CreateDirectoriesMakesEveryLevel)
{
    TempDir dir;
    const std::wstring deep = dir / L"a\\b/c\\d";
    EXPECT_TRUE(CreateDirectories(deep));
    EXPECT_TRUE(DirectoryExists(deep));
    EXPECT_TRUE(CreateDirectories(deep)); // already there
    EXPECT_TRUE(CreateDirectories(L""));
    // A file of that name counts as "already exists", as the system reports it.
    WriteTestFile(dir / L"file", "x");
    EXPECT_TRUE(CreateDirectories(dir / L"file"));
    // A level that cannot be made (a file is in the way) fails.
    EXPECT_FALSE(CreateDirectories(dir / L"file\\below"));
}

TEST(FileSystemTest, CreateDirectoriesOnAMissingDriveFailsWithTheSystemsReason)
{
    std::wstring root;
    for (wchar_t letter = L'Y'; letter > L'B' && root.empty(); --letter) {
        const std::wstring candidate = std::wstring(1, letter) + L":\\";
        if (::GetDriveTypeW(candidate.c_str()) == DRIVE_NO_ROOT_DIR) {
            root = candidate;
        }
    }
    ASSERT_FALSE(root.empty()) << "every drive letter is in use";
    // The root is its own parent: the climb must stop there.
    for (const std::wstring& folder : {root, root + L"a\\b", root + L"a\\\\b/"}) {
        ::SetLastError(0);
        EXPECT_FALSE(CreateDirectories(folder)) << folder;
        EXPECT_NE(::GetLastError(), 0u) << folder;
    }
}

TEST(FileSystemTest, DeleteFileIfPresentHandlesMissingReadOnlyAndFolders)
{
    TempDir dir;
    EXPECT_TRUE(DeleteFileIfPresent(dir / L"missing.txt"));
    WriteTestFile(dir / L"ro.txt", "x");
    ASSERT_TRUE(SetReadOnly(dir / L"ro.txt", true));
    EXPECT_TRUE(DeleteFileIfPresent(dir / L"ro.txt"));
    EXPECT_FALSE(FileExists(dir / L"ro.txt"));
    CreateDirectories(dir / L"folder");
    EXPECT_TRUE(DeleteFileIfPresent(dir / L"folder"));
    EXPECT_TRUE(DirectoryExists(dir / L"folder"));
}

TEST(FileSystemTest, DeleteTreeRemovesReadOnlyContent)
{
    TempDir dir;
    const std::wstring tree = dir / L"tree";
    WriteTestFile(tree + L"\\a.txt", "a");
    WriteTestFile(tree + L"\\sub\\deeper\\b.txt", "b");
    ASSERT_TRUE(SetReadOnly(tree + L"\\a.txt", true));
    ASSERT_TRUE(SetReadOnly(tree + L"\\sub\\deeper\\b.txt", true));
    ASSERT_TRUE(SetReadOnly(tree + L"\\sub", true));
    WriteTestFile(dir / L"sibling.txt", "keep");

    EXPECT_TRUE(DeleteTree(tree));
    EXPECT_FALSE(DirectoryExists(tree));
    EXPECT_FALSE(FileExists(tree + L"\\a.txt"));
    EXPECT_EQ(ReadTestFile(dir / L"sibling.txt"), "keep");
    // Nothing there, nothing to do.
    EXPECT_TRUE(DeleteTree(tree));
    // A file is not a folder: left alone, reported as nothing to remove.
    EXPECT_TRUE(DeleteTree(dir / L"sibling.txt"));
    EXPECT_TRUE(FileExists(dir / L"sibling.txt"));
}

TEST(FileSystemTest, DeleteTreeStopsAtALockedFile)
{
    TempDir dir;
    const std::wstring tree = dir / L"tree";
    WriteTestFile(tree + L"\\locked.bin", "x");
    {
        UniqueFile hold = HoldExclusively(tree + L"\\locked.bin");
        ASSERT_TRUE(hold.Valid());
        EXPECT_FALSE(DeleteTree(tree));
        EXPECT_TRUE(DirectoryExists(tree));
    }
    EXPECT_TRUE(DeleteTree(tree));
}

TEST(FileSystemTest, DeleteTreeRefusesDriveRoots)
{
    // A drive letter of the test prefix mapped onto a scratch folder by the
    // suite's setup: if the root check failed, only that folder could suffer.
    const std::wstring data = TestEnvPath("ORV_TEST_DATA_DIR");
    ASSERT_FALSE(data.empty()) << "ORV_TEST_DATA_DIR is not set";
    const std::string letterText = ReadTestFile(JoinPath(data, L"drive-letter.txt"));
    ASSERT_EQ(letterText.size(), 1u) << "the setup did not map a drive letter";
    const std::wstring letter = std::wstring(1, static_cast<wchar_t>(letterText[0])) + L":";
    ASSERT_EQ(ReadTestFile(letter + L"\\precious.txt"), "keep\n");
    for (const std::wstring& root : {letter + L"\\", letter + L"/", letter, letter + L"\\.", letter + L"\\sub\\..",
                                     std::wstring(1, static_cast<wchar_t>(::towupper(letter[0]))) + L":\\",
                                     L"\\\\?\\" + letter + L"\\", L"\\\\.\\" + letter + L"\\"}) {
        EXPECT_FALSE(DeleteTree(root)) << root;
    }
    EXPECT_EQ(ReadTestFile(letter + L"\\precious.txt"), "keep\n");
    EXPECT_TRUE(DirectoryExists(letter + L"\\sub"));
}

TEST(FileSystemTest, DeleteTreeNeverFollowsADirectoryLink)
{
    // Made on the Linux side before the suite (a real symbolic link to a
    // folder outside the tree); Windows and Wine agree only on this much:
    // the tree goes, the folder behind the link and its files stay.
    const std::wstring fixture = JoinPath(TestEnvPath("ORV_TEST_DATA_DIR"), L"link-fixture");
    ASSERT_FALSE(TestEnvPath("ORV_TEST_DATA_DIR").empty()) << "ORV_TEST_DATA_DIR is not set";
    const std::wstring outside = JoinPath(fixture, L"outside");
    ASSERT_TRUE(FileExists(JoinPath(outside, L"keep.txt")));
    ASSERT_TRUE(DirectoryExists(JoinPath(fixture, L"tree\\link")));

    DeleteTree(JoinPath(fixture, L"tree"));
    // A link that is itself the folder to remove: at most the link goes.
    DeleteTree(JoinPath(fixture, L"top-link"));
    EXPECT_TRUE(DirectoryExists(outside));
    EXPECT_EQ(ReadTestFile(JoinPath(outside, L"keep.txt")), "outside file\n");
    EXPECT_EQ(ReadTestFile(JoinPath(outside, L"nested\\deep.txt")), "deep file\n");
}

TEST(FileSystemTest, DirectoryHasEntries)
{
    TempDir dir;
    EXPECT_FALSE(DirectoryHasEntries(dir.Path()));
    EXPECT_FALSE(DirectoryHasEntries(dir / L"missing"));
    WriteTestFile(dir / L"f.txt", "x");
    EXPECT_TRUE(DirectoryHasEntries(dir.Path()));
    EXPECT_FALSE(DirectoryHasEntries(dir / L"f.txt"));
    DeleteFileIfPresent(dir / L"f.txt");
    CreateDirectories(dir / L"empty-sub");
    EXPECT_TRUE(DirectoryHasEntries(dir.Path()));
}

TEST(FileSystemTest, FilesEqualComparesContentNotJustSize)
{
    TempDir dir;
    WriteTestFile(dir / L"e1", "");
    WriteTestFile(dir / L"e2", "");
    EXPECT_TRUE(FilesEqual(dir / L"e1", dir / L"e2"));

    std::string big(200000, 'x');
    WriteTestFile(dir / L"b1", big);
    big[150000] = 'y';
    WriteTestFile(dir / L"b2", big);
    int ticks = 0;
    EXPECT_FALSE(FilesEqual(dir / L"b1", dir / L"b2", [&] { ++ticks; }));
    EXPECT_EQ(ticks, 2) << "one tick per equal 64 KiB block before the difference";
    WriteTestFile(dir / L"b3", big);
    ticks = 0;
    EXPECT_TRUE(FilesEqual(dir / L"b2", dir / L"b3", [&] { ++ticks; }));
    EXPECT_EQ(ticks, 4);

    WriteTestFile(dir / L"short", "abc");
    WriteTestFile(dir / L"long", "abcd");
    EXPECT_FALSE(FilesEqual(dir / L"short", dir / L"long"));
    CreateDirectories(dir / L"folder");
    EXPECT_FALSE(FilesEqual(dir / L"e1", dir / L"folder"));
    EXPECT_FALSE(FilesEqual(dir / L"folder", dir / L"folder"));
    EXPECT_FALSE(FilesEqual(dir / L"e1", dir / L"missing"));
}

TEST(FileSystemTest, CopyFileVerifiedCopiesCreatesParentsAndReportsFailures)
{
    TempDir dir;
    WriteTestFile(dir / L"empty", "");
    std::wstring error;
    EXPECT_TRUE(CopyFileVerified(dir / L"empty", dir / L"out\\deep\\empty", error)) << error;
    EXPECT_TRUE(FileExists(dir / L"out\\deep\\empty"));
    EXPECT_EQ(GetFileSize64(dir / L"out\\deep\\empty"), 0u);

    WriteTestFile(dir / L"data", std::string(300000, 'q'));
    WriteTestFile(dir / L"target", "older and different");
    EXPECT_TRUE(CopyFileVerified(dir / L"data", dir / L"target", error, [] {})) << error;
    EXPECT_EQ(ReadTestFile(dir / L"target"), std::string(300000, 'q'));

    // A folder where the file should go: the copy fails with a system text.
    CreateDirectories(dir / L"in-the-way");
    error.clear();
    EXPECT_FALSE(CopyFileVerified(dir / L"data", dir / L"in-the-way", error));
    EXPECT_NE(error.find(L" (Win32 "), std::wstring::npos) << error;
    EXPECT_TRUE(DirectoryExists(dir / L"in-the-way"));

    error.clear();
    EXPECT_FALSE(CopyFileVerified(dir / L"missing", dir / L"copy", error));
    EXPECT_NE(error.find(L" (Win32 2)"), std::wstring::npos) << error;
    EXPECT_FALSE(FileExists(dir / L"copy"));

    // The parent cannot be made because a file has its name.
    WriteTestFile(dir / L"blocker", "x");
    EXPECT_FALSE(CopyFileVerified(dir / L"data", dir / L"blocker\\sub\\x", error));
    EXPECT_EQ(error, L"Cannot create directory: " + (dir / L"blocker\\sub"));
}

TEST(FileSystemTest, ReadWholeFileLimitsAndErrors)
{
    TempDir dir;
    WriteTestFile(dir / L"small", std::string("a\0b", 3));
    EXPECT_EQ(ReadWholeFile(dir / L"small"), (ByteArray{'a', 0, 'b'}));
    WriteTestFile(dir / L"empty", "");
    EXPECT_TRUE(ReadWholeFile(dir / L"empty").empty());

    MakeSizedFile(dir / L"limit", static_cast<int64_t>(kMaxWholeFileBytes));
    const ByteArray limit = ReadWholeFile(dir / L"limit");
    EXPECT_EQ(limit.size(), kMaxWholeFileBytes);

    MakeSizedFile(dir / L"over", static_cast<int64_t>(kMaxWholeFileBytes) + 1);
    EXPECT_EQ(ReadError(dir / L"over"), "File is too large or unreadable");
    EXPECT_EQ(ReadError(dir / L"missing"), "Cannot open file");
    CreateDirectories(dir / L"folder");
    EXPECT_EQ(ReadError(dir / L"folder"), "Cannot open file");
    {
        UniqueFile hold = HoldExclusively(dir / L"small");
        ASSERT_TRUE(hold.Valid());
        EXPECT_EQ(ReadError(dir / L"small"), "Cannot open file");
    }
}

TEST(FileSystemTest, WriteFileDirectCreatesAndTruncates)
{
    TempDir dir;
    std::wstring error;
    const std::string big(3 * 1048576 + 17, 'z');
    EXPECT_TRUE(WriteFileDirect(dir / L"a\\b\\big.bin", big.data(), big.size(), error)) << error;
    EXPECT_EQ(ReadTestFile(dir / L"a\\b\\big.bin"), big);
    EXPECT_TRUE(WriteFileDirect(dir / L"a\\b\\big.bin", "xy", 2, error));
    EXPECT_EQ(ReadTestFile(dir / L"a\\b\\big.bin"), "xy");
    EXPECT_TRUE(WriteFileDirect(dir / L"zero", nullptr, 0, error));
    EXPECT_TRUE(FileExists(dir / L"zero"));

    WriteTestFile(dir / L"blocker", "x");
    EXPECT_FALSE(WriteFileDirect(dir / L"blocker\\sub\\f", "x", 1, error));
    EXPECT_EQ(error, L"Cannot create output directory.");
    // Directly below a file: the folder "exists" as far as creation goes, so
    // the failure is the system's.
    EXPECT_FALSE(WriteFileDirect(dir / L"blocker\\f", "x", 1, error));
    EXPECT_NE(error.find(L" (Win32 "), std::wstring::npos) << error;

    WriteTestFile(dir / L"locked", "keep");
    UniqueFile hold = HoldExclusively(dir / L"locked");
    EXPECT_FALSE(WriteFileDirect(dir / L"locked", "new", 3, error));
    EXPECT_NE(error.find(L" (Win32 32)"), std::wstring::npos) << error;
    hold.Reset();
    EXPECT_EQ(ReadTestFile(dir / L"locked"), "keep");
}

TEST(FileSystemTest, WriteFileAtomicReplacesThroughASideFile)
{
    TempDir dir;
    const std::wstring path = dir / L"state.xml";
    std::wstring error;
    EXPECT_TRUE(WriteFileAtomic(path, L"caf\u00e9", error)) << error;
    EXPECT_EQ(ReadTestFile(path), "caf\xc3\xa9");
    EXPECT_FALSE(FileExists(path + L".new"));

    // A stale side file from an interrupted run, even a read-only one.
    WriteTestFile(path + L".new", "stale");
    SetReadOnly(path + L".new", true);
    EXPECT_TRUE(WriteFileAtomic(path, L"second", error)) << error;
    EXPECT_EQ(ReadTestFile(path), "second");
    EXPECT_FALSE(FileExists(path + L".new"));

    // Read-only target: replaced all the same.
    SetReadOnly(path, true);
    EXPECT_TRUE(WriteFileAtomic(path, L"third", error)) << error;
    EXPECT_EQ(ReadTestFile(path), "third");
}

TEST(FileSystemTest, WriteFileAtomicFailedRenameKeepsTheOldFile)
{
    TempDir dir;
    const std::wstring path = dir / L"state.xml";
    WriteTestFile(path, "old content");
    std::wstring error;
    {
        UniqueFile hold = HoldExclusively(path);
        ASSERT_TRUE(hold.Valid());
        EXPECT_FALSE(WriteFileAtomic(path, L"new content", error));
        EXPECT_NE(error.find(L" (Win32 "), std::wstring::npos) << error;
        EXPECT_FALSE(FileExists(path + L".new"));
    }
    EXPECT_EQ(ReadTestFile(path), "old content");

    CreateDirectories(dir / L"folder.xml");
    EXPECT_FALSE(WriteFileAtomic(dir / L"folder.xml", L"x", error));
    EXPECT_FALSE(FileExists(dir / L"folder.xml.new"));
    EXPECT_TRUE(DirectoryExists(dir / L"folder.xml"));
}

TEST(TextEncodingTest, Utf8RoundTripAndAnsiFallback)
{
    const std::wstring text = L"Gr\u00fc\u00dfe \u65e5\u672c \U0001F600";
    const std::string bytes = WideToUtf8(text);
    EXPECT_EQ(bytes, "Gr\xc3\xbc\xc3\x9f" "e \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80");
    EXPECT_EQ(Utf8ToWide(bytes), text);
    EXPECT_EQ(bytes.substr(0, 3), "Gr\xc3") << "no byte-order mark";
    EXPECT_TRUE(WideToUtf8(L"").empty());
    EXPECT_TRUE(Utf8ToWide(std::string()).empty());

    // Latin-1 style bytes are not UTF-8: decoded in the ANSI code page
    // instead of being rejected.
    const std::string ansi = "caf\xe9 na\xefve";
    const std::wstring decoded = Utf8ToWide(ansi);
    ASSERT_EQ(decoded.size(), ansi.size());
    EXPECT_EQ(decoded.substr(0, 3), L"caf");
    EXPECT_NE(decoded[3], L'\0');
    EXPECT_EQ(decoded.substr(4, 3), L" na");
    wchar_t expected[16] = {};
    ASSERT_GT(::MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), expected, 16), 0);
    EXPECT_EQ(decoded, std::wstring(expected, ansi.size()));
}

TEST(Win32ErrorTextTest, SuffixAndFallbacks)
{
    EXPECT_EQ(Win32ErrorText(0), L"No error code was supplied.");
    EXPECT_EQ(Win32ErrorText(536870912), L"Unknown Windows error (Win32 536870912)");
    // System sentences differ between Windows and Wine: check the shape only.
    const std::wstring denied = Win32ErrorText(5);
    const std::wstring suffix = L" (Win32 5)";
    ASSERT_GT(denied.size(), suffix.size());
    EXPECT_EQ(denied.substr(denied.size() - suffix.size()), suffix);
    EXPECT_EQ(denied.find(L"Unknown Windows error"), std::wstring::npos);
    EXPECT_EQ(denied.find_first_of(L"\r\n"), std::wstring::npos);
    EXPECT_NE(denied[denied.size() - suffix.size() - 1], L' ');
    const std::wstring largest = Win32ErrorText(4294967295u);
    EXPECT_EQ(largest.substr(largest.size() - 19), L" (Win32 4294967295)") << "unsigned, not negative";
}

TEST(QuoteArgumentTest, RoundTripsThroughTheSystemSplitter)
{
    const std::vector<std::wstring> arguments = {
        L"",
        L"plain",
        L"with blank",
        L"C:\\Program Files\\",
        L"C:\\trailing\\\\",
        L"say \"hi\"",
        L"\\\"",
        L"a\\\\\"b",
        L"\"",
        L"\\\\server\\share\\",
        L"tab\there",
        L"/installpath:C:\\Program Files\\App\\",
    };
    std::wstring commandLine = L"program.exe";
    for (const std::wstring& argument : arguments) {
        commandLine += L" " + QuoteArgument(argument);
    }
    int count = 0;
    wchar_t** argv = ::CommandLineToArgvW(commandLine.c_str(), &count);
    ASSERT_NE(argv, nullptr);
    UniqueLocalMemory owner(static_cast<HLOCAL>(argv));
    ASSERT_EQ(count, static_cast<int>(arguments.size()) + 1) << commandLine;
    for (size_t i = 0; i < arguments.size(); ++i) {
        EXPECT_EQ(argv[i + 1], arguments[i]) << commandLine;
    }
}

TEST(QuoteArgumentTest, RoundTripsThroughANewProcess)
{
    TempDir dir;
    const std::vector<std::wstring> arguments = {L"", L"C:\\Program Files\\", L"x \"y\" z", L"end\\\\"};
    std::wstring commandLine = QuoteArgument(TestToolPath(L"ArgvEcho.exe")) + L" " + QuoteArgument(dir / L"out");
    std::wstring expected;
    for (const std::wstring& argument : arguments) {
        commandLine += L" " + QuoteArgument(argument);
        expected += L"[" + argument + L"]\n";
    }
    ASSERT_EQ(RunAndWait(commandLine), 0) << commandLine;
    EXPECT_EQ(Utf8ToWide(ReadTestFile(dir / L"out")), expected);
}

} // namespace

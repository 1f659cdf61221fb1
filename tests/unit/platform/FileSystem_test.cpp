#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/Handles.h"
#include "support/TestSupport.h"

namespace {

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
        UniqueFile hold = LockFile(tree + L"\\locked.bin");
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
    // Made on the Linux side before the suite: a real symbolic link to a
    // folder outside the tree. Whether the link itself can be removed differs
    // between Windows and Wine; that the answer tells whether the tree is
    // gone, that the tree's own files are, and that nothing behind the link
    // is touched, does not.
    const std::wstring fixture = JoinPath(TestEnvPath("ORV_TEST_DATA_DIR"), L"link-fixture");
    const std::wstring tree = JoinPath(fixture, L"tree");
    ASSERT_TRUE(DirectoryExists(JoinPath(tree, L"link"))) << "the setup made no link";
    const bool removed = DeleteTree(tree);
    EXPECT_EQ(removed, !DirectoryExists(tree));
    EXPECT_FALSE(DirectoryExists(JoinPath(tree, L"sub")));
    // A link that is itself the folder to remove: at most the link goes.
    const std::wstring top = JoinPath(fixture, L"top-link");
    EXPECT_EQ(DeleteTree(top), !DirectoryExists(top));
    EXPECT_EQ(ReadTestFile(JoinPath(fixture, L"outside\\keep.txt")), "outside file\n");
    EXPECT_EQ(ReadTestFile(JoinPath(fixture, L"outside\\nested\\deep.txt")), "deep file\n");
}

TEST(FileSystemTest, CopyFileVerifiedCopiesCreatesParentsAndReportsFailures)
{
    TempDir dir;
    WriteTestFile(dir / L"data", std::string(300000, 'q'));
    WriteTestFile(dir / L"target", "older and different");
    WriteTestFile(dir / L"blocker", "x");
    CreateDirectories(dir / L"in-the-way");
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"out\\deep\\copy", L""},
        {L"target", L""},
        {L"in-the-way", L" (Win32 "},
        {L"blocker\\sub\\x", L"Cannot create directory: " + (dir / L"blocker\\sub")},
    };
    for (const auto& c : cases) {
        std::wstring error;
        EXPECT_EQ(CopyFileVerified(dir / L"data", dir / c.first, error), c.second.empty()) << c.first;
        EXPECT_NE(error.find(c.second), std::wstring::npos) << c.first << L": " << error;
        EXPECT_EQ(ReadTestFile(dir / c.first) == ReadTestFile(dir / L"data"), c.second.empty()) << c.first;
    }
    std::wstring error;
    EXPECT_FALSE(CopyFileVerified(dir / L"missing", dir / L"copy", error));
    EXPECT_NE(error.find(L" (Win32 2)"), std::wstring::npos) << error;
    EXPECT_FALSE(FileExists(dir / L"copy"));
}

TEST(FileSystemTest, WritesCreateTheirFolderReplaceWholeAndFailWithTheSystemsText)
{
    TempDir dir;
    std::wstring error;
    EXPECT_TRUE(WriteFileDirect(dir / L"a\\b\\f.bin", "longer", 6, error)) << error;
    EXPECT_TRUE(WriteFileDirect(dir / L"a\\b\\f.bin", "xy", 2, error)) << error;
    EXPECT_EQ(ReadTestFile(dir / L"a\\b\\f.bin"), "xy");
    WriteTestFile(dir / L"blocker", "x");
    EXPECT_FALSE(WriteFileDirect(dir / L"blocker\\sub\\f", "x", 1, error));
    EXPECT_EQ(error, L"Cannot create output directory.");
    // Replaced through a side file: read-only targets and stale side files included.
    WriteTestFile(dir / L"state.xml", "old");
    WriteTestFile(dir / L"state.xml.new", "stale");
    ASSERT_TRUE(SetReadOnly(dir / L"state.xml", true) && SetReadOnly(dir / L"state.xml.new", true));
    EXPECT_TRUE(WriteFileAtomic(dir / L"state.xml", L"caf\u00e9", error)) << error;
    EXPECT_EQ(ReadTestFile(dir / L"state.xml"), "caf\xc3\xa9");
    EXPECT_FALSE(FileExists(dir / L"state.xml.new"));

    WriteTestFile(dir / L"locked", "keep");
    UniqueFile hold = LockFile(dir / L"locked");
    EXPECT_FALSE(WriteFileDirect(dir / L"locked", "new", 3, error));
    EXPECT_NE(error.find(L" (Win32 32)"), std::wstring::npos) << error;
    // The side file is never left behind, and the old file stays as it was.
    EXPECT_FALSE(WriteFileAtomic(dir / L"locked", L"new", error));
    EXPECT_NE(error.find(L" (Win32 "), std::wstring::npos) << error;
    EXPECT_FALSE(FileExists(dir / L"locked.new"));
    hold.Reset();
    EXPECT_EQ(ReadTestFile(dir / L"locked"), "keep");
}

TEST(FileSystemTest, QuotedArgumentsComeBackFromTheSystemSplitterUnchanged)
{
    const std::vector<std::wstring> arguments = {
        L"", L"plain", L"C:\\Program Files\\", L"C:\\trailing\\\\", L"say \"hi\"", L"\\\"", L"a\\\\\"b", L"\"",
        L"\\\\server\\share\\", L"tab\there", L"/installpath:C:\\Program Files\\App\\",
    };
    std::wstring commandLine = L"program.exe";
    for (const std::wstring& argument : arguments) {
        commandLine += L" " + QuoteArgument(argument);
    }
    int count = 0;
    wchar_t** argv = ::CommandLineToArgvW(commandLine.c_str(), &count);
    ASSERT_NE(argv, nullptr);
    UniqueLocalMemory owner(static_cast<HLOCAL>(argv));
    EXPECT_EQ(std::vector<std::wstring>(argv + 1, argv + count), arguments) << commandLine;
}

} // namespace

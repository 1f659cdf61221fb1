// The file helpers' safety limits, which no scenario can reach without
// risking the machine: roots, links and drives that are not there.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/FileSystem.h"
#include "support/TestSupport.h"

using namespace orv;

TEST(FileSystemTest, CreateDirectoriesStopsAtFilesInTheWayAndAtTheRootOfAMissingDrive)
{
    TempDir dir;
    WriteTestFile(dir / L"file", "x");
    EXPECT_TRUE(CreateDirectories(dir / L"a\\b/c") && DirectoryExists(dir / L"a\\b\\c"));
    EXPECT_TRUE(CreateDirectories(dir / L"file")) << "a file of that name already exists, as the system sees it";
    EXPECT_FALSE(CreateDirectories(dir / L"file\\below"));
    std::wstring root;
    for (wchar_t letter = L'Y'; letter > L'B' && root.empty(); --letter) {
        const std::wstring candidate = std::wstring(1, letter) + L":\\";
        root = ::GetDriveTypeW(candidate.c_str()) == DRIVE_NO_ROOT_DIR ? candidate : L"";
    }
    ASSERT_FALSE(root.empty()) << "every drive letter is in use";
    // The root is its own parent: the climb must stop there.
    for (const std::wstring& folder : {root, root + L"a\\b", root + L"a\\\\b/"}) {
        ::SetLastError(0);
        EXPECT_FALSE(CreateDirectories(folder)) << folder;
        EXPECT_NE(::GetLastError(), 0u) << folder;
    }
}

TEST(FileSystemTest, DeleteTreeRefusesEverySpellingOfADriveRoot)
{
    // A drive letter of the test prefix mapped onto a scratch folder by the
    // suite's setup: if the root check failed, only that folder could suffer.
    const std::string letterText = ReadTestFile(JoinPath(TestEnvPath("ORV_TEST_DATA_DIR"), L"drive-letter.txt"));
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
    EXPECT_EQ(DeleteTree(tree), !DirectoryExists(tree));
    EXPECT_FALSE(DirectoryExists(JoinPath(tree, L"sub")));
    // A link that is itself the folder to remove: at most the link goes.
    const std::wstring top = JoinPath(fixture, L"top-link");
    EXPECT_EQ(DeleteTree(top), !DirectoryExists(top));
    EXPECT_EQ(ReadTestFile(JoinPath(fixture, L"outside\\keep.txt")), "outside file\n");
    EXPECT_EQ(ReadTestFile(JoinPath(fixture, L"outside\\nested\\deep.txt")), "deep file\n");
}

TEST(FileSystemTest, AFailedCopyNamesItsCauseAndLeavesNoCopy)
{
    TempDir dir;
    WriteTestFile(dir / L"data", "data");
    WriteTestFile(dir / L"blocker", "x");
    CreateDirectories(dir / L"in-the-way");
    // (A source that is not there is the download tests' missing local file.)
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"in-the-way", L" (Win32 "},
        {L"blocker\\sub\\x", L"Cannot create directory: " + (dir / L"blocker\\sub")},
    };
    for (const auto& c : cases) {
        std::wstring error;
        EXPECT_FALSE(CopyFileVerified(dir / L"data", dir / c.first, error));
        EXPECT_NE(error.find(c.second), std::wstring::npos) << c.first << L": " << error;
        EXPECT_FALSE(FileExists(dir / c.first)) << c.first;
    }
}

TEST(FileSystemTest, AFileKeptOpenComparesFromItsStartEveryTime)
{
    TempDir dir;
    const std::string data(200000, 'd');
    WriteTestFile(dir / L"data", data);
    WriteTestFile(dir / L"same", data);
    WriteTestFile(dir / L"late", data.substr(0, 150000) + std::string(50000, 'x'));
    WriteTestFile(dir / L"longer", data + "d");
    CreateDirectories(dir / L"folder");
    CompareBuffers buffers;
    ComparedFile file(dir / L"data", buffers);
    // Each comparison leaves the kept file elsewhere; the next must not care.
    const std::pair<const wchar_t*, bool> others[] = {
        {L"late", false}, {L"same", true}, {L"longer", false}, {L"folder", false},
        {L"missing", false}, {L"same", true}, {L"data", true},
    };
    for (const auto& c : others) {
        EXPECT_EQ(file.Equals(dir / c.first), c.second) << c.first;
    }
    std::wstring error;
    EXPECT_TRUE(file.CopyVerified(dir / L"copy", error)) << error;
    EXPECT_EQ(ReadTestFile(dir / L"copy"), data);
}

#include "publish/CodeSign.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "publish/NativeFiles.h"

extern char** environ;

namespace orv {

namespace {

const char kSigner[] = "osslsigncode";

// The line of a tool's output that says what went wrong: the first that
// speaks of a failure or an error, else the first.
std::string TellingLine(std::istream& output)
{
    std::string line, first;
    while (std::getline(output >> std::ws, line)) {
        std::string lower = line;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        if (lower.find("fail") != std::string::npos || lower.find("error") != std::string::npos) {
            return line;
        }
        if (first.empty()) {
            first = line;
        }
    }
    return first;
}

// Runs a program (found on PATH) with its output in a temporary file; false
// with the telling line of what it printed when it fails.
bool RunTool(const std::vector<std::string>& arguments, std::wstring& said)
{
    const char* folder = std::getenv("TMPDIR");
    std::string outputPath = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") +
                             "/orvpublish-signer.XXXXXX";
    const int output = ::mkstemp(&outputPath[0]);
    if (output < 0) {
        said = L"no temporary file for its output";
        return false;
    }
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output, STDERR_FILENO);
    pid_t child = 0;
    int status = 0;
    const int started = ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    const bool passed = started == 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
                        WEXITSTATUS(status) == 0;
    ::close(output);
    std::ifstream printed(outputPath);
    const std::string line = TellingLine(printed);
    ::unlink(outputPath.c_str());
    said = started != 0 ? L"not found (Debian package osslsigncode)" : Wide(line);
    return passed;
}

bool SignOne(const std::string& certificate, const std::string& key, const std::string& file, std::wstring& error)
{
    const std::string signedCopy = file + ".orvpublish-signed";
    std::remove(signedCopy.c_str());
    std::wstring said;
    if (!RunTool({kSigner, "sign", "-certs", certificate, "-key", key, "-h", "sha256", "-in", file, "-out",
                  signedCopy},
                 said)) {
        error = Wide(file) + L": osslsigncode cannot sign it: " + said;
        std::remove(signedCopy.c_str());
        return false;
    }
    // A certificate from a public authority chains to the system's roots; a
    // company's own (or a test's) is its own root.
    if (!RunTool({kSigner, "verify", "-in", signedCopy}, said) &&
        !RunTool({kSigner, "verify", "-in", signedCopy, "-CAfile", certificate}, said)) {
        error = Wide(file) + L": the signature does not verify against " + Wide(certificate) + L": " + said;
        std::remove(signedCopy.c_str());
        return false;
    }
    struct stat original {};
    if (::stat(file.c_str(), &original) != 0 || ::chmod(signedCopy.c_str(), original.st_mode & 07777) != 0 ||
        std::rename(signedCopy.c_str(), file.c_str()) != 0) {
        error = Wide(file) + L": the signed copy cannot replace it";
        std::remove(signedCopy.c_str());
        return false;
    }
    return true;
}

} // namespace

bool SignExecutables(const std::string& certificate, const std::string& key, const std::vector<std::string>& files,
                     std::wstring& error)
{
    for (const std::string& file : files) {
        if (!SignOne(certificate, key, file, error)) {
            return false;
        }
    }
    return true;
}

} // namespace orv

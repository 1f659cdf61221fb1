#include "publish/CodeSign.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "publish/NativeFiles.h"

extern char** environ;

namespace orv {

namespace {

const char kSigner[] = "osslsigncode";

// Runs a program (found on PATH) with its output in a temporary file; false
// with the first line it printed when it fails.
bool RunTool(const std::vector<std::string>& arguments, std::wstring& firstLine)
{
    char outputPath[] = "/tmp/orvpublish-signer.XXXXXX";
    const int output = ::mkstemp(outputPath);
    if (output < 0) {
        firstLine = L"no temporary file for its output";
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
    std::string line;
    std::ifstream printed(outputPath);
    std::getline(printed >> std::ws, line);
    ::unlink(outputPath);
    firstLine = started != 0 ? L"not found (Debian package osslsigncode)" : Wide(line);
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

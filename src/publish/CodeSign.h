#pragma once
// Authenticode signatures on executables, made and checked by Debian's
// osslsigncode, so that Windows names the publisher when it asks to elevate.
#include <string>
#include <vector>

namespace orv {

// Signs each executable in place (SHA-256) with the certificate and its key,
// then verifies the signature against that certificate; an executable is
// replaced only by a copy whose signature verified.
bool SignExecutables(const std::string& certificate, const std::string& key, const std::vector<std::string>& files,
                     std::wstring& error);

} // namespace orv

#pragma once
// Manifests of a build with a publisher's key: accepted only with a valid
// signature of their exact bytes, a serial no older than the highest one
// accepted before, a date they are still good for, and every package's size
// and hash. A build without a key reads manifests as they come.
#include <cstdint>
#include <string>

#include "manifest/Manifest.h"

class TraceLog;

// The signature's file beside a manifest's.
std::wstring SignaturePathOf(const std::wstring& manifestPath);

// Reads the manifest at manifestPath into list, authenticated when the build
// has a key; serial is the accepted manifest's serial (0 without a key).
// False with the reason in error.
bool ReadAuthenticManifest(const std::wstring& manifestPath, const std::wstring& installPath, PackageList& list,
                           uint64_t& serial, std::wstring& error);

// Keeps serial as the highest accepted one in the install folder: the file
// only ever moves upward.
void RecordAcceptedSerial(const std::wstring& installPath, uint64_t serial, TraceLog& log);

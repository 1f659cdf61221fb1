#pragma once
// Starting the product's main executable once a run is done.
#include <string>

namespace orv {

class TraceLog;
struct ProductProfile;

// Starts the product's main executable from the install folder.
bool LaunchMainApplication(const std::wstring& installFolder, const ProductProfile& profile, TraceLog& log);

} // namespace orv

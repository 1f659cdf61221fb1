#include "manifest/Version.h"

#include <algorithm>
#include <limits>

#include "platform/PathText.h"

namespace orv {

bool ParseVersion(const std::wstring& text, std::vector<uint64_t>& components)
{
    components.clear();
    const std::wstring trimmed = TrimWhitespace(text);
    if (trimmed.empty()) {
        return false;
    }
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    size_t position = 0;
    for (;;) {
        const size_t dot = trimmed.find(L'.', position);
        const size_t end = dot == std::wstring::npos ? trimmed.size() : dot;
        if (end == position) {
            components.clear();
            return false;
        }
        uint64_t value = 0;
        for (size_t i = position; i < end; ++i) {
            const wchar_t c = trimmed[i];
            if (c < L'0' || c > L'9') {
                components.clear();
                return false;
            }
            const uint64_t digit = static_cast<uint64_t>(c - L'0');
            if (value > (kMax - digit) / 10) {
                components.clear();
                return false;
            }
            value = value * 10 + digit;
        }
        components.push_back(value);
        if (dot == std::wstring::npos) {
            return true;
        }
        position = dot + 1;
    }
}

int CompareVersions(const std::wstring& a, const std::wstring& b, bool* bothValid)
{
    std::vector<uint64_t> left;
    std::vector<uint64_t> right;
    const bool leftValid = ParseVersion(a, left);
    const bool rightValid = ParseVersion(b, right);
    if (bothValid != nullptr) {
        *bothValid = leftValid && rightValid;
    }
    if (!leftValid || !rightValid) {
        return -1;
    }
    // Missing trailing components count as zero: 1.2 equals 1.2.0.0.
    const size_t length = std::max(left.size(), right.size());
    left.resize(length, 0);
    right.resize(length, 0);
    for (size_t i = 0; i < length; ++i) {
        if (left[i] != right[i]) {
            return left[i] < right[i] ? -1 : 1;
        }
    }
    return 0;
}

} // namespace orv

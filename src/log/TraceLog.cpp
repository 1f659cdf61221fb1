#include "log/TraceLog.h"

#include <cwchar>

namespace orv {

std::wstring EscapeControlCharacters(const std::wstring& message)
{
    std::wstring text;
    text.reserve(message.size());
    for (const wchar_t c : message) {
        // Besides the C0 controls, the three characters some viewers also
        // take as the end of a line.
        if (c >= 0x20 && c != 0x85 && c != 0x2028 && c != 0x2029) {
            text += c;
        } else if (c == L'\r') {
            text += L"\\r";
        } else if (c == L'\n') {
            text += L"\\n";
        } else if (c == L'\t') {
            text += L"\\t";
        } else {
            wchar_t escaped[8] = {};
            std::swprintf(escaped, sizeof(escaped) / sizeof(escaped[0]), c < 0x100 ? L"\\x%02X" : L"\\u%04X",
                          static_cast<unsigned>(c));
            text += escaped;
        }
    }
    return text;
}

std::wstring FormatTraceLine(const std::wstring& level, uint32_t sequence, const std::wstring& timestamp,
                             const std::wstring& message)
{
    return level + L" | Seq=" + std::to_wstring(sequence) + L" | " + timestamp + L" | " +
           EscapeControlCharacters(message);
}

} // namespace orv

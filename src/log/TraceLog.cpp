#include "log/TraceLog.h"

namespace orv {

std::wstring FormatTraceLine(const std::wstring& level, uint32_t sequence, const std::wstring& timestamp,
                             const std::wstring& message)
{
    return level + L" | Seq=" + std::to_wstring(sequence) + L" | " + timestamp + L" | " + message;
}

} // namespace orv

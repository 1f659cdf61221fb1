// The platform functions the updater's rules call, for the native tool.
// Texts hold UTF-16 code units in wchar_t, as on Windows, so every length and
// limit the rules check counts what it counts there.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "platform/FileSystem.h"
#include "platform/TextEncoding.h"
#include "zip/ZipReader.h"

namespace orv {

namespace {

// Length of the UTF-8 sequence that starts with lead and the least code
// point it may carry (shorter forms are refused, as Windows refuses them).
bool SequenceOf(unsigned char lead, size_t& length, uint32_t& least)
{
    if (lead < 0x80) {
        length = 1, least = 0;
    } else if (lead >= 0xC2 && lead < 0xE0) {
        length = 2, least = 0x80;
    } else if (lead >= 0xE0 && lead < 0xF0) {
        length = 3, least = 0x800;
    } else if (lead >= 0xF0 && lead < 0xF5) {
        length = 4, least = 0x10000;
    } else {
        return false;
    }
    return true;
}

bool DecodeStrictUtf8(const unsigned char* bytes, size_t size, std::wstring& text)
{
    for (size_t i = 0; i < size;) {
        size_t length = 0;
        uint32_t least = 0;
        if (!SequenceOf(bytes[i], length, least) || length > size - i) {
            return false;
        }
        uint32_t point = length == 1 ? bytes[i] : bytes[i] & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) {
                return false;
            }
            point = (point << 6) | (bytes[i + k] & 0x3F);
        }
        if (point < least || point > 0x10FFFF || (point >= 0xD800 && point < 0xE000)) {
            return false;
        }
        if (point >= 0x10000) {
            text.push_back(static_cast<wchar_t>(0xD800 + ((point - 0x10000) >> 10)));
            text.push_back(static_cast<wchar_t>(0xDC00 + ((point - 0x10000) & 0x3FF)));
        } else {
            text.push_back(static_cast<wchar_t>(point));
        }
        i += length;
    }
    return true;
}

void AppendUtf8(uint32_t point, std::string& out)
{
    if (point < 0x80) {
        out.push_back(static_cast<char>(point));
    } else if (point < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (point >> 6)));
        out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else if (point < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (point >> 12)));
        out.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (point >> 18)));
        out.push_back(static_cast<char>(0x80 | ((point >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    }
}

// The rules build paths with "\"; Linux separates with "/".
std::string NativePath(const std::wstring& path)
{
    std::string native = WideToUtf8(path);
    std::replace(native.begin(), native.end(), '\\', '/');
    return native;
}

} // namespace

// A lone surrogate becomes U+FFFD, as the system's conversion makes it.
std::string WideToUtf8(const std::wstring& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t unit = static_cast<uint32_t>(text[i]) & 0xFFFF;
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < text.size() && (text[i + 1] & 0xFC00) == 0xDC00) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + ((text[i + 1] & 0xFFFF) - 0xDC00);
            ++i;
        } else if (unit >= 0xD800 && unit < 0xE000) {
            unit = 0xFFFD;
        }
        AppendUtf8(unit, out);
    }
    return out;
}

// Bytes that are not UTF-8 are taken one character each (Latin-1), the
// native stand-in for the system's ANSI code page.
std::wstring Utf8ToWide(const void* data, size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::wstring text;
    text.reserve(size);
    if (DecodeStrictUtf8(bytes, size, text)) {
        return text;
    }
    return std::wstring(bytes, bytes + size);
}

std::wstring Utf8ToWide(const std::string& bytes)
{
    return Utf8ToWide(bytes.data(), bytes.size());
}

ByteArray ReadWholeFile(const std::wstring& path)
{
    std::ifstream file(NativePath(path), std::ios::binary);
    if (!file) {
        throw FileReadError("Cannot open file");
    }
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    if (size < 0 || static_cast<uint64_t>(size) > kMaxWholeFileBytes) {
        throw FileReadError("File is too large or unreadable");
    }
    ByteArray data(static_cast<size_t>(size));
    file.seekg(0);
    if (!file.read(reinterpret_cast<char*>(data.data()), size)) {
        throw FileReadError("Cannot read complete file");
    }
    return data;
}

bool WriteFileAtomic(const std::wstring& path, const std::wstring& text, std::wstring& error)
{
    const std::string target = NativePath(path);
    const std::string side = target + ".new";
    const std::string bytes = WideToUtf8(text);
    std::FILE* file = std::fopen(side.c_str(), "wb");
    bool written = file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    written = file != nullptr && std::fclose(file) == 0 && written;
    if (written && std::rename(side.c_str(), target.c_str()) == 0) {
        return true;
    }
    std::remove(side.c_str());
    error = L"Cannot write " + path;
    return false;
}

bool OpenZipReader(const std::wstring& zipPath, ZipReader& reader, std::wstring& error)
{
    reader.Close();
    std::memset(&reader.archive, 0, sizeof(reader.archive));
    std::FILE* stream = std::fopen(NativePath(zipPath).c_str(), "rb");
    struct stat info {};
    if (stream == nullptr || fstat(fileno(stream), &info) != 0) {
        if (stream != nullptr) {
            std::fclose(stream);
        }
        error = kZipOpenFailedText;
        return false;
    }
    return StartZipReader(reader, stream, static_cast<uint64_t>(info.st_size), error);
}

} // namespace orv

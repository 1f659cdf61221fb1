#include "publish/PeVersion.h"

#include <cstdint>

namespace orv {

namespace {

// Where a PE image keeps its version resource, and what marks the resource's
// fixed part.
enum : uint32_t {
    kResourceDirectoryIndex = 2,
    kVersionResourceType = 16,
    kVersionResourceId = 1,
    kFixedInfoSignature = 0xFEEF04BD,
    kFixedInfoBytes = 52,
    kSubdirectoryFlag = 0x80000000,
};

// Little-endian reads that fail, instead of reading past the end.
struct Bytes {
    const unsigned char* data;
    size_t size;

    bool Has(size_t offset, size_t length) const { return offset <= size && length <= size - offset; }
    bool U16(size_t offset, uint32_t& value) const
    {
        if (!Has(offset, 2)) {
            return false;
        }
        value = data[offset] | (static_cast<uint32_t>(data[offset + 1]) << 8);
        return true;
    }
    bool U32(size_t offset, uint32_t& value) const
    {
        uint32_t low = 0, high = 0;
        if (!U16(offset, low) || !U16(offset + 2, high)) {
            return false;
        }
        value = low | (high << 16);
        return true;
    }
};

struct Section {
    uint32_t address;
    uint32_t rawSize;
    uint32_t rawOffset;
};

// The file offset of the resource directory and the sections that map
// addresses to file offsets.
struct Image {
    Bytes file;
    size_t sectionTable = 0;
    uint32_t sectionCount = 0;
    uint32_t resourceAddress = 0;
};

bool ReadHeaders(Image& image)
{
    const Bytes& f = image.file;
    uint32_t peOffset = 0, signature = 0, optionalSize = 0, magic = 0;
    if (!f.Has(0, 2) || f.data[0] != 'M' || f.data[1] != 'Z' || !f.U32(0x3C, peOffset) ||
        !f.U32(peOffset, signature) || signature != 0x00004550) {
        return false;
    }
    const size_t coff = static_cast<size_t>(peOffset) + 4;
    const size_t optional = coff + 20;
    if (!f.U16(coff + 2, image.sectionCount) || !f.U16(coff + 16, optionalSize) || !f.U16(optional, magic)) {
        return false;
    }
    // PE32 and PE32+ differ only in where the data directories start.
    const size_t countOffset = magic == 0x10B ? 92 : magic == 0x20B ? 108 : 0;
    uint32_t directories = 0;
    if (countOffset == 0 || countOffset + 4 > optionalSize || !f.U32(optional + countOffset, directories) ||
        directories <= kResourceDirectoryIndex || countOffset + 4 + 8 * (kResourceDirectoryIndex + 1) > optionalSize) {
        return false;
    }
    image.sectionTable = optional + optionalSize;
    return f.U32(optional + countOffset + 4 + 8 * kResourceDirectoryIndex, image.resourceAddress) &&
           image.resourceAddress != 0;
}

// The file offset of length bytes at an address of the loaded image, within
// the raw data of one section.
bool FileOffsetOf(const Image& image, uint32_t address, size_t length, size_t& offset)
{
    for (uint32_t i = 0; i < image.sectionCount; ++i) {
        const size_t entry = image.sectionTable + 40 * static_cast<size_t>(i);
        Section s{};
        if (!image.file.U32(entry + 12, s.address) || !image.file.U32(entry + 16, s.rawSize) ||
            !image.file.U32(entry + 20, s.rawOffset)) {
            return false;
        }
        if (address >= s.address && address - s.address < s.rawSize && length <= s.rawSize - (address - s.address)) {
            offset = static_cast<size_t>(s.rawOffset) + (address - s.address);
            return image.file.Has(offset, length);
        }
    }
    return false;
}

// Follows one level of the resource tree: the entry with id (or the first
// entry when anyId) of the directory at directoryOffset (relative to the
// resource root). Returns the entry's target as stored.
bool FindResourceEntry(const Image& image, size_t root, uint32_t directoryOffset, uint32_t id, bool anyId,
                       uint32_t& target)
{
    const Bytes& f = image.file;
    const size_t directory = root + directoryOffset;
    uint32_t named = 0, numbered = 0;
    if (!f.U16(directory + 12, named) || !f.U16(directory + 14, numbered)) {
        return false;
    }
    // Named entries come first; a version resource is found by number.
    const uint32_t first = anyId ? 0 : named;
    for (uint32_t i = first; i < named + numbered; ++i) {
        const size_t entry = directory + 16 + 8 * static_cast<size_t>(i);
        uint32_t name = 0;
        if (!f.U32(entry, name) || !f.U32(entry + 4, target)) {
            return false;
        }
        if (anyId || name == id) {
            return true;
        }
    }
    return false;
}

// The version resource's data: type 16, id 1, its first language.
bool FindVersionData(const Image& image, size_t& offset, uint32_t& length)
{
    size_t root = 0;
    if (!FileOffsetOf(image, image.resourceAddress, 16, root)) {
        return false;
    }
    uint32_t types = 0, names = 0, data = 0;
    if (!FindResourceEntry(image, root, 0, kVersionResourceType, false, types) || !(types & kSubdirectoryFlag) ||
        !FindResourceEntry(image, root, types & ~kSubdirectoryFlag, kVersionResourceId, false, names) ||
        !(names & kSubdirectoryFlag) ||
        !FindResourceEntry(image, root, names & ~kSubdirectoryFlag, 0, true, data) || (data & kSubdirectoryFlag)) {
        return false;
    }
    uint32_t address = 0;
    const Bytes& f = image.file;
    return f.Has(root + data, 16) && f.U32(root + data, address) && f.U32(root + data + 4, length) &&
           FileOffsetOf(image, address, length, offset);
}

// VS_VERSIONINFO: its length, the value's length, the type, the key
// "VS_VERSION_INFO" in UTF-16 with its terminator, padding to four bytes,
// then the fixed file information.
bool ReadFixedInfo(const Bytes& block, uint32_t& versionMs, uint32_t& versionLs)
{
    static const char kKey[] = "VS_VERSION_INFO";
    uint32_t valueLength = 0;
    if (!block.U16(2, valueLength) || valueLength < kFixedInfoBytes) {
        return false;
    }
    for (size_t i = 0; i < sizeof(kKey); ++i) {
        uint32_t unit = 0;
        if (!block.U16(6 + 2 * i, unit) || unit != static_cast<unsigned char>(kKey[i])) {
            return false;
        }
    }
    const size_t value = (6 + 2 * sizeof(kKey) + 3) & ~static_cast<size_t>(3);
    uint32_t signature = 0;
    return block.Has(value, kFixedInfoBytes) && block.U32(value, signature) && signature == kFixedInfoSignature &&
           block.U32(value + 8, versionMs) && block.U32(value + 12, versionLs);
}

} // namespace

bool ReadPeFileVersion(const unsigned char* data, size_t size, std::wstring& version)
{
    Image image{Bytes{data, size}};
    size_t offset = 0;
    uint32_t length = 0, ms = 0, ls = 0;
    if (!ReadHeaders(image) || !FindVersionData(image, offset, length) ||
        !ReadFixedInfo(Bytes{data + offset, length}, ms, ls)) {
        return false;
    }
    version = std::to_wstring(ms >> 16) + L"." + std::to_wstring(ms & 0xFFFF) + L"." + std::to_wstring(ls >> 16) +
              L"." + std::to_wstring(ls & 0xFFFF);
    return true;
}

} // namespace orv

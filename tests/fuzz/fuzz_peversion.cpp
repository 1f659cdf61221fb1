// Version resources of PE files: the reader stays inside its input whatever
// it holds, and finds the four numbers of an image built around them, with
// any bytes after it.
#include <cstring>

#include "FuzzSupport.h"
#include "manifest/Version.h"
#include "publish/PeVersion.h"

using namespace orv;

namespace {

void Put(std::vector<uint8_t>& image, size_t offset, uint32_t value, size_t bytes)
{
    for (size_t i = 0; i < bytes; ++i) {
        image[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// A PE32+ image with one section, ".rsrc" at address 0x1000 (file offset
// 0x200): type 16, id 1, language 0x409, and a VS_VERSIONINFO of 92 bytes.
std::vector<uint8_t> ImageWithVersion(const uint16_t parts[4])
{
    std::vector<uint8_t> image(0x400, 0);
    image[0] = 'M', image[1] = 'Z';
    Put(image, 0x3C, 0x40, 4);
    Put(image, 0x40, 0x00004550, 4);
    Put(image, 0x44, 0x8664, 2);
    Put(image, 0x46, 1, 2);
    Put(image, 0x54, 240, 2);
    Put(image, 0x58, 0x20B, 2);
    Put(image, 0x58 + 108, 16, 4);
    Put(image, 0x58 + 128, 0x1000, 4);
    Put(image, 0x58 + 132, 0x200, 4);
    std::memcpy(&image[0x148], ".rsrc", 5);
    Put(image, 0x148 + 8, 0x200, 4);
    Put(image, 0x148 + 12, 0x1000, 4);
    Put(image, 0x148 + 16, 0x200, 4);
    Put(image, 0x148 + 20, 0x200, 4);
    const size_t directories[3][2] = {{16, 0x80000018}, {1, 0x80000030}, {0x409, 0x48}};
    for (size_t level = 0; level < 3; ++level) {
        Put(image, 0x200 + 0x18 * level + 14, 1, 2);
        Put(image, 0x200 + 0x18 * level + 16, directories[level][0], 4);
        Put(image, 0x200 + 0x18 * level + 20, directories[level][1], 4);
    }
    Put(image, 0x248, 0x1058, 4);
    Put(image, 0x24C, 92, 4);
    Put(image, 0x258, 92, 2);
    Put(image, 0x25A, 52, 2);
    const char key[] = "VS_VERSION_INFO";
    for (size_t i = 0; i < sizeof(key); ++i) {
        Put(image, 0x25E + 2 * i, static_cast<uint8_t>(key[i]), 2);
    }
    Put(image, 0x280, 0xFEEF04BD, 4);
    Put(image, 0x288, (static_cast<uint32_t>(parts[0]) << 16) | parts[1], 4);
    Put(image, 0x28C, (static_cast<uint32_t>(parts[2]) << 16) | parts[3], 4);
    return image;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::wstring version;
    std::vector<uint64_t> numbers;
    if (ReadPeFileVersion(data, size, version)) {
        FUZZ_CHECK(ParseVersion(version, numbers) && numbers.size() == 4);
        for (const uint64_t n : numbers) {
            FUZZ_CHECK(n <= 0xFFFF);
        }
    }
    if (size < 8) {
        return 0;
    }
    const uint16_t parts[4] = {static_cast<uint16_t>(data[0] | data[1] << 8), static_cast<uint16_t>(data[2] | data[3] << 8),
                               static_cast<uint16_t>(data[4] | data[5] << 8), static_cast<uint16_t>(data[6] | data[7] << 8)};
    std::vector<uint8_t> image = ImageWithVersion(parts);
    image.insert(image.end(), data + 8, data + size);
    FUZZ_CHECK(ReadPeFileVersion(image.data(), image.size(), version));
    FUZZ_CHECK(version == std::to_wstring(parts[0]) + L"." + std::to_wstring(parts[1]) + L"." +
                              std::to_wstring(parts[2]) + L"." + std::to_wstring(parts[3]));
    return 0;
}

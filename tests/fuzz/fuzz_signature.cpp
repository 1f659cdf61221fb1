// Signatures: DER has one encoding per value, so whatever converts must be
// exactly the minimal encoding of the two scalars it gave.
#include <vector>

#include "FuzzSupport.h"
#include "manifest/Authenticity.h"

using namespace orv;

namespace {

void AppendInteger(std::vector<uint8_t>& der, const unsigned char* scalar)
{
    size_t skip = 0;
    while (skip < 31 && scalar[skip] == 0) {
        ++skip;
    }
    const bool pad = (scalar[skip] & 0x80) != 0;
    der.push_back(0x02);
    der.push_back(static_cast<uint8_t>(32 - skip + (pad ? 1 : 0)));
    if (pad) {
        der.push_back(0);
    }
    der.insert(der.end(), scalar + skip, scalar + 32);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    unsigned char raw[64];
    if (!SignatureDerToRaw(data, size, raw)) {
        return 0;
    }
    std::vector<uint8_t> body;
    AppendInteger(body, raw);
    AppendInteger(body, raw + 32);
    std::vector<uint8_t> der = {0x30, static_cast<uint8_t>(body.size())};
    der.insert(der.end(), body.begin(), body.end());
    FUZZ_CHECK(der == std::vector<uint8_t>(data, data + size));
    return 0;
}

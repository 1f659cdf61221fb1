// Version texts: parsing agrees with its own numbers, and the order is one a
// sort can rely on (antisymmetric, transitive, invalid texts older).
#include "FuzzSupport.h"
#include "manifest/Version.h"

using namespace orv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::wstring> texts = SplitUnits(Utf16Units(data, size), L'|');
    texts.resize(3);
    std::vector<uint64_t> numbers;
    if (ParseVersion(texts[0], numbers)) {
        std::wstring canonical;
        for (const uint64_t n : numbers) {
            canonical += (canonical.empty() ? L"" : L".") + std::to_wstring(n);
        }
        FUZZ_CHECK(CompareVersions(texts[0], canonical) == 0);
    } else {
        FUZZ_CHECK(numbers.empty());
    }
    int order[3][3];
    bool valid[3][3];
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            order[i][j] = CompareVersions(texts[i], texts[j], &valid[i][j]);
            FUZZ_CHECK(order[i][j] >= -1 && order[i][j] <= 1);
            FUZZ_CHECK(valid[i][j] || order[i][j] == -1);
        }
    }
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            FUZZ_CHECK(valid[i][j] == valid[j][i]);
            FUZZ_CHECK(!valid[i][j] || order[i][j] == -order[j][i]);
            const int k = 3 - i - j;
            if (i != j && valid[i][j] && valid[j][k] && order[i][j] <= 0 && order[j][k] <= 0) {
                FUZZ_CHECK(order[i][k] == (order[i][j] + order[j][k] == 0 ? 0 : -1));
            }
        }
    }
    return 0;
}

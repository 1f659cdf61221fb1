#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ManifestTestSupport.h"
#include "manifest/Authenticity.h"
#include "platform/Crypto.h"

using namespace orv;

namespace {

std::vector<unsigned char> Bytes(const std::string& hex)
{
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// r: 32 bytes with the top bit set, so DER needs its 00; s: 31 bytes.
const std::string kR = "8f" + std::string(62, '1');
const std::string kS = std::string(62, '2');

TEST(SignatureDerTest, OnlyTheOneDerEncodingOfTwoScalarsConverts)
{
    const struct {
        std::string der;
        std::string raw; // empty: refused
    } cases[] = {
        {"3044022100" + kR + "021f" + kS, kR + "00" + kS},
        {"30440221" + kR + "00" "021f" + kS, ""},        // r without its 00: negative, 33 bytes
        {"3045022100" + kR + "022000" + kS, ""},         // s padded without need
        {"3045022100" + kR + "021f" + kS + "00", ""},    // a byte after the integers, counted
        {"3044022100" + kR + "021f" + kS + "00", ""},    // a byte after the sequence
        {"308144022100" + kR + "021f" + kS, ""},         // long form of a short length
        {"3044022100" + kR + "021f" + kS.substr(2), ""}, // truncated
        {"3023" "0200" "021f" + kS, ""},                 // empty integer
        {"3026" "0203" "000000" "021f" + kS, ""},        // zero, padded
        {"304602230000" + kR + "021f" + kS, ""},         // 34 bytes
        {"", ""},
    };
    for (const auto& c : cases) {
        const std::vector<unsigned char> der = Bytes(c.der);
        unsigned char raw[64] = {};
        const bool converted = SignatureDerToRaw(der.data(), der.size(), raw);
        EXPECT_EQ(converted, !c.raw.empty()) << c.der;
        if (converted) {
            EXPECT_EQ(LowerHex(raw, 64), FoldAsciiCase(std::wstring(c.raw.begin(), c.raw.end())));
        }
    }
}

std::wstring Signed(const std::wstring& versionAttributes, const std::wstring& entries)
{
    return L"<?xml version=\"1.0\"?>\r\n<Updater>\r\n  <version" + versionAttributes + L">\r\n" + entries +
           L"  </version>\r\n</Updater>\r\n";
}

// Serial, expiry and package attributes as a signed manifest carries them,
// read without changing what the reader returned before they existed.
TEST(ManifestSealTest, SerialExpiryAndEntryAttributes)
{
    const std::wstring hash(64, L'A');
    const std::wstring entries = L"    <A.zip size=\"10\" sha256=\"" + hash + L"\">1.0</A.zip>\r\n"
                                 L"    <B.zip sha256='" + hash + L"' serverMissing=\"true\" SIZE = '0'>2.0</B.zip>\r\n";
    PackageList plain, list;
    std::wstring error;
    ASSERT_TRUE(ParseManifestText(Signed(L"", L"<A.zip>1.0</A.zip><B.zip serverMissing=\"true\">2.0</B.zip>"),
                                  plain, error));
    ASSERT_TRUE(ParseManifestText(Signed(L" serial=\"7\" expires=\"2030-02-28\"", entries), list, error));
    EXPECT_EQ(Describe(list), Describe(plain));
    EXPECT_TRUE(list[0].sizeKnown && list[0].size == 10 && list[1].sizeKnown && list[1].size == 0);
    EXPECT_EQ(list[1].sha256, FoldAsciiCase(hash));
    EXPECT_EQ(CheckSignedEntries(list), L"");

    // Values that are not well formed count as absent.
    for (const std::wstring& tag : {L"size=\"1x\" sha256=\"" + hash + L"\"", L"size=\"1\" sha256=\"" + hash + L"0\"",
                                   L"size=\"-1\" sha256=\"" + hash + L"\"", L"size=1 sha256=\"" + hash + L"\"",
                                   L"size=\"99999999999999999999\" sha256=\"" + hash + L"\""}) {
        ASSERT_TRUE(ParseManifestText(Signed(L"", L"<C.zip " + tag + L">1</C.zip>"), list, error)) << tag;
        EXPECT_EQ(CheckSignedEntries(list), L"Manifest entry C.zip has no size or sha256.") << tag;
    }

    const uint32_t today = 20300228;
    const struct {
        std::wstring attributes;
        uint64_t accepted;
        std::wstring error;
    } seals[] = {
        {L" serial=\"7\" expires=\"2030-02-28\"", 7, L""},
        {L" SERIAL='8' Expires = \"2030-03-01\"", 7, L""},
        {L" serial=\"6\" expires=\"2030-02-28\"", 7, L"Manifest serial 6 is older than the accepted serial 7."},
        {L" expires=\"2030-02-28\"", 0, kSerialInvalidText},
        {L" serial=\"\" expires=\"2030-02-28\"", 0, kSerialInvalidText},
        {L" serial=\"+1\" expires=\"2030-02-28\"", 0, kSerialInvalidText},
        {L" serial=\"18446744073709551616\" expires=\"2030-02-28\"", 0, kSerialInvalidText},
        {L" serial=\"18446744073709551615\" expires=\"2030-02-27\"", 0, L"Manifest expired on 2030-02-27."},
        {L" serial=\"1\" expires=\"2030-02-29\"", 0, kExpiryInvalidText},
        {L" serial=\"1\" expires=\"2028-02-29\"", 0, L"Manifest expired on 2028-02-29."},
        {L" serial=\"1\" expires=\"2030-2-28\"", 0, kExpiryInvalidText},
        {L" serial=\"1\"", 0, kExpiryInvalidText},
        {L" note=\"serial='9'\" serial=\"1\" expires=\"2030-12-31\"", 2,
         L"Manifest serial 1 is older than the accepted serial 2."},
    };
    for (const auto& c : seals) {
        EXPECT_EQ(CheckManifestSeal(ReadManifestSeal(Signed(c.attributes, entries)), c.accepted, today), c.error)
            << c.attributes;
    }
}

} // namespace

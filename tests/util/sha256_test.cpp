// SHA-256 against the FIPS 180-2 vectors, in pieces that split blocks unevenly and from a file;
// and the published digest texts the installer download accepts or refuses.
#include "util/sha256.h"

#include <gtest/gtest.h>

#include <string>

#include "support/tempdir.h"

namespace {

struct Vector {
    std::string input;
    const char* digest;
};

const Vector kVectors[] = {
    {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

TEST(Sha256, KnownVectorsWholeInPiecesAndFromAFile) {
    testsupport::TempDir dir;
    for (const Vector& v : kVectors) {
        SCOPED_TRACE(v.input.substr(0, 20));
        EXPECT_EQ(CSha256::HexOf(v.input.data(), v.input.size()), v.digest);
        CSha256 h;
        for (size_t at = 0, step = 1; at < v.input.size(); at += step, step = step * 3 % 1013 + 1)
            h.Update(v.input.data() + at, std::min(step, v.input.size() - at));
        EXPECT_EQ(h.FinalHex(), v.digest);
        h.Update("abc", 3);  // FinalHex starts afresh
        EXPECT_EQ(h.FinalHex(), kVectors[1].digest);
        dir.WriteFile("v.bin", v.input);
        std::string hex;
        ASSERT_TRUE(CSha256::HexOfFile(dir.Sub("v.bin"), &hex));
        EXPECT_EQ(hex, v.digest);
    }
    std::string hex = "untouched";
    EXPECT_FALSE(CSha256::HexOfFile(dir.Sub("missing.bin"), &hex));
    EXPECT_EQ(hex, "untouched");
}

TEST(Sha256, PublishedDigestTexts) {
    const std::string d = kVectors[1].digest;
    std::string upper = d;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    struct Case {
        std::string text;
        bool ok;
    };
    const Case cases[] = {
        {d, true},
        {d + "\n", true},
        {d + "  KestrineSetup120402.exe\n", true},    // sha256sum
        {d + " *KestrineSetup120402.exe\r\n", true},  // sha256sum --binary, CRLF
        {d + "\tsetup.exe\n\n", true},
        {upper + "\n", true},
        {"", false},
        {d.substr(0, 63), false},
        {d + "0", false},          // 65 digits
        {d + "setup.exe", false},  // no space before the name
        {" " + d, false},
        {"sha256:" + d, false},
        {d.substr(0, 62) + "zz", false},
        {d + "  a.exe\n" + d + "  b.exe\n", false},  // which one?
        {"<html>404 not found</html>", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string hex = "untouched";
        EXPECT_EQ(CSha256::ParseSumText(c.text, &hex), c.ok);
        EXPECT_EQ(hex, c.ok ? d : "untouched");
    }
}

}  // namespace

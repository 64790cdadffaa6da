#include "radius/md5.h"

#include "tests/support/testing.h"

namespace {

std::string md5(const std::string& input) {
    unsigned char digest[16];
    md5_calc(digest, reinterpret_cast<const unsigned char*>(input.data()),
             static_cast<unsigned int>(input.size()));
    return vtest::hex(digest, 16);
}

TEST(Md5, KnownDigests) {
    // From the test suite of RFC 1321, then lengths either side of the
    // padding boundary against digests from another implementation.
    const std::pair<std::string, const char*> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"1234567890123456789012345678901234567890"
         "1234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(55, 'x'), "04364420e25c512fd958a70738aa8f72"},
        {std::string(56, 'x'), "668a72d5ba17f08e62dabcafad6db14b"},
    };
    for (const auto& [input, digest] : cases) EXPECT_EQ(md5(input), digest) << input;
}

TEST(Md5, PiecewiseUpdatesGiveTheOneShotDigest) {
    // Pieces of every size from 1 to 130 cross the 64-octet blocks and the
    // 56-octet padding boundary in every possible way.
    const std::string million(1000000, 'a');
    MD5_CTX context;
    MD5Init(&context);
    size_t done = 0;
    for (unsigned int piece = 1; done < million.size(); piece = piece % 130 + 1) {
        const unsigned int take =
            static_cast<unsigned int>(std::min<size_t>(piece, million.size() - done));
        MD5Update(&context, reinterpret_cast<const unsigned char*>(million.data()) + done, take);
        done += take;
    }
    unsigned char digest[16];
    MD5Final(digest, &context);
    EXPECT_EQ(vtest::hex(digest, 16), "7707d6ae4e027c70eea2a935c2296f21");
    EXPECT_EQ(md5(million), "7707d6ae4e027c70eea2a935c2296f21");
}

}  // namespace

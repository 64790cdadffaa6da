#include "tests/support/radius.h"

namespace {

TEST(Md5, KnownDigestsInOneCallAndInPiecesOfEverySize) {
    // From the test suite of RFC 1321, then lengths either side of the
    // padding boundary against digests from another implementation.
    const std::pair<std::string, const char*> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {std::string(55, 'x'), "04364420e25c512fd958a70738aa8f72"},
        {std::string(56, 'x'), "668a72d5ba17f08e62dabcafad6db14b"}};
    for (const auto& [input, digest] : cases) EXPECT_EQ(vtest::hex(vtest::md5(input)), digest);

    // Pieces of every size from 1 to 130 cross the 64-octet blocks and the
    // 56-octet padding boundary in every possible way.
    const std::string million(1000000, 'a');
    MD5_CTX context;
    MD5Init(&context);
    for (size_t done = 0, piece = 1; done < million.size(); done += piece, piece = piece % 130 + 1)
        MD5Update(&context, reinterpret_cast<const unsigned char*>(million.data()) + done,
                  static_cast<unsigned int>(std::min(piece, million.size() - done)));
    unsigned char digest[16];
    MD5Final(digest, &context);
    EXPECT_EQ(vtest::hex(digest, 16), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5, HmacOfRfc2202) {
    // Cases 1, 2 and 6 of RFC 2202: a key of 80 octets is hashed before use.
    const std::tuple<std::string, std::string, const char*> cases[] = {
        {std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
        {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"}};
    for (const auto& [key, text, digest] : cases)
        EXPECT_EQ(vtest::hex(vtest::hmac(key, text)), digest) << text;
}

}  // namespace

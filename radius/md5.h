// MD5 message digest (RFC 1321), the only cryptographic primitive RADIUS needs
// here: request authenticators, password hiding, CHAP responses and, keyed
// as HMAC-MD5 (RFC 2104), Message-Authenticator.
//
// Words are assembled octet by octet, so the digest is the same on any byte
// order. A context is plain data: keep one per thread.
#pragma once

#include <cstdint>

struct MD5_CTX {
    uint32_t state[4];   // A, B, C, D
    uint64_t count;      // octets hashed so far
    uint8_t buffer[64];  // the unfinished block
};

void MD5Init(MD5_CTX* context);
void MD5Update(MD5_CTX* context, const unsigned char* input, unsigned int inlen);
// Writes the 16-octet digest and wipes the context.
void MD5Final(unsigned char digest[16], MD5_CTX* context);

// The 16-octet digest of inlen octets of input, written to output.
void md5_calc(unsigned char* output, const unsigned char* input, unsigned int inlen);

// The 16-octet HMAC-MD5 of textlen octets of text under key (any length: a key
// longer than a block is hashed first), written to output.
void hmac_md5(unsigned char output[16], const unsigned char* text, unsigned int textlen,
              const unsigned char* key, unsigned int keylen);

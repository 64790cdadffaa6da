// OpenSSL's MD5, the benchmark's reference, in a file of its own: OpenSSL's
// MD5_CTX and ours share a name. The one-shot MD5() is deprecated in
// OpenSSL 3 but remains its plain, fastest form.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include <cstddef>

void openssl_md5(unsigned char* output, const unsigned char* input, size_t length) {
    MD5(input, length, output);
}

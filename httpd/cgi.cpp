// URL decoding, hexadecimal digits, and number and address texts.
#include "foundation/utils.h"
#include "httpd/httpd.h"

int cgiHexInt(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

static bool isHex(char c) { return cgiHexInt(c) != 0 || c == '0'; }

char cgiHexAsc(char high, char low) {
    if (!isHex(high) || !isHex(low)) return ' ';
    return static_cast<char>(cgiHexInt(high) * 16 + cgiHexInt(low));
}

char* cgiDecodeUrl(char* text) {
    char* out = text;
    for (const char* in = text; *in; ++out) {
        if (*in == '+') {
            *out = ' ';
            ++in;
        } else if (*in == '%' && in[1] && in[2]) {
            *out = cgiHexAsc(in[1], in[2]);
            in += 3;
        } else {
            *out = *in++;
        }
    }
    *out = '\0';
    return text;
}

int http_int2str(char* out, int n) { return int2str(out, n); }

int http_ipaddr2str(char* out, unsigned int address) { return ip2str(out, address); }

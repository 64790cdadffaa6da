// Requests from profiles, and profiles from replies.
//
// Each request built from a profile counts itself in the profile and gets a
// fresh set of substitution variables, so one profile yields a stream of
// distinct requests: rotating NAS ports from $counter10, new session ids from
// $sessionid, random names from $randaz5 and so on.
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "engine/random.h"
#include "engine/vantor.h"
#include "foundation/aa.h"
#include "foundation/utils.h"
#include "foundation/vnassert.h"

namespace {

char randomLetter(char first) { return static_cast<char>(first + vn_rand() % 26); }

void put(aaContext* vars, const char* name, const char* value) {
    // A variable that cannot be stored stays unsubstituted in the request,
    // which shows the problem where it happens.
    aaPut(vars, name, value, AA_DUPKEY | AA_DUPVAL);
}

void putNumber(aaContext* vars, const char* name, uint32_t value) {
    char text[kInt2strSize];
    uint2str(text, value);
    put(vars, name, text);
}

// The variables of one request, from the time t and the profile's counter c
// (already advanced). The random draws are made in a fixed order, so a seeded
// generator gives the same values every time.
void putVariables(aaContext* vars, uint32_t t, uint32_t c) {
    putNumber(vars, "timestamp", t);
    putNumber(vars, "counter", c);
    putNumber(vars, "counter2", c % 2 + 1);
    putNumber(vars, "counter3", c % 3 + 1);
    putNumber(vars, "counter10", c % 10 + 1);
    putNumber(vars, "counter100", c % 100 + 1);
    putNumber(vars, "counter1000", c % 1000 + 1);
    const char counteraz[2] = {static_cast<char>('A' + c % 26), '\0'};
    put(vars, "counteraz", counteraz);

    // randaz is the first letter of randaz5, which is the first half of randaz10.
    char letters[11] = {};
    for (int i = 0; i < 10; ++i) letters[i] = randomLetter('A');
    char randaz[2] = {letters[0], '\0'};
    char randaz5[6];
    std::snprintf(randaz5, sizeof randaz5, "%.5s", letters);
    put(vars, "randaz", randaz);
    put(vars, "randaz5", randaz5);
    put(vars, "randaz10", letters);

    const char capital = randomLetter('A');
    char small[4];
    for (int i = 0; i < 3; ++i) small[i] = randomLetter('a');
    small[3] = '\0';
    char sessionid[32];
    std::snprintf(sessionid, sizeof sessionid, "%u%c%u%s", t, capital, c % 100, small);
    put(vars, "sessionid", sessionid);

    int octets[4];
    for (int& octet : octets) octet = vn_rand() % 255;
    char randip[kIp2strSize];
    std::snprintf(randip, sizeof randip, "%d.%d.%d.%d", octets[0], octets[1], octets[2], octets[3]);
    put(vars, "randip", randip);
}

}  // namespace

VALUE_PAIR* vantor::profile2vp(const char* profname, aaContext* vars) {
    VN_ASSERT(profname != NULL);
    const uint32_t t = static_cast<uint32_t>(std::time(nullptr));
    aaContext* temporary = nullptr;
    if (!vars) {
        temporary = aaCreateContext(AA_ORDERED);
        if (!temporary) return nullptr;
        vars = temporary;
    }

    VALUE_PAIR* list = nullptr;
    {
        // The counter advances and the list is built under the lock, so two
        // requests built at once never share a counter value.
        std::lock_guard<std::mutex> guard(profiles_lock);
        auto* profile = static_cast<profile_rec*>(aaGet(profiles, profname));
        if (profile && profile->attributes) {
            putVariables(vars, t, ++profile->counter);
            void* value;
            aaScanBegin(profile->attributes, nullptr);
            while (aaScanNext(profile->attributes, &value)) {
                const auto* avp = static_cast<const avp_rec*>(value);
                char* text = keysub(avp->data, vars);
                // An attribute the dictionary lacks, or a text that is no
                // value of its type, is left out of the request.
                client->vp_append(list, avp->tag, avp->vendorid, avp->attributeid,
                                  text ? text : avp->data);
                std::free(text);
            }
            aaScanEnd(profile->attributes);
        }
    }
    aaDestroyContext(temporary);
    return list;
}

int vantor::vp2profile(const char* profname, VALUE_PAIR* pair) {
    VN_ASSERT(profname != NULL && pair != NULL);
    aaContext* form = aaCreateContext(AA_NOCASE | AA_ORDERED);
    if (!form) return -1;
    rset(form, "name", profname);
    rset(form, "attrname", "ident");
    int result = 0;
    for (const VALUE_PAIR* vp = pair; vp; vp = vp->next) {
        char vendorid[kInt2strSize];
        char attributeid[kInt2strSize];
        char tag[kInt2strSize];
        uint2str(vendorid, static_cast<uint32_t>(vp->vendor));
        uint2str(attributeid, static_cast<uint32_t>(vp->attribute));
        uint2str(tag, vp->tag);
        // Big enough for any number or address text; strings are referred to.
        char number[kIpv6addr2strSize] = "";
        const char* data = number;
        switch (vp->type) {
            case RA_TYPE_STRING:
            case RA_TYPE_TAG_STRING:
                data = vp->strvalue ? vp->strvalue : "";
                break;
            case RA_TYPE_INTEGER:
            case RA_TYPE_DATE:
            case RA_TYPE_TAG_INTEGER:
                uint2str(number, vp->lvalue);
                break;
            case RA_TYPE_IPADDR:
            case RA_TYPE_TAG_IPADDR:
                ip2str(number, vp->lvalue);
                break;
            case RA_TYPE_IPADDR6:
                ipv6addr2str(number, vp->ipv6);
                break;
            default:
                break;
        }
        int stored = rset(form, "vendorid", vendorid);
        if (stored == 0) stored = rset(form, "attributeid", attributeid);
        if (stored == 0) stored = rset(form, "tag", tag);
        if (stored == 0) stored = rset(form, "data", data);
        result += stored == 0 ? set_profile(form) : -1;
    }
    aaDestroyContext(form);
    return result;
}

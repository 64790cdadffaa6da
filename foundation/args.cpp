#include "foundation/aa.h"
#include "foundation/utils.h"

aaContext* arg2aa(int argc, const char* const* argv) {
    aaContext* options = aaCreateContext(0);
    if (!options) return nullptr;
    const char* open = nullptr;  // option still waiting for its value
    bool ok = true;
    for (int i = 1; i < argc && ok; ++i) {
        const char* arg = argv[i];
        if (arg[0] == '-') {
            if (open) ok = aaPut(options, open, "", AA_DUPKEY | AA_DUPVAL) >= 0;
            open = arg + 1;
        } else if (open) {
            ok = aaPut(options, open, arg, AA_DUPKEY | AA_DUPVAL) >= 0;
            open = nullptr;
        }
    }
    if (ok && open) ok = aaPut(options, open, "", AA_DUPKEY | AA_DUPVAL) >= 0;
    if (!ok) {
        aaDestroyContext(options);
        return nullptr;
    }
    return options;
}

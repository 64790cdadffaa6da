// The form widgets: each writes one two-cell table row for one settings key
// and shows the key's stored value, named so that wc_save can write the
// posted field straight back under the same key.
//
// Stored values can be long and hold any character, so they always go out
// through http_send/http_bsend; http_printf's fixed-size area is kept for
// the program's own names, labels and numbers.
#include <cstdlib>
#include <cstring>

#include "config/registry.h"
#include "config/strings.h"
#include "foundation/aa.h"
#include "foundation/ascii.h"
#include "webconfig/internal.h"

namespace {

const char* orEmpty(const char* text) { return text ? text : ""; }

// The stored text of a key while a widget is being written; null when the
// key has no value.
class StoredValue {
public:
    StoredValue(registry* reg, const char* key) { reg->get(key, text_); }
    ~StoredValue() { registry::freeval(text_); }
    StoredValue(const StoredValue&) = delete;
    StoredValue& operator=(const StoredValue&) = delete;
    const char* get() const { return text_; }

private:
    char* text_ = nullptr;
};

// A text made safe inside a quoted attribute or an element. When memory runs
// short the text is shown empty rather than unescaped, which could break the
// page's markup.
class Escaped {
public:
    explicit Escaped(const char* in) { ok_ = webconfigs::escapestring(orEmpty(in), text_) == 0; }
    ~Escaped() { std::free(text_); }
    Escaped(const Escaped&) = delete;
    Escaped& operator=(const Escaped&) = delete;
    bool ok() const { return ok_; }
    const char* text() const { return ok_ && text_ ? text_ : ""; }

private:
    char* text_ = nullptr;
    bool ok_ = false;
};

// Option values and texts may come from arrays the program filled from its
// data files, so they are sent piece by piece like stored values.
void sendOption(http_request* request, const char* value, bool selected, const char* shown) {
    http_send(request, "<OPTION VALUE=\"");
    http_send(request, orEmpty(value));
    http_send(request, selected ? "\" SELECTED>" : "\" >");
    http_send(request, orEmpty(shown));
}

void sendSelectHead(http_request* request, const char* name, const char* extra, const char* label) {
    http_printf(request, "<TR><TD>%s</TD><TD><SELECT NAME=\"%s\" %s>", orEmpty(label), name,
                orEmpty(extra));
}

// Without a stored value no option matches (get gives none for an empty one).
bool matches(const char* stored, const char* value) {
    return stored && value && ascii_equal_nocase(stored, value);
}

}  // namespace

int wc_link(wc_config* config, const char* heading, const char* const* labels) {
    wc_require(config);
    VN_ASSERT_TEXT(labels != nullptr, "labels != NULL");
    if (!labels[0]) return 0;
    http_request* request = config->request;
    webconfigs* owner = wc_owner(config);
    if (heading) {
        http_printf(request, "<B>%s</B><UL>", heading);
        for (const char* const* label = labels; *label; ++label) {
            const wc_page* page = owner->pageGet(*label);
            if (page) {
                http_printf(request, "<LI TYPE = SQUARE><A HREF =\"%s\">%s</A>", *label,
                            orEmpty(page->title));
            }
        }
        http_send(request, "</UL>");
        return 0;
    }
    http_send(request, "<FONT COLOR=#000000 SIZE=2>[");
    for (const char* const* label = labels; *label; ++label) {
        const wc_page* page = owner->pageGet(*label);
        // The separator looks only at whether another label follows, so a
        // bar may stand before an unregistered last label that shows nothing.
        if (page) {
            http_printf(request, "<A HREF=\"%s\">%s</A> %s ", *label, orEmpty(page->title),
                        label[1] ? "|" : "");
        }
    }
    http_send(request, "]</FONT>");
    return 0;
}

int wc_text(wc_config* config, const char* name, int rows, int cols, const char* label) {
    wc_require(config);
    http_request* request = config->request;
    if (label) {
        http_printf(request, "<TR><TD>%s</TD><TD><TEXTAREA NAME=\"%s\" ROWS=%d COLS=%d>", label,
                    name, rows, cols);
    } else {
        http_printf(request, "<TR><TD COLSPAN=2><TEXTAREA NAME=\"%s\" ROWS=%d COLS=%d>", name, rows,
                    cols);
    }
    StoredValue stored(config->reg, name);
    if (stored.get()) http_send(request, Escaped(stored.get()).text());
    http_send(request, "</TEXTAREA></TD>");
    return 0;
}

int wc_input(wc_config* config, const char* name, int type, int size, int maxlen,
             const char* label) {
    wc_require(config);
    http_request* request = config->request;
    const char* attributes = "";
    switch (type) {
        case 1:
            attributes = "onKeyPress=\"return onlynumbers(this,event)\"";
            break;
        case 3:
            // Only the administration password asks for a confirmation; keys
            // compare without case in the store, so they do here too.
            attributes = name && ascii_equal_nocase(name, "WCPassword")
                             ? "TYPE=PASSWORD onChange=pwcfrm(this)"
                             : "TYPE=PASSWORD";
            break;
        case 4:
            attributes = " DISABLED";
            break;
        default:
            break;
    }
    http_printf(request, "<TR><TD>%s</TD><TD><INPUT SIZE=%d MAXLEN=%d NAME=\"%s\" VALUE=\"",
                orEmpty(label), size, maxlen, name);
    if (type == 3) {
        // A stored password is never read into the page: the browser gets a
        // marker that wc_save skips when it comes back unchanged.
        http_send(request, "NOCHANGE");
    } else {
        StoredValue stored(config->reg, name);
        http_send(request, Escaped(stored.get()).text());
    }
    http_printf(request, "\" %s></TD>", attributes);
    if (type == 3) {
        http_printf(request, "<INPUT TYPE=HIDDEN NAME=\"%s~type\" VALUE=\"%s\">", name, "pw");
    }
    return 0;
}

int wc_select(wc_config* config, const char* name, const char* const* options, const char* extra,
              const char* label) {
    wc_require(config);
    VN_ASSERT_TEXT(name != nullptr && options != nullptr, "option != NULL && list != NULL");
    http_request* request = config->request;
    StoredValue stored(config->reg, name);
    sendSelectHead(request, name, extra, label);
    for (const char* const* pair = options; pair[0]; pair += 2) {
        sendOption(request, pair[0], matches(stored.get(), pair[0]), pair[1]);
        if (!pair[1]) break;
    }
    http_send(request, "</SELECT></TD>");
    return 0;
}

int wc_aaselect(wc_config* config, const char* name, aaContext* options, const char* extra,
                const char* label) {
    wc_require(config);
    VN_ASSERT_TEXT(name != nullptr && options != nullptr, "option != NULL && list != NULL");
    http_request* request = config->request;
    StoredValue stored(config->reg, name);
    sendSelectHead(request, name, extra, label);
    void* shown = nullptr;
    aaScanBegin(options, nullptr);
    while (const char* key = aaScanNext(options, &shown)) {
        // With nothing stored the empty-keyed option is the one in force.
        const bool selected = stored.get() ? matches(stored.get(), key) : *key == '\0';
        sendOption(request, key, selected, static_cast<const char*>(shown));
    }
    aaScanEnd(options);
    http_send(request, "</SELECT></TD>");
    return 0;
}

const char** wc_aalist(aaContext* options) {
    const size_t entries = options ? static_cast<size_t>(options->count) : 0;
    // The leading empty pair, the entries' pairs and a null pair at the end.
    auto* list = static_cast<const char**>(std::calloc(2 * entries + 4, sizeof(const char*)));
    if (!list) return nullptr;
    size_t at = 0;
    list[at++] = "";
    list[at++] = "";
    if (!options) return list;
    void* value = nullptr;
    aaScanBegin(options, nullptr);
    while (const char* key = aaScanNext(options, &value)) {
        list[at++] = key;
        // A null text would end wc_select's list early and hide the rest.
        list[at++] = value ? static_cast<const char*>(value) : "";
    }
    aaScanEnd(options);
    return list;
}

int wc_bit(wc_config* config, const char* name, const char* const* bits, const char* label) {
    wc_require(config);
    VN_ASSERT_TEXT(name != nullptr && bits != nullptr, "option != NULL && list != NULL");
    http_request* request = config->request;
    int stored = 0;
    config->reg->get(name, stored);
    http_printf(request, "<TR><TD>%s</TD><TD><TABLE BORDER=0 CELLPADDING=3>", orEmpty(label));
    // Posted with the form whatever the boxes say, so that a group with every
    // box off still stores 0.
    http_printf(request, "<INPUT TYPE=HIDDEN NAME=\"%s!0\" VALUE=on>", name);
    for (const char* const* pair = bits; pair[0]; pair += 2) {
        const int bit = std::atoi(pair[0]);
        http_printf(request, "<TR><TD ><INPUT NAME=\"%s!%d\" TYPE=CHECKBOX %s></TD><TD>%s</TD>",
                    name, bit, (bit & stored) != 0 ? "CHECKED" : "", orEmpty(pair[1]));
        if (!pair[1]) break;
    }
    http_send(request, "</TABLE></TD>");
    return 0;
}

int wc_list(wc_config* config, const char* name, const char* label, const char* const* choices,
            bool updown) {
    wc_require(config);
    VN_ASSERT_TEXT(name != nullptr, "option != NULL");
    http_request* request = config->request;
    const char* add = wc_owner(config)->str->get(-96, "Add");
    StoredValue stored(config->reg, name);
    const Escaped value(stored.get());

    http_printf(request,
                "<TR><TD>%s</TD><TD><TABLE><TD ALIGN=RIGHT><SELECT NAME=%s_list size=10 WIDTH=25 "
                "onChange=listRend(this,'%s')>",
                orEmpty(label), name, name);
    // Items are stored each after one space; runs of spaces hold no item.
    for (const char* item = value.text(); *item;) {
        const size_t length = std::strcspn(item, " ");
        if (length > 0) {
            http_send(request, "<OPTION>");
            http_bsend(request, item, static_cast<int>(length));
        }
        item += length;
        if (*item) ++item;
    }
    http_send(request, "</SELECT></TD><TD ALIGN=LEFT>");
    if (updown) {
        http_printf(request,
                    "<INPUT TYPE=BUTTON VALUE=Up onClick=moveUp(this,'%s')><BR><INPUT TYPE=BUTTON "
                    "VALUE=Down onClick=moveDown(this,'%s')><P>",
                    name, name);
    }
    http_printf(request, "<INPUT TYPE=BUTTON VALUE=Delete onClick=listNoAdd(this,'%s')>", name);
    // The hidden field is what is posted; the browser keeps it equal to the
    // selection's items as they are added, deleted and moved.
    http_printf(request, "<INPUT TYPE=HIDDEN NAME=%s VALUE=\"", name);
    http_send(request, value.text());
    http_send(request, "\"></TD><TR>");
    if (choices) {
        http_printf(request, "<TD><SELECT NAME=\"%s_add\">", name);
        for (const char* const* choice = choices; *choice; ++choice) {
            http_send(request, "<OPTION>");
            http_send(request, *choice);
        }
        http_printf(request,
                    "</SELECT></TD><TD><INPUT TYPE=BUTTON VALUE=\"%s\" "
                    "onClick=listAdd(this,'%s',this.form.elements['%s_add'].options[this.form."
                    "elements['%s_add'].selectedIndex].text)></TD>",
                    add, name, name, name);
    } else {
        // Items are separated by spaces, so the text box refuses the space key.
        http_printf(request,
                    "<TD ALIGN=RIGHT><INPUT SIZE=17 NAME=\"%s_add\" onKeyPress = "
                    "\"if(event.which==32)return false; else true;\"></TD><TD><INPUT TYPE=BUTTON "
                    "VALUE=\"%s\" onClick=listAdd(this,'%s',this.form.elements['%s_add'].value)></"
                    "TD>",
                    name, add, name, name);
    }
    http_send(request, "</TABLE></TD>");
    return value.ok() ? 0 : -1;
}

int wc_hidden(wc_config* config, const char* name, const char* value) {
    wc_require(config);
    VN_ASSERT_TEXT(name != nullptr && value != nullptr, "key != NULL && value != NULL");
    http_request* request = config->request;
    http_send(request, "<INPUT TYPE=HIDDEN NAME=\"");
    http_send(request, Escaped(name).text());
    http_send(request, "\" VALUE=\"");
    http_send(request, Escaped(value).text());
    http_send(request, "\">");
    return 0;
}

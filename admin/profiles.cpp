// The request profile list, its editor, and each profile's attribute list and
// attribute editor. Edit forms post to their list, which hands the fields to
// the engine's set_profile before showing the list again.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "admin/internal.h"
#include "config/registry.h"
#include "engine/dates.h"
#include "engine/vantor.h"
#include "foundation/aa.h"
#include "foundation/utils.h"

namespace {

constexpr const char* kListHead =
    "<TD COLSPAN=2><TABLE CLASS=LIST WIDTH=100% CELLSPACING=1 CELLPADDING=4>";

// The value of a text made only of decimal digits; false for anything else
// (a "$variable", a date text, a number too large to hold).
bool decimal(const char* text, unsigned long long& value) {
    if (!*text || std::strspn(text, "0123456789") != std::strlen(text)) return false;
    errno = 0;
    value = std::strtoull(text, nullptr, 10);
    return errno != ERANGE;
}

// Option lists for wc_select own their texts here; pointers are taken once
// every option is in.
class Options {
public:
    void add(uint32_t value, const char* shown) {
        texts_.push_back(std::to_string(value));
        texts_.emplace_back(shown);
    }
    bool empty() const { return texts_.empty(); }
    const char* const* list() {
        pointers_.clear();
        for (const std::string& text : texts_) pointers_.push_back(text.c_str());
        pointers_.push_back(nullptr);
        return pointers_.data();
    }

private:
    std::vector<std::string> texts_;
    std::vector<const char*> pointers_;
};

const char* roleName(int32_t role) {
    if (role == PROFILE_AUTH) return "Authentication";
    if (role == PROFILE_ACCT) return "Accounting";
    if (role == PROFILE_STATUS) return "Status-Server";
    return "Unknown";
}

const char* methodName(int32_t method) {
    if (method == RA_AUTH_PAP) return "PAP";
    if (method == RA_AUTH_CHAP) return "CHAP";
    return "Unknown";
}

struct ProfileRow {
    std::string name;
    int32_t role;
    int32_t authmethod;
};

struct AttributeRow {
    std::string ident;
    avp_rec avp;
};

// The lists are copied under the profiles lock and written after it: the
// monitors and the test page build their requests under that lock, and a
// slow browser must not hold them up.
std::vector<ProfileRow> profileRows(vantor& engine) {
    return table_rows<ProfileRow>(engine.profiles_lock, engine.profiles,
                                  [](const char* name, void* value) {
                                      const auto* profile = static_cast<profile_rec*>(value);
                                      return ProfileRow{name, profile->role, profile->authmethod};
                                  });
}

std::vector<AttributeRow> attributeRows(vantor& engine, const char* profname) {
    std::vector<AttributeRow> rows;
    std::lock_guard<std::mutex> guard(engine.profiles_lock);
    const auto* profile = static_cast<const profile_rec*>(aaGet(engine.profiles, profname));
    if (!profile) return rows;
    void* value;
    aaScanBegin(profile->attributes, nullptr);
    while (const char* ident = aaScanNext(profile->attributes, &value)) {
        rows.push_back({ident, *static_cast<const avp_rec*>(value)});
    }
    aaScanEnd(profile->attributes);
    return rows;
}

// Shows an existing record's name as text and carries it in a hidden field:
// a record is renamed by adding a new one, never by editing the name.
void nameRow(wc_config* config, const char* label, const char* name) {
    http_printf(config->request, "<TD>%s</TD><TD><B>", label);
    http_send(config->request, name);
    http_send(config->request, "</B></TD>");
    wc_hidden(config, "name", name);
}

// The date text of a number of seconds in the engine's format; empty when it
// has no calendar form.
std::string dateText(vantor& engine, unsigned long long seconds) {
    char buffer[kTime2stringSize];
    const char* text = time2string(static_cast<long>(seconds), buffer, engine.dateformat,
                                   static_cast<char>(engine.datesep.load()), true);
    return text ? text : "";
}

// What the list shows of an attribute's data: the name of a named value, a
// date text for a date attribute holding seconds, else the text as stored.
void sendData(http_request* request, vantor& engine, const DICT_ATTR& known, const char* data) {
    unsigned long long number;
    if (decimal(data, number)) {
        if (number <= UINT32_MAX) {
            const DICT_VALUE* named = engine.client->value_get(
                known.vendor, known.attr, static_cast<int32_t>(static_cast<uint32_t>(number)));
            if (named) {
                http_send(request, named->name);
                return;
            }
        }
        if (known.type == RA_TYPE_DATE && number > 1000) {
            const std::string date = dateText(engine, number);
            if (!date.empty()) {
                http_send(request, date.c_str());
                return;
            }
        }
    }
    http_send(request, data);
}

// The link opening of an attribute entry: location, the entry name cut to 15
// characters (encoded, since idents read from a file may hold anything), then
// the profile name.
void attributeLink(wc_config* config, const char* location, const std::string& ident,
                   const char* profname, const char* confirm) {
    char* encoded = urlencode(ident.substr(0, 15).c_str());
    if (!encoded) return;
    const std::string target = std::string(location) + "attrname=" + encoded + "&name=";
    std::free(encoded);
    vantor_link(config, target.c_str(), profname, confirm);
}

// The data field for the attribute's type; dates are edited as date texts.
void dataField(wc_config* config, vantor& engine, const DICT_ATTR& attribute) {
    switch (attribute.type) {
        case RA_TYPE_STRING:
        case RA_TYPE_TAG_STRING:
            wc_input(config, "data", 2, 45, 255, "String");
            break;
        case RA_TYPE_INTEGER:
        case RA_TYPE_TAG_INTEGER:
            if (attribute.values) {
                Options values;
                for (const DICT_VALUE* v = attribute.values; v; v = v->next) {
                    values.add(static_cast<uint32_t>(v->value), v->name);
                }
                wc_select(config, "data", values.list(), nullptr, "Value");
            } else {
                wc_input(config, "data", 2, 16, 64, "Number");
            }
            break;
        case RA_TYPE_IPADDR:
        case RA_TYPE_TAG_IPADDR:
            wc_input(config, "data", 2, 16, 64, "IP Address");
            break;
        case RA_TYPE_DATE: {
            const std::string stored = stored_text(config->reg, "data");
            unsigned long long seconds;
            if (decimal(stored.c_str(), seconds)) {
                // A time of 0 means none was given: the field starts empty.
                const std::string date = seconds ? dateText(engine, seconds) : "";
                if (!seconds || !date.empty()) config->reg->set("data", date.c_str());
            }
            wc_input(config, "data", 2, 32, 64, "Date");
            break;
        }
        case RA_TYPE_IPADDR6:
            wc_input(config, "data", 2, 40, 64, "IPv6 Address");
            break;
        default:
            break;
    }
}

// The vendor and attribute selections and the fields of the chosen
// attribute. When the chosen vendor lacks the chosen attribute number, the
// browser is asked to reload the editor on the vendor's first attribute.
void attributeFields(wc_config* config, vantor& engine) {
    wc_default(config, "vendorid", "0");
    wc_default(config, "attributeid", "1");
    int vendorid = 0;
    int attributeid = 1;
    config->reg->get("vendorid", vendorid);
    config->reg->get("attributeid", attributeid);

    Options vendors;
    Options attributes;
    for (const DICT_VENDOR* vendor = engine.client->vendor_get(); vendor; vendor = vendor->next) {
        vendors.add(static_cast<uint32_t>(vendor->id), vendor->name);
        if (vendor->id != vendorid) continue;
        for (const DICT_ATTR* a = vendor->attributes; a; a = a->next) {
            attributes.add(static_cast<uint32_t>(a->attr), a->name);
        }
    }
    wc_select(config, "vendorid", vendors.list(), "onChange=reconfig();", "RADIUS Vendor");
    wc_select(config, "attributeid", attributes.list(), "onChange=reconfig();", "RADIUS Attribute");

    const DICT_ATTR* attribute = engine.client->attr_get(vendorid, attributeid);
    if (!attribute) {
        if (!attributes.empty()) http_send(config->request, "<SCRIPT>reconfig();</SCRIPT>");
        return;
    }
    dataField(config, engine, *attribute);
    if (attribute->type >= RA_TYPE_TAG_STRING && attribute->type <= RA_TYPE_TAG_DATE) {
        wc_input(config, "tag", 1, 5, 5, "Tag value");
    }
}

}  // namespace

int vantor_profiles(wc_config* config) {
    admin_require(config);
    http_request* request = config->request;
    vantor* engine = engine_page(config, "profiles_edit", false);
    if (!engine) return 0;
    if (request->form && http_get(request->form, "name")) engine->set_profile(request->form);

    http_send(request, kListHead);
    http_send(request, "<TR><TH COLSPAN=2>Profile name</TH><TH>Role</TH><TH>Auth method</TH>");
    for (const ProfileRow& row : profileRows(*engine)) {
        const char* name = row.name.c_str();
        http_send(request, "<TR BGCOLOR=#cacaff><TD>");
        vantor_link(config, "profiles?action=delete&name=", name, "Confirm Delete?");
        http_send(request, "<FONT COLOR=#ff0000><B>X</B></FONT></A></TD><TD>");
        vantor_link(config, "profiles_edit?name=", name, nullptr);
        http_send(request, name);
        http_send(request, "</A> | ");
        vantor_link(config, "attributes?name=", name, nullptr);
        http_printf(request, "Attributes</A></TD><TD>%s</TD><TD>%s</TD>", roleName(row.role),
                    methodName(row.authmethod));
    }
    http_send(request, "</TD></TABLE>");
    vantor_footer(config, false);
    return 0;
}

int vantor_profiles_edit(wc_config* config) {
    admin_require(config);
    http_request* request = config->request;
    VN_ASSERT_TEXT(request->form != nullptr, "form != NULL");
    vantor* engine = engine_page(config, "profiles", true);
    if (!engine) return 0;
    {
        RecordStore record(config);
        const char* name = http_get(request->form, "name");
        if (name) engine->get_profile(record.store(), name, http_get(request->form, "attrname"));
        // get_profile writes the role of every profile it finds.
        if (name && !stored_text(record.store(), "role").empty()) {
            nameRow(config, "Profile name", name);
        } else {
            wc_input(config, "name", 2, 20, 64, "Profile name");
        }
        static const char* const kRoles[] = {"1", "Authentication", "2",    "Accounting",
                                             "3", "Status-Server",  nullptr};
        static const char* const kMethods[] = {"1", "PAP", "2", "CHAP", nullptr};
        wc_select(config, "role", kRoles, nullptr, "Role");
        wc_select(config, "authmethod", kMethods, nullptr, "Auth Method");
    }
    vantor_footer(config, true);
    return 0;
}

int vantor_attributes(wc_config* config) {
    admin_require(config);
    http_request* request = config->request;
    vantor_header(config, "attributes_edit");
    vantor* engine = vantor_context(config);
    const char* profname = request->form ? http_get(request->form, "name") : nullptr;
    if (!engine) {
        http_send(request, kNotStarted);
    } else if (profname) {
        engine->set_profile(request->form);
        http_send(request, kListHead);
        http_send(request, "<TR><TD BGCOLOR=#ffffff COLSPAN=5>[");
        vantor_link(config, "attributes_edit?attrname=ident&name=", profname, nullptr);
        http_send(request,
                  "New attribute</A>]</TD><TR><TH COLSPAN=2>ID</TH><TH>Vendor</TH><TH>Attribute</"
                  "TH><TH>Data</TH>");
        for (const AttributeRow& row : attributeRows(*engine, profname)) {
            const avp_rec& avp = row.avp;
            http_send(request, "<TR BGCOLOR=#cacaff><TD>");
            attributeLink(config, "attributes?action=delete&", row.ident, profname,
                          "Confirm Delete?");
            http_send(request, "<FONT COLOR=#ff0000><B>X</B></FONT></A></TD><TD>");
            attributeLink(config, "attributes_edit?&", row.ident, profname, nullptr);
            http_send(request, row.ident.c_str());
            http_send(request, "</A></TD><TD>");
            const DICT_VENDOR* vendor = engine->client->vendor_get(avp.vendorid);
            if (vendor) {
                http_send(request, vendor->name);
            } else {
                http_printf(request, "%u", static_cast<uint32_t>(avp.vendorid));
            }
            http_send(request, "</TD><TD>");
            const DICT_ATTR* known = engine->client->attr_get(avp.vendorid, avp.attributeid);
            if (known) {
                http_send(request, known->name);
            } else {
                http_printf(request, "%u", static_cast<uint32_t>(avp.attributeid));
            }
            http_send(request, "</TD><TD>");
            if (avp.tag) http_printf(request, "<B>[%d]</B> ", avp.tag);
            if (known) sendData(request, *engine, *known, avp.data);
            http_send(request, "</TD>");
        }
        http_send(request, "</TD></TABLE>");
    }
    vantor_footer(config, false);
    return 0;
}

int vantor_attributes_edit(wc_config* config) {
    admin_require(config);
    http_request* request = config->request;
    aaContext* form = request->form;
    VN_ASSERT_TEXT(form != nullptr, "form != NULL");
    vantor* engine = engine_page(config, "attributes", true);
    if (!engine) return 0;
    const char* name = http_get(form, "name");
    const char* attrname = http_get(form, "attrname");
    if (name) wc_hidden(config, "name", name);
    if (attrname) wc_hidden(config, "attrname", attrname);
    {
        RecordStore record(config);
        if (name) engine->get_profile(record.store(), name, attrname);
        // A form sent back by reconfig() keeps what the administrator chose.
        void* value;
        aaScanBegin(form, nullptr);
        while (const char* key = aaScanNext(form, &value)) {
            record.store()->set(key, static_cast<const char*>(value));
        }
        aaScanEnd(form);
        if (name && attrname) {
            http_send(request,
                      "<SCRIPT>function reconfig() "
                      "{document.forms[0].action='attributes_edit';document.forms[0].submit();}</"
                      "SCRIPT>");
            attributeFields(config, *engine);
        }
    }
    vantor_footer(config, true);
    return 0;
}

// radclient: the RADIUS client. It holds the dictionary (vendors, their
// attributes and the named values of attributes), builds attribute-value lists
// with it, keeps the table of RADIUS servers and runs request transactions
// against them over UDP.
//
// The dictionary is filled at construction (the built-in table) and at
// start-up (a dictionary file), and only read afterwards, by any number of
// threads without a lock. The error text is one slot per object with no lock:
// it explains the last failed start-up operation (msg()).
//
// Operations return 0 for success and -1 (or another small negative code) for
// failure. Null names and negative ids where the contract forbids them are
// programming errors and stop the program through VN_ASSERT.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>

// Data-type codes of attributes. Codes 6 to 9 have no keyword: the encoder
// leaves them out and the decoder reports them as unknown.
constexpr int32_t RA_TYPE_STRING = 0;        // "string", "abinary": octets as given
constexpr int32_t RA_TYPE_INTEGER = 1;       // "int", "integer", "number": 4 octets
constexpr int32_t RA_TYPE_IPADDR = 2;        // "ipaddr": 4 octets, network order
constexpr int32_t RA_TYPE_DATE = 3;          // "date": seconds, sent like an integer
constexpr int32_t RA_TYPE_RECV_STRING = 4;   // no keyword: decoded like a string, never sent
constexpr int32_t RA_TYPE_IPADDR6 = 5;       // "ipaddr6": 16 octets
constexpr int32_t RA_TYPE_TAG_STRING = 10;   // "tag_string": tag octet, then the string
constexpr int32_t RA_TYPE_TAG_INTEGER = 11;  // "tag_integer": tag octet, low 24 bits
constexpr int32_t RA_TYPE_TAG_IPADDR = 12;   // "tag_ipaddr": tag octet, low 24 bits
constexpr int32_t RA_TYPE_TAG_DATE = 13;     // "tag_date": known here, never sent or decoded

// Names in the dictionary hold at most this many characters; longer ones are cut.
constexpr int kDictNameLength = 80;

// A named value of an integer attribute. Newest first in its list.
struct DICT_VALUE {
    char name[kDictNameLength + 1];
    int32_t value;
    DICT_VALUE* next;
};

// An attribute of one vendor. Numbers are not unique: a redefinition adds a
// second entry, and lookups by number keep finding the first.
struct DICT_ATTR {
    char name[kDictNameLength + 1];
    int32_t vendor;  // id of the vendor it was added under
    int32_t attr;
    int32_t type;  // RA_TYPE_*
    DICT_VALUE* values;
    DICT_ATTR* next;
};

// A vendor with its attributes, in the order added. Two entries may share an
// id; lookups by id then walk both, in list order.
struct DICT_VENDOR {
    char name[kDictNameLength + 1];
    int32_t id;  // 0 is the standard attribute space
    DICT_ATTR* attributes;
    DICT_VENDOR* next;
};

// One attribute of a request or reply. A list is a pointer to its first pair
// and owns every pair; each pair owns its name and strvalue (malloc'd).
struct VALUE_PAIR {
    char* name;      // dictionary name on decoded pairs; null on pairs built from text or numbers
    int32_t vendor;  // 0 for the standard space
    int32_t attribute;
    int32_t type;     // RA_TYPE_*
    uint32_t lvalue;  // numeric and address values; an IPv4 address has its first octet on top
    int32_t length;   // value octets: 4 for numbers, 16 for ipaddr6, else those of strvalue
    char* strvalue;   // length octets and a terminating zero, or null
    uint8_t tag;      // 0 when untagged
    VALUE_PAIR* next;
    uint8_t ipv6[16];  // the address of an ipaddr6 value
};

// RADIUS packets. Every multi-octet number on the wire is in network order.

// Packets are built in, and received into, buffers of this many octets.
constexpr int kRadiusPacketSize = 4096;

// Packet codes.
constexpr uint8_t RA_CODE_ACCESS_REQUEST = 1;
constexpr uint8_t RA_CODE_ACCESS_ACCEPT = 2;
constexpr uint8_t RA_CODE_ACCESS_REJECT = 3;
constexpr uint8_t RA_CODE_ACCOUNTING_REQUEST = 4;
constexpr uint8_t RA_CODE_ACCOUNTING_RESPONSE = 5;
constexpr uint8_t RA_CODE_STATUS_SERVER = 12;
constexpr uint8_t RA_CODE_DISCONNECT_REQUEST = 40;
constexpr uint8_t RA_CODE_DISCONNECT_ACK = 41;
constexpr uint8_t RA_CODE_DISCONNECT_NAK = 42;

// The packet header; the attribute octets follow it in the same buffer.
struct pw_auth_hdr {
    uint8_t code;
    uint8_t id;
    uint8_t length[2];   // the whole packet, header included, network order
    uint8_t vector[16];  // the authenticator
};
static_assert(sizeof(pw_auth_hdr) == 20, "the header is 20 octets on the wire");

// Transaction results.
constexpr int32_t RA_RET_ERR = -1;     // nothing sent, socket or wait failure, bad reply
constexpr int32_t RA_RET_NAK = 0;      // Access-Reject or Disconnect-NAK
constexpr int32_t RA_RET_ACK = 1;      // Access-Accept, Accounting-Response, Disconnect-ACK
constexpr int32_t RA_RET_TIMEOUT = 2;  // no reply on any send

// Server roles, a bit set on a server entry and one of them on a request.
constexpr int32_t RA_ROLE_AUTH = 1;
constexpr int32_t RA_ROLE_ACCT = 2;
constexpr int32_t RA_ROLE_DISCONNECT = 4;

// Authentication methods.
constexpr int32_t RA_AUTH_PAP = 1;
constexpr int32_t RA_AUTH_CHAP = 2;

// Size of a transaction's diagnostic text, terminating zero included.
constexpr int kRadiusMessageSize = 512;

// One entry of the server table, with its running statistics.
struct RA_SERVER {
    std::atomic<uint32_t> address;  // IPv4, first octet on top; 0 while not yet resolved
    char* server;                   // host name or dotted address as configured (owned)
    uint16_t auth_port;             // 0 = the default port
    uint16_t acct_port;             // 0 = the default port
    uint16_t disconnect_port;       // 0 = the default port
    char* secret;                   // shared secret (owned)
    int32_t role;                   // RA_ROLE_* bits
    int32_t retries;                // re-sends allowed after the first send
    int32_t timeout;                // seconds to wait for each reply
    // Statistics, updated by concurrent transactions without the table lock.
    std::atomic<int32_t> unanswered;   // consecutive requests without a reply
    std::atomic<time_t> last_reply;    // wall clock of the last reply, 0 before any
    std::atomic<time_t> last_request;  // wall clock of the last send, 0 before any
    std::atomic<int32_t> sent;
    std::atomic<int32_t> accepts;
    std::atomic<int32_t> rejects;
    // Datagrams that reply verification turned away (see RA_OPTIONS).
    std::atomic<int32_t> ignored;
    // Identifier of the last request. Concurrent requests to one server
    // count it up together, so it is atomic; 255 wraps to 0.
    std::atomic<uint8_t> identifier;
    RA_SERVER* next;
};

// The working record of one transaction.
struct RA_PARMS {
    const char* user;                  // User-Name to send, or null
    const char* password;              // PAP password, or the CHAP password to answer with
    const char* chap_pw;               // caller's 16-octet CHAP response, or null
    const char* chap_challenge;        // caller's CHAP challenge text, or null
    uint8_t chap_id;                   // caller's CHAP identifier
    int32_t method;                    // RA_AUTH_PAP or RA_AUTH_CHAP
    int32_t role;                      // one RA_ROLE_*
    const VALUE_PAIR* request;         // attributes to send (the caller's)
    VALUE_PAIR* reply;                 // attributes received (the record's until handed on)
    RA_SERVER* server;                 // server used
    int32_t response_time;             // milliseconds of the last wait
    int32_t result;                    // RA_RET_*
    int32_t tries;                     // sends so far
    char message[kRadiusMessageSize];  // diagnostic text, empty when none
    bool status;      // a Status-Server instead of an Access-Request (role RA_ROLE_AUTH)
    int32_t ignored;  // datagrams that reply verification turned away
};

// Request security, off by default: requests and replies exactly as they
// have always been. The settings vnmsgauth, vnverifyreply and vnrequiremsgauth.
struct RA_OPTIONS {
    // Every Access-Request carries Message-Authenticator as its first
    // attribute (a Status-Server always does).
    bool msgauth = false;
    // A datagram is the reply only when its identifier is the request's and
    // its Response Authenticator (and a Message-Authenticator it carries)
    // verifies with the secret; anything else is ignored and counted while
    // the wait goes on. Each thread then keeps one socket per server.
    bool verifyreply = false;
    // With verifyreply: a reply to an Access-Request or Status-Server must
    // carry a valid Message-Authenticator.
    bool requiremsgauth = false;
};

// What a request operation returns; released with radclient::noresponse.
struct RA_RESPONSE {
    int32_t result;         // RA_RET_*
    VALUE_PAIR* reply;      // reply attributes, owned by the response
    char* message;          // copy of the diagnostic text, null when there was none
    int32_t response_time;  // milliseconds
};

class radclient {
public:
    // Loads the built-in dictionary; throws std::runtime_error("Out of memory
    // loading standard attributes") when it cannot.
    radclient();
    ~radclient();
    radclient(const radclient&) = delete;
    radclient& operator=(const radclient&) = delete;

    // Dictionary. Mind the argument order: it differs between operations.

    // Appends a vendor; -1 when memory runs out (error text cleared).
    int vendor_add(const char* name, int id);
    // The first vendor entry (to list the dictionary), or null.
    const DICT_VENDOR* vendor_get() const;
    // The first vendor entry with that id, or null.
    const DICT_VENDOR* vendor_get(int id) const;
    // The id for a name or number text: a non-zero leading number as atoi reads
    // it, 0 for a text beginning with "0", else the first vendor whose name
    // matches without regard to case; -1 when none does.
    int vendor_get(const char* vendor) const;

    // Adds the attribute to every vendor entry with that id. -1 with "No
    // matching vendor definitions found.  First call vendor_add()" when there
    // is none, -1 with the text cleared when memory runs out.
    int dict_add(const char* name, int attr, int vendor, int type);
    // The first attribute with that number, over every vendor entry with that id.
    const DICT_ATTR* dict_get(int attr, int vendor) const;
    const DICT_ATTR* attr_get(int vendor, int attr) const;
    // By name or number text: "0..." is number 0, a positive atoi result is a
    // number, anything else is a name only. The first attribute, in list order,
    // whose number equals the number or whose name matches without regard to case.
    const DICT_ATTR* dict_get(const char* attribute, int vendor) const;
    const DICT_ATTR* attr_get(int vendor, const char* attribute) const;
    // The type code of a keyword (any case) or of a number text; -1 when unknown.
    static int type_get(const char* name);

    // Puts a named value at the head of the attribute's list; -1 with "AttributeID:
    // %d VendorID: %d not found adding %s=%d" when the attribute is unknown.
    int value_add(const char* name, int value, int attr, int vendor);
    // The newest value entry with that number, or null.
    const DICT_VALUE* value_get(int vendor, int attr, int value) const;
    // The value of the newest entry whose name matches (any case), or -1.
    int value_get(int vendor, int attr, const char* name) const;

    // Loads a dictionary file: 0 when every line was taken, -1 when any was
    // rejected (the rest still loaded; msg() holds the first rejection), -2
    // when the file cannot be opened.
    int dict_add(const char* file);
    // Releases every vendor, attribute and value; the dictionary is then empty.
    void nodict();
    // The name of an EAP method, "N/A" for numbers without one.
    static const char* eap_type2str(int type);

    // The error text: setmsg stores a private copy (null clears it); msg()
    // returns it or null. Callers copy it if they keep it.
    void setmsg(const char* text);
    const char* msg() const;

    // Attribute-value lists. Each vp_append returns 0, or -1 with the list
    // unchanged. Pairs always go to the tail.

    // Every field from the arguments, no dictionary check. For ipaddr6, data
    // points to 16 octets; otherwise length octets of data are copied when data
    // is given and length is at least 1.
    static int vp_append(VALUE_PAIR*& list, const char* name, int tag, int vendor, int attr,
                         int type, uint32_t lvalue, int length, const char* data);
    static int vp_append(VALUE_PAIR*& list, const char* name, int vendor, int attr, int type,
                         uint32_t lvalue, int length, const char* data);
    // A text converted by the attribute's dictionary type: a decimal number
    // (atol rules) for integer and date types, an address through get_ip for
    // ipaddr types, an IPv6 text for ipaddr6, the text itself otherwise.
    int vp_append(VALUE_PAIR*& list, int tag, int vendor, int attr, const char* data) const;
    int vp_append(VALUE_PAIR*& list, int vendor, int attr, const char* data) const;
    // A number: the value itself for numeric and address types, its decimal
    // text for string types, -1 for ipaddr6. (Pass an unsigned literal for 0:
    // a plain 0 could also be a null text.)
    int vp_append(VALUE_PAIR*& list, int tag, int vendor, int attr, uint32_t value) const;
    int vp_append(VALUE_PAIR*& list, int vendor, int attr, uint32_t value) const;
    // Raw value octets; -1 for integer, ipaddr, date and ipaddr6 attributes.
    int vp_append(VALUE_PAIR*& list, int vendor, int attr, const char* data, int length) const;

    // The first pair with that vendor and attribute, or null (list may be null).
    static VALUE_PAIR* vp_get(VALUE_PAIR* list, int vendor, int attr);
    // 1 with its lvalue, or 0 with value 0.
    static int vp_get(VALUE_PAIR* list, int vendor, int attr, uint32_t& value);
    // 1 with its strvalue (a pointer into the pair, maybe null), or 0 with null.
    static int vp_get(VALUE_PAIR* list, int vendor, int attr, char*& value);
    // Releases vp and every pair after it. Release lists from their head only.
    static void pairfree(VALUE_PAIR* vp);
    // The IPv4 address of host, first octet on top: dotted-quad text directly,
    // anything else (255.255.255.255 included) through the system resolver;
    // 0 when that fails. May block.
    static uint32_t get_ip(const char* host);

    // Packet encoding.

    // Appends the encoding of every pair of vps, in list order, at pos,
    // advancing pos and adding the octets written to total. pos must point at
    // offset total of a packet buffer of capacity octets. Pairs of types
    // without a wire layout are left out. Returns 0; -1 when a pair would not
    // fit, after encoding the ones before it (the packet is then unusable).
    int radius_encode(const VALUE_PAIR* vps, unsigned char*& pos, int& total,
                      int capacity = kRadiusPacketSize) const;
    // Fills 16 octets with a request authenticator from the C library's rand()
    // (seeded at start-up).
    static void random_vector(unsigned char* vector);
    // Assembles the request packet of transaction rp for server entry server
    // into packet (kRadiusPacketSize octets): header, the server's next
    // identifier, User-Name, rp's request list, the credentials of an
    // authentication request, and the accounting or disconnect authenticator.
    // Returns the packet length; -1 with rp's message set when the attributes
    // do not fit in a packet. Missing credentials are programming errors.
    int build_request(RA_PARMS* rp, RA_SERVER* server, unsigned char* packet) const;

    // Reply decoding. Diagnostics go to rp's message; each one replaces the
    // one before, so the last problem found is reported.

    // The transaction result of a received packet for rp's role, with its
    // attributes decoded into reply (handed back in every case). addr, the
    // sender, is not used. Only the received octets are read, whatever the
    // header's length field says.
    int result_recv(RA_PARMS* rp, unsigned long addr, const unsigned char* packet, size_t received,
                    VALUE_PAIR*& reply) const;
    // Whether received octets of reply answer request (the packet as sent),
    // proved with the secret: null when they do, else why not: "short
    // packet", "wrong identifier", "bad length" (the length field is below a
    // header or beyond what arrived), "bad Response Authenticator", "bad
    // Message-Authenticator" (whenever one is there) or, when require_msgauth
    // is set and request is an Access-Request or Status-Server, "no
    // Message-Authenticator". received is at most kRadiusPacketSize.
    static const char* verify_reply(const unsigned char* request, const unsigned char* reply,
                                    size_t received, const char* secret, bool require_msgauth);
    // Decodes the attributes of a packet of received octets into a new list:
    // 0, or -1 when an attribute length makes the packet unreadable (the pairs
    // before it stay in the list). Decoding stops at the header's length or
    // at the received octets, whichever comes first.
    int get_auth(RA_PARMS* rp, const pw_auth_hdr* packet, size_t received,
                 VALUE_PAIR*& reply) const;
    // Decodes an attribute section given as hexadecimal text (letters and
    // digits are taken in pairs, anything else is ignored; at most
    // kDecodeCapacity octets, the rest is cut). msg receives a new heap copy
    // of the decoding message ("" when none); the caller frees it and releases
    // the list with pairfree. Returns 0; -1 with msg null when memory runs out
    // for the message.
    int vp_decode(const char* hex, VALUE_PAIR*& reply, char*& msg) const;
    // The octet of two lower-case hexadecimal digits; 0 when either is not one.
    static unsigned char hex2char(const char* two);

    // The attribute octets of a maximal packet: what vp_decode accepts.
    static constexpr int kDecodeCapacity = kRadiusPacketSize - 20;

    // The server table. Entries keep the order they were added in.

    // Appends a server with copies of its name and secret and zero statistics.
    // A port of 0 means the default port of the role. -1 when memory runs out
    // (error text cleared). The role must include RA_ROLE_AUTH or RA_ROLE_ACCT.
    int server_add(const char* server, const char* secret, uint16_t authport, uint16_t acctport,
                   uint16_t podport, int role, int retries, int timeout);
    int server_add(const char* server, const char* secret, uint16_t authport, uint16_t acctport,
                   int role, int retries, int timeout);
    // Empties the table once no transaction is in progress; transactions that
    // start meanwhile wait until it is done.
    void noserver();
    // The server to send a request of that role to (named, or any when server
    // is null or empty): the first one that answers or may be tried again,
    // else the one with the fewest unanswered requests; null when none has the role.
    // The entry stays valid until the caller checks in (see checkout).
    RA_SERVER* server_get(int role);
    RA_SERVER* server_get(int role, const char* server);
    // The first entry of the table (the rest through next), or null; for
    // reading the statistics while whoever rebuilds the table is held off.
    const RA_SERVER* server_list() const { return servers; }
    // A transaction registers its start and end, so that noserver() never
    // releases an entry in use.
    void checkout();
    void checkin();
    // The response of a finished transaction: its result, response time and
    // message, and its reply list, which moves out of rp. Null when memory
    // runs out; the reply list then stays in rp.
    static RA_RESPONSE* parm2response(RA_PARMS* rp);
    static void noresponse(RA_RESPONSE* res);

    // Requests. Each chooses a server of its role (the named one, or any when
    // server is null or empty), sends and waits, and returns a new response
    // that the caller releases with noresponse(); null when memory runs out.
    // The request list stays the caller's; the reply list comes with the
    // response. A result of RA_RET_ERR carries its reason in the message:
    // "No servers with an authentication role found.  Please use server_add()
    // before auth" ("... an accounting role ..." for acct and disconnect),
    // "Name lookup failure for '<name>'", a socket failure or a reply that
    // could not be read.

    // Access-Request with the user's password hidden (RA_AUTH_PAP) or a CHAP
    // response computed from it (RA_AUTH_CHAP). A request that times out on
    // one server is tried on the next choice while the transaction's sends
    // number fewer than that server's retries.
    RA_RESPONSE* auth(const char* server, const char* user, const char* password, int method,
                      const VALUE_PAIR* vps);
    RA_RESPONSE* auth(const char* user, const char* password, int method, const VALUE_PAIR* vps);
    // Access-Request with the caller's CHAP identifier, 16-octet response and
    // challenge text.
    RA_RESPONSE* auth(const char* server, const char* user, uint8_t chap_id, const char* chap_pw,
                      const char* chap_challenge, const VALUE_PAIR* vps);
    RA_RESPONSE* auth(const char* user, uint8_t chap_id, const char* chap_pw,
                      const char* chap_challenge, const VALUE_PAIR* vps);
    // Accounting-Request and Disconnect-Request; user, when not null, is sent
    // as User-Name. Neither moves on to another server.
    RA_RESPONSE* acct(const char* server, const char* user, const VALUE_PAIR* vps);
    RA_RESPONSE* acct(const char* user, const VALUE_PAIR* vps);
    RA_RESPONSE* disconnect(const char* server, const char* user, const VALUE_PAIR* vps);
    RA_RESPONSE* disconnect(const char* user, const VALUE_PAIR* vps);
    // Status-Server (RFC 5997) to the server's authentication port, with
    // Message-Authenticator and vps, without User-Name or credentials; an
    // Access-Accept is RA_RET_ACK.
    RA_RESPONSE* status(const char* server, const VALUE_PAIR* vps);

    // The request security settings; taken by transactions that start after.
    void set_options(const RA_OPTIONS& options);
    RA_OPTIONS options() const;

    // One attempt of transaction rp against rp->server: resolves the server's
    // address when it is not known yet, sends the request from a socket of
    // its own (with verifyreply: the thread's kept socket for that server),
    // and re-sends the same octets each time a wait of the server's
    // timeout passes without a reply, until the transaction has sent more
    // than retries times or the server has gone more than retries requests
    // unanswered. Updates the server's statistics and rp's tries, response
    // time (milliseconds of the last wait), result, reply and message, and
    // returns the result.
    int rad_authenticate(RA_PARMS* rp);
    // The UDP socket of one attempt, bound to any local address and a port
    // of the system's choosing, which no other request socket shares. The
    // descriptor, or -1 with rp's message set.
    static int request_socket(RA_PARMS* rp);
    // The UDP port for a request of role to server: the entry's own port,
    // else the system's "radius", "radacct" or "radpod" service, else 1645,
    // 1646 or 3799.
    static uint16_t server_port(const RA_SERVER* server, int role);

private:
    // Adds the standard attributes and Cisco's; the number of failed additions
    // as a negative sum, 0 when all went in.
    int load_builtin();
    // The public request operations after rp is filled: server choice,
    // attempts, the response.
    RA_RESPONSE* transact(RA_PARMS* rp, const char* server);

    DICT_VENDOR* vendors;
    RA_SERVER* servers;
    char* message;
    // Transaction bookkeeping: the count of transactions in progress and the
    // count of noserver() calls waiting to clear the table, both under
    // tableLock, which also guards the links of the table; tableChanged wakes
    // whoever waits for either count to change.
    int32_t refcount;
    int32_t closing;
    std::atomic<bool> msgauth{false};
    std::atomic<bool> verifyreply{false};
    std::atomic<bool> requiremsgauth{false};
    std::mutex tableLock;
    std::condition_variable tableChanged;
};

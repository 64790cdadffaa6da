// The embedded HTTP/1.0 server: one listener thread hands each accepted
// connection to an idle worker of a fixed pool; the worker reads one complete
// request, turns it into an http_request, runs the registered callbacks,
// sends the buffered response and closes the connection.
//
// No mutex guards the pool. A slot's status hands it over: the listener fills
// in the connection and then sets status 1; the worker finishes with the
// connection and then sets status 0. Fields another thread may read at any
// time (the status page, the listener's sweep) are atomics.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "foundation/aa.h"
#include "foundation/threads.h"

struct http_request;
struct server_config;

using http_handler = int (*)(http_request*);
// Server messages: a code and a printf format. Returns the code.
using http_logfile_fn = int (*)(int code, const char* format, ...);
// Error pages: writes one into the request's output. Returns the request.
using http_logweb_fn = void* (*)(void* request, int status, const char* format, ...);
using http_send_fn = int (*)(void* context, const char* data, int length);

constexpr int kHttpMaxThreads = 254;
constexpr int kHttpPoolSlots = 255;
constexpr int kHttpOutputSize = 45000;
constexpr int kHttpRecvInitial = 8096;
constexpr int kHttpRequestLimit = 20000000;

// One worker's slot.
struct work_pool {
    event_ms* event = nullptr;             // owned; the listener signals an assignment
    std::atomic<uint32_t> client{0};       // peer address, first octet most significant
    std::atomic<int32_t> status{-1};       // -1 no worker, 0 idle, 1 busy
    std::atomic<int32_t> socket{0};        // the connection; 0 none
    std::atomic<int32_t> sendsocket{0};    // where responses go (the same connection)
    std::atomic<int32_t> transport{0};     // 1 TCP
    std::atomic<uint32_t> recvstarted{0};  // non-zero while a receive runs: when it began
    std::atomic<uint32_t> lastrecv{0};     // when the latest receive began
    std::atomic<uint32_t> sendstarted{0};  // non-zero while a timed send runs: when it began
};

// A registered callback.
struct http_list {
    http_handler handler;
    char* label;  // owned copy or null
    void* context;
    http_list* next;
};

struct server_config {
    std::atomic<int32_t> shutdown{0};  // 1 once a stop is requested
    // -4 listener failed or not started, -3 listener starting, -2 listener
    // ready, -1 workers starting, 0 running.
    std::atomic<int32_t> state{-4};
    int32_t port = 80;  // 1..65535, or -1 for no listener
    int32_t threads = 10;
    std::atomic<int32_t> backlog{0};  // 1 while the listener finds no idle worker
    std::atomic<int32_t> listensocket{-1};
    event_ms* startevent = nullptr;  // listener and workers: ready or failed
    event_ms* freeevent = nullptr;   // workers: free again during backlog, or ended
    work_pool pool[kHttpPoolSlots];
    http_logfile_fn logfile = nullptr;
    http_logweb_fn logweb = nullptr;
    // Pages may be registered while the workers serve: the lists are
    // extended and read under callbackLock, and a node never changes or goes
    // once linked until the server is released.
    std::mutex callbackLock;
    http_list* security = nullptr;
    http_list* process = nullptr;
    char* bindaddr = nullptr;  // owned dotted address, or null for all
    // Bookkeeping for an orderly release: workers that have signalled
    // readiness, and whether the listener thread still runs.
    std::atomic<int32_t> started{0};
    std::atomic<int32_t> listening{0};
    std::atomic<uint64_t> served{0};  // requests dispatched to the callbacks so far
};

struct http_request {
    aaContext* form;    // form fields, URL-decoded, case-insensitive
    aaContext* env;     // environment variables, case-insensitive
    char* file;         // last path segment, URL-decoded; "" when none
    char* dir;          // the path before its last "/", raw; "" for a one-segment path
    char* query;        // raw query string, or null
    char* body;         // raw POST body, or null
    char* method;       // method word, or null
    void* context;      // the context of the callback being called
    uint32_t client;    // peer address, first octet most significant
    void* sendcontext;  // passed to send (the descriptor, for send_http)
    http_send_fn send;
    server_config* server;
    uint32_t bufstarted;  // when the first byte now buffered was added
    int32_t buffered;
    char output[kHttpOutputSize];
    event_ms* event;                     // the worker slot's event
    std::atomic<uint32_t>* sendstarted;  // the slot's send-started field, or null
};

// Server life.
server_config* http_init(http_logfile_fn logfile, http_logweb_fn logweb, int port, int, const char*,
                         const char*, const char* bindaddr, int threads);
// -1 for null, 1 when not every worker could be seen to stop, else 0.
int http_noinit(server_config* server);
void http_poolreset(server_config* server);
void wm_reset(work_pool* wp);
int http_logdfile(int code, const char* format, ...) __attribute__((format(printf, 2, 3)));
uint32_t GTC();
uint32_t HTTPROC_GTC();
void http_listenmain(void* server);
void http_workmain(void* server);

// Request data.
char* http_get(aaContext* ctx, const char* name);
int http_decodestr(aaContext* ctx, const char* text);
char* cgiDecodeUrl(char* text);
int cgiHexInt(char c);
char cgiHexAsc(char high, char low);
int http_int2str(char* out, int n);
int http_ipaddr2str(char* out, unsigned int address);

// Callbacks: type 1 security, type 2 process.
int http_register(server_config* server, http_handler handler, void* context, const char* label,
                  int type);
int http_listadd(http_list** list, http_handler handler, void* context, const char* label);
int http_listfree(http_list* list);
// Runs the security, then the process callbacks for a built request and
// writes the server's own error page where none of them answers.
void http_dispatch(http_request* request);
// The callbacks of a type (1 security, 2 process) as registered just now.
std::vector<const http_list*> http_callbacks(server_config* server, int type);

// Responses, buffered per request.
void http_send(http_request* request, const char* text);
void http_printf(http_request* request, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
int http_bsend(http_request* request, const char* data, int length);
int http_send_flush(http_request* request);
int send_http(void* context, const char* data, int length);
void* http_logweb(void* request, int status, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// The reason phrase of a status; "" for one without.
const char* http_reason(int status);

// Built-in pages.
int status_server(http_request* request);
int http_file(http_request* request, const char* root);

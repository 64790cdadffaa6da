// The request a handler sees: environment variables and form fields built
// from the received header text, the callback lists and their dispatch.
#include <cstdlib>
#include <cstring>

#include "foundation/alloc.h"
#include "foundation/ascii.h"
#include "foundation/utils.h"
#include "httpd/internal.h"

namespace {

constexpr const char* kSoftware = "Lorvane Web Server 4.5.10";

// "HTTP_" and the header name upper-cased with "-" made "_"; null when memory is short.
char* headerKey(const char* name) {
    const size_t length = std::strlen(name);
    char* key = static_cast<char*>(vn_alloc(length + 6));
    if (!key) return nullptr;
    std::memcpy(key, "HTTP_", 5);
    for (size_t i = 0; i <= length; ++i) {
        const char c = static_cast<char>(ascii_upper(static_cast<unsigned char>(name[i])));
        key[5 + i] = c == '-' ? '_' : c;
    }
    return key;
}

// One header line: the name before its first ":", the value after it and one
// blank; the array references the value in the header text.
void addHeader(aaContext* env, char* line) {
    if (*line == '\n' || *line == '\r') ++line;
    char* colon = std::strchr(line, ':');
    if (!colon) return;
    *colon = '\0';
    char* value = colon[1] == ' ' ? colon + 2 : colon + 1;
    char* key = headerKey(line);
    if (key) aaPut(env, key, value, AA_EXTKEY | AA_FREEKEY | AA_EXTVAL);
}

}  // namespace

char* http_get(aaContext* ctx, const char* name) { return static_cast<char*>(aaGet(ctx, name)); }

int http_decodestr(aaContext* ctx, const char* text) {
    if (!ctx || !text) return -1;
    for (const char* segment = text; segment;) {
        const char* amp = std::strchr(segment, '&');
        const size_t length = amp ? static_cast<size_t>(amp - segment) : std::strlen(segment);
        const char* equals = static_cast<const char*>(std::memchr(segment, '=', length));
        if (equals) {
            char* name = vn_strndup(segment, static_cast<size_t>(equals - segment));
            char* value =
                vn_strndup(equals + 1, length - static_cast<size_t>(equals - segment) - 1);
            if (name && value) {
                aaPut(ctx, cgiDecodeUrl(name), cgiDecodeUrl(value),
                      AA_EXTKEY | AA_EXTVAL | AA_FREEKEY | AA_FREEVAL);
            } else {  // memory is short: this field is dropped
                std::free(name);
                std::free(value);
            }
        }
        segment = amp ? amp + 1 : nullptr;
    }
    return 0;
}

void http_request_reset(http_request* request, server_config* server, uint32_t client,
                        http_send_fn send, void* sendcontext, event_ms* event,
                        std::atomic<uint32_t>* sendstarted) {
    request->form = request->env = nullptr;
    request->file = request->dir = request->query = request->body = request->method = nullptr;
    request->context = nullptr;
    request->client = client;
    request->sendcontext = sendcontext;
    request->send = send;
    request->server = server;
    request->bufstarted = 0;
    request->buffered = 0;
    request->event = event;
    request->sendstarted = sendstarted;
}

int http_request_build(http_request* request, http_reader& reader) {
    char* text = reader.data;
    if (reader.method == 2) {
        text[reader.headerEnd + 3] = '\0';
        request->body = text + reader.headerEnd + 4;
    }
    request->env = aaCreateContext(AA_NOCASE);
    request->form = aaCreateContext(AA_NOCASE);
    if (!request->env || !request->form) return -1;
    aaContext* env = request->env;

    // Lines end at each CR; the LF after it starts the next line.
    char* next = std::strchr(text, '\r');
    if (next) *next++ = '\0';
    char* url = nullptr;
    if (char* space = std::strchr(text, ' ')) {
        *space = '\0';
        request->method = text;
        aaPut(env, "REQUEST_METHOD", text, AA_DUPKEY | AA_EXTVAL);
        url = space + 1;
        if (char* end = std::strchr(url, ' ')) *end = '\0';
    }
    while (next) {
        char* line = next;
        next = std::strchr(line, '\r');
        if (next) *next++ = '\0';
        addHeader(env, line);
    }

    char address[kInt2strSize + kIp2strSize];
    http_ipaddr2str(address, request->client);
    aaPut(env, "REMOTE_ADDR", address, AA_DUPKEY | AA_DUPVAL);
    if (url) {
        if (char* mark = std::strchr(url, '?')) {
            *mark = '\0';
            request->query = mark + 1;
            aaPut(env, "QUERY_STRING", request->query, AA_DUPKEY | AA_EXTVAL);
        }
    }
    aaPut(env, "SERVER_SOFTWARE", kSoftware, AA_DUPKEY | AA_EXTVAL);
    aaPut(env, "SERVER_PORT_SECURE", "0", AA_DUPKEY | AA_EXTVAL);
    char port[kInt2strSize];
    http_int2str(port, request->server ? request->server->port : 0);
    aaPut(env, "SERVER_PORT", port, AA_DUPKEY | AA_DUPVAL);
    if (const char* host = http_get(env, "HTTP_HOST")) {
        const char* colon = std::strchr(host, ':');
        char* name =
            vn_strndup(host, colon ? static_cast<size_t>(colon - host) : std::strlen(host));
        if (name) aaPut(env, "SERVER_NAME", name, AA_DUPKEY | AA_EXTVAL | AA_FREEVAL);
    }

    http_decodestr(request->form, request->query);
    http_decodestr(request->form, request->body);

    static char empty[] = "";
    request->dir = request->file = empty;
    if (url) {
        if (char* slash = std::strrchr(url, '/')) {
            *slash = '\0';
            request->dir = url;
            request->file = slash + 1;
        } else {
            request->file = url;
        }
        cgiDecodeUrl(request->file);
    }
    return 0;
}

void http_request_release(http_request* request) {
    aaDestroyContext(request->form);
    aaDestroyContext(request->env);
    request->form = request->env = nullptr;
}

int http_listadd(http_list** list, http_handler handler, void* context, const char* label) {
    auto* node = static_cast<http_list*>(vn_alloc(sizeof(http_list)));
    if (!node) return -1;
    node->label = nullptr;
    if (label && !(node->label = vn_strndup(label, std::strlen(label)))) {
        std::free(node);
        return -1;
    }
    node->handler = handler;
    node->context = context;
    node->next = nullptr;
    while (*list) list = &(*list)->next;
    *list = node;
    return 0;
}

int http_listfree(http_list* list) {
    if (!list) return -1;
    while (list) {
        http_list* next = list->next;
        std::free(list->label);
        std::free(list);
        list = next;
    }
    return 0;
}

int http_register(server_config* server, http_handler handler, void* context, const char* label,
                  int type) {
    std::lock_guard<std::mutex> guard(server->callbackLock);
    if (type == 1) return http_listadd(&server->security, handler, context, label);
    if (type == 2) return http_listadd(&server->process, handler, context, label);
    return 0;
}

std::vector<const http_list*> http_callbacks(server_config* server, int type) {
    std::lock_guard<std::mutex> guard(server->callbackLock);
    std::vector<const http_list*> nodes;
    for (const http_list* node = type == 1 ? server->security : server->process; node;
         node = node->next)
        nodes.push_back(node);
    return nodes;
}

// Calls the callbacks in order until one decides: 0 asks the next, 200 ends
// the asking, anything else is an error page. Returns the deciding status,
// or 0 when none decided. They run without the list's lock: a page may take
// as long as it likes.
static int runList(http_request* request, const std::vector<const http_list*>& list) {
    for (const http_list* node : list) {
        request->context = node->context;
        const int status = node->handler(request);
        if (status == 0) continue;
        if (status != 200) request->server->logweb(request, status, "%s", "");
        return status;
    }
    return 0;
}

void http_dispatch(http_request* request) {
    server_config* server = request->server;
    ++server->served;
    const auto security = http_callbacks(server, 1);
    const int status = security.empty() ? 200 : runList(request, security);
    if (status != 200) return;
    const auto process = http_callbacks(server, 2);
    if (process.empty()) {
        server->logweb(request, 404, "No process callbacks currently registered");
    } else if (runList(request, process) == 0) {
        server->logweb(request, 404, "Resource not found");
    }
}

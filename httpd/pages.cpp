// The server's own pages: "status" (configuration, callbacks, every worker
// slot) and "test-cgi" (what a handler sees of the request), and serving
// files from a document root.
#include <cstdio>
#include <cstring>
#include <string>

#include "foundation/ascii.h"
#include "foundation/utils.h"
#include "httpd/internal.h"

namespace {

constexpr const char* kTableHead =
    "<TABLE><TR><TD bgcolor = ffff00><B>Variable</B></TD><TD bgcolor = ffff00><B>Value</B></TD>";

void table(http_request* request, aaContext* ctx) {
    aaScanBegin(ctx, nullptr);
    void* value = nullptr;
    while (const char* name = aaScanNext(ctx, &value)) {
        http_printf(request, "<TR><TD BGCOLOR = cacaff>%s</TD><TD BGCOLOR = ccddaa>%s</TD>", name,
                    static_cast<const char*>(value));
    }
    aaScanEnd(ctx);
    http_send(request, "</TABLE>");
}

void testCgi(http_request* request) {
    http_send(request, "HTTP/1.0 200 OK\nContent-type:text/html\n\n");
    http_printf(request, "<BR>Environment:<HR SIZE = 1>%s", kTableHead);
    table(request, request->env);
    http_printf(request, "<BR>Form:<HR SIZE = 1>%s", kTableHead);
    table(request, request->form);
    if (request->body) {
        http_send(request, "<P>Post string: ");
        http_send(request, request->body);
    }
}

void labels(http_request* request, int type) {
    for (const http_list* node : http_callbacks(request->server, type))
        http_printf(request, "<LI><I>%s</I>", node->label ? node->label : "Unlabeled");
}

// "<TD>%u ms</TD>" for a time up to now, else "<TD>N/A</TD>".
std::string timeCell(bool available, uint32_t now, uint32_t since) {
    if (!available || static_cast<int32_t>(now - since) < 0) return "<TD>N/A</TD>";
    return "<TD>" + std::to_string(now - since) + " ms</TD>";
}

void slotRow(http_request* request, const server_config* server, int index, uint32_t now) {
    const work_pool& slot = server->pool[index];
    const bool busy = slot.status == 1;
    const uint32_t received = slot.recvstarted, sent = slot.sendstarted;
    const char *text = "Idle", *suffix = "";
    if (busy && received != 0) {
        text = "Waiting for client";
    } else if (busy) {
        text = "Processing";
        suffix = sent != 0 ? " (sending)" : " (server)";
    }
    char address[kIp2strSize];
    http_ipaddr2str(address, slot.client);
    http_printf(request, "<TR BGCOLOR=%s><TD>%d</TD><TD>%s%s</TD><TD>%d</TD><TD>%s</TD>",
                busy ? "cacaff" : "ffffff", index, text, suffix, slot.socket.load(), address);
    if (slot.transport == 1)
        http_printf(request, "<TD>%s:%d %s</TD>", "TCP", server->port, "");
    else
        http_send(request, "<TD>N/A</TD>");
    const std::string cells = timeCell(busy, now, received != 0 ? received : slot.lastrecv.load()) +
                              timeCell(busy && sent != 0, now, sent);
    http_send(request, cells.c_str());
}

void statusPage(http_request* request) {
    const server_config* server = request->server;
    const char* software = http_get(request->env, "SERVER_SOFTWARE");
    http_send(request, "HTTP/1.0 200 OK\nContent-type:text/html\n\n");
    http_send(request, "<TABLE WIDTH = 100%><TR><TD BGCOLOR = 5555ca><B><FONT COLOR = ffffff>");
    http_printf(request, "%s : %s</FONT></B></TD></TABLE>", software ? software : "N/A",
                server->state == 0 ? "appears to be operating normally"
                                   : "is not operating normally.  (See error log for details)");
    int inUse = 0;
    for (int i = 0; i < server->threads; ++i) inUse += server->pool[i].status == 1;
    http_send(request, "<BR><UL>");
    http_printf(request, "<LI TYPE=SQUARE>Max concurrent connections: %d", server->threads);
    http_printf(request, "<LI>Backlog request mode: %s", server->backlog ? "Yes" : "No");
    http_printf(request, "<LI>Connections in use: %d", inUse);
    http_printf(request, "<LI>Server http: %s (port:%d)",
                server->port == -1 ? "Disabled" : "Enabled", server->port);
    http_printf(request, "<LI>Bind address: %s", server->bindaddr ? server->bindaddr : "All");
    http_send(request, "<LI>Server https: N/A");
    http_send(request, "<LI>Registered security callbacks (ordered):<UL>");
    labels(request, 1);
    http_send(request, "</UL><LI>Registered process callbacks (ordered):<UL>");
    labels(request, 2);
    http_send(request,
              "</UL></UL><P>Worker status:<TABLE CELLPADDING = 5 CELLSPACING = 2><TR "
              "BGCOLOR=ffff00><TD><B>Slot</B></TD><TD><B>Status</B></TD><TD><B>Socket "
              "Number</B></TD><TD><B>IP Address</B></TD><TD><B>Transport</B></TD><TD><B>Session "
              "Time</B></TD><TD><B>Send Time</B></TD>");
    const uint32_t now = HTTPROC_GTC();
    for (int i = 0; i < server->threads; ++i) slotRow(request, server, i, now);
    http_send(request, "</TABLE>");
}

struct ContentType {
    const char* extension;
    const char* type;
};

constexpr ContentType kContentTypes[] = {
    {".html", "text/html"},
    {".htm", "text/html"},
    {".gif", "image/gif"},
    {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".txt", "text/plain"},
    {".doc", "application/msword"},
    {".class", "application/octet-stream"},
    {".cab", "application/octet-stream"},
    {".zip", "application/x-zip-compressed"},
    {".jar", "application/octet-stream"},
    {".js", "application/octet-stream"},
    {".ico", "application/octet-stream"},
    {".xml", "text/xml"},
    {".css", "text/css"},
    {".xsl", "text/xsl"},
    {".exe", "application/octet-stream"},
    {".rpt", "application/octet-stream"},
    {".ptl", "text/html"},
    {".swf", "application/x-shockwave-flash"},
    {".pdf", "application/pdf"},
};

const char* contentType(const char* name) {
    const size_t length = std::strlen(name);
    for (const ContentType& entry : kContentTypes) {
        const size_t size = std::strlen(entry.extension);
        if (size < length && ascii_equal_nocase(name + length - size, entry.extension))
            return entry.type;
    }
    return nullptr;
}

}  // namespace

int status_server(http_request* request) {
    if (*request->dir != '\0') return 0;
    if (ascii_equal_nocase(request->file, "test-cgi")) {
        testCgi(request);
        return 200;
    }
    if (ascii_equal_nocase(request->file, "status")) {
        statusPage(request);
        return 200;
    }
    return 0;
}

int http_file(http_request* request, const char* root) {
    const char* name = request->file;
    const char* type = "text/html";
    if (*name == '\0')
        name = "index.html";
    else if (!(type = contentType(name)))
        return 0;
    if (!root) return 412;
    const char* dir = request->dir;
    // The name arrives URL-decoded and the folder does not: a "/" in the name
    // (sent as %2f) could climb out with "..", and a folder without its
    // leading "/" would name a sibling of the root ("/srv/site" + "-old").
    if (std::strstr(dir, "..") || std::strchr(dir, ':') || std::strchr(name, ':') ||
        std::strchr(name, '/') || (*dir != '\0' && *dir != '/') ||
        std::strlen(name) + std::strlen(dir) > 127)
        return 406;
    std::string path = std::string(root) + dir + "/" + name;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file && ascii_nequal_nocase(dir, "/themes/", 8) &&
        !ascii_equal_nocase(dir, "/themes/default")) {
        path = std::string(root) + "/themes/default/" + name;
        file = std::fopen(path.c_str(), "rb");
    }
    if (!file) return 0;
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    std::fseek(file, 0, SEEK_SET);
    http_printf(request,
                "HTTP/1.0 200 OK\nCache-Control: max-age=86400\nContent-Type: %s\nContent-Length: "
                "%ld\n\n",
                type, size);
    char piece[4096];
    for (size_t n; (n = std::fread(piece, 1, sizeof piece, file)) > 0;)
        http_bsend(request, piece, static_cast<int>(n));
    std::fclose(file);
    return 200;
}

// The metrics page: the monitors, the RADIUS servers' statistics, the test
// page's batches and the process, in the text exposition format that
// Prometheus scrapes. Records are copied under their lock and the page is
// written after it is gone, so a scrape never holds up the monitors.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <map>
#include <mutex>

#include "admin/internal.h"
#include "engine/vantor.h"
#include "foundation/format.h"
#include "httpd/httpd.h"

namespace {

const time_t kStarted = std::time(nullptr);

std::atomic<int32_t> batchesRunning{0};

// The response times of the last finished batch of each profile.
struct BatchSummary {
    double p50, p90, p99, max, sum;
    uint64_t count;
};
std::mutex batchesLock;
std::map<std::string, BatchSummary> lastBatches;

// A label value as the format wants it: backslash, double quote and line
// feed escaped.
std::string escaped(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        if (*p == '\\')
            out += "\\\\";
        else if (*p == '"')
            out += "\\\"";
        else if (*p == '\n')
            out += "\\n";
        else
            out += *p;
    }
    return out;
}

void family(std::string& out, const char* name, const char* type, const char* help) {
    out += vn_format("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// What the page shows of a monitor: copied under the monitors lock, its
// labels made after.
struct MonitorRow {
    std::string name, hostname, profile, labels;
    int32_t status, missed, resp_last, resp_avg;
    uint32_t uptime, downtime, checks, notices;
    uint32_t answered[kResponseBuckets];
    uint64_t answered_ms;
};

std::vector<MonitorRow> monitorRows(vantor& engine) {
    std::vector<MonitorRow> rows = table_rows<MonitorRow>(
        engine.monitors_lock, engine.scoreboards, [](const char* name, void* value) {
            const auto& sb = *static_cast<const scoreboard*>(value);
            MonitorRow row{name,      sb.hostname,   sb.profile,   {},
                           sb.status, sb.missed,     sb.resp_last, sb.resp_avg,
                           sb.uptime, sb.downtime,   sb.checks,    sb.notices,
                           {},        sb.answered_ms};
            std::copy(std::begin(sb.answered), std::end(sb.answered), row.answered);
            return row;
        });
    for (MonitorRow& row : rows)
        row.labels = "monitor=\"" + escaped(row.name.c_str()) + "\",server=\"" +
                     escaped(row.hostname.c_str()) + "\",profile=\"" +
                     escaped(row.profile.c_str()) + "\"";
    return rows;
}

// Numbers are written with to_chars: a page for a thousand monitors has
// some 24,000 of them.
void appendNumber(std::string& out, uint64_t value) {
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    out.append(text, end);
}

void appendSeconds(std::string& out, int64_t ms) {
    if (ms < 0) out += '-';
    const uint64_t magnitude = ms < 0 ? static_cast<uint64_t>(-ms) : static_cast<uint64_t>(ms);
    appendNumber(out, magnitude / 1000);
    const auto thousandths = static_cast<unsigned>(magnitude % 1000);
    const char digits[] = {'.', static_cast<char>('0' + thousandths / 100),
                           static_cast<char>('0' + thousandths / 10 % 10),
                           static_cast<char>('0' + thousandths % 10)};
    out.append(digits, sizeof digits);
}

std::string number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// The start of a sample's line: name{labels} and the space before the value.
void sample(std::string& out, const char* name, const std::string& labels, const char* extra = "") {
    out += name;
    out += '{';
    out += labels;
    out += extra;
    out += "} ";
}

// One gauge or counter family with a sample per monitor; value appends the
// sample's value.
template <typename Value>
void perMonitor(std::string& out, const std::vector<MonitorRow>& rows, const char* name,
                const char* type, const char* help, Value value) {
    family(out, name, type, help);
    for (const MonitorRow& row : rows) {
        sample(out, name, row.labels);
        value(row);
        out += '\n';
    }
}

void monitors(std::string& out, vantor& engine) {
    const std::vector<MonitorRow> rows = monitorRows(engine);
    out.reserve(out.size() + rows.size() * 3000);
    perMonitor(out, rows, "vantor_monitor_status", "gauge",
               "Monitor status: 0 unknown, 1 up, 2 timing out, 3 down.",
               [&out](const MonitorRow& m) { out += std::to_string(m.status); });
    perMonitor(out, rows, "vantor_monitor_up", "gauge", "1 while the monitor is up.",
               [&out](const MonitorRow& m) { out += m.status == SB_UP ? '1' : '0'; });
    perMonitor(out, rows, "vantor_monitor_missed_checks", "gauge",
               "Failed checks since the last good one.",
               [&out](const MonitorRow& m) { out += std::to_string(m.missed); });
    perMonitor(out, rows, "vantor_monitor_last_response_seconds", "gauge",
               "Response time of the last good check.",
               [&out](const MonitorRow& m) { appendSeconds(out, m.resp_last); });
    perMonitor(out, rows, "vantor_monitor_average_response_seconds", "gauge",
               "Running average of the good checks' response times.",
               [&out](const MonitorRow& m) { appendSeconds(out, m.resp_avg); });
    perMonitor(out, rows, "vantor_monitor_uptime_ratio", "gauge",
               "Time up over time up and down; NaN before any is counted.",
               [&out](const MonitorRow& m) {
                   const double total = static_cast<double>(m.uptime) + m.downtime;
                   out += total > 0 ? number(m.uptime / total) : std::string("NaN");
               });
    perMonitor(out, rows, "vantor_monitor_checks_total", "counter",
               "Checks made since the monitor was created or loaded.",
               [&out](const MonitorRow& m) { appendNumber(out, m.checks); });
    perMonitor(out, rows, "vantor_monitor_notices_total", "counter",
               "Notices delivered since the monitor was created or loaded.",
               [&out](const MonitorRow& m) { appendNumber(out, m.notices); });

    family(out, "vantor_monitor_response_seconds", "histogram",
           "Response times of the answered checks.");
    std::string bounds[kResponseBuckets];
    for (int i = 0; i < kResponseBuckets; ++i) {
        bounds[i] = ",le=\"";
        if (i < kResponseBuckets - 1)
            appendSeconds(bounds[i], kResponseBucketsMs[i]);
        else
            bounds[i] += "+Inf";
        bounds[i] += '"';
    }
    for (const MonitorRow& row : rows) {
        uint64_t cumulative = 0;
        for (int i = 0; i < kResponseBuckets; ++i) {
            cumulative += row.answered[i];
            sample(out, "vantor_monitor_response_seconds_bucket", row.labels, bounds[i].c_str());
            appendNumber(out, cumulative);
            out += '\n';
        }
        sample(out, "vantor_monitor_response_seconds_sum", row.labels);
        appendSeconds(out, static_cast<int64_t>(row.answered_ms));
        out += '\n';
        sample(out, "vantor_monitor_response_seconds_count", row.labels);
        appendNumber(out, cumulative);
        out += '\n';
    }
}

struct ServerRow {
    std::string labels;
    int32_t sent, accepts, rejects, unanswered;
};

std::string roles(int32_t role) {
    std::string text;
    for (const auto& [bit, name] : {std::pair<int32_t, const char*>{RA_ROLE_AUTH, "auth"},
                                    {RA_ROLE_ACCT, "acct"},
                                    {RA_ROLE_DISCONNECT, "disconnect"}})
        if (role & bit) text += (text.empty() ? "" : ",") + std::string(name);
    return text;
}

void servers(std::string& out, vantor& engine) {
    std::vector<ServerRow> rows;
    {
        std::lock_guard<std::mutex> guard(engine.servers_lock);
        for (const RA_SERVER* s = engine.client->server_list(); s; s = s->next)
            rows.push_back(
                ServerRow{"server=\"" + escaped(s->server) + "\",role=\"" + roles(s->role) + "\"",
                          s->sent, s->accepts, s->rejects, s->unanswered});
    }
    const struct {
        const char* name;
        const char* type;
        const char* help;
        int32_t ServerRow::*field;
    } families[] = {
        {"vantor_server_requests_total", "counter", "Requests sent, re-sends included.",
         &ServerRow::sent},
        {"vantor_server_accepts_total", "counter", "Accepting replies.", &ServerRow::accepts},
        {"vantor_server_rejects_total", "counter", "Rejecting replies.", &ServerRow::rejects},
        {"vantor_server_unanswered", "gauge", "Requests in a row without a reply.",
         &ServerRow::unanswered},
    };
    for (const auto& f : families) {
        family(out, f.name, f.type, f.help);
        for (const ServerRow& row : rows)
            out += vn_format("%s{%s} %d\n", f.name, row.labels.c_str(), row.*(f.field));
    }
}

void batches(std::string& out) {
    std::map<std::string, BatchSummary> copy;
    {
        std::lock_guard<std::mutex> guard(batchesLock);
        copy = lastBatches;
    }
    family(out, "vantor_batch_response_seconds", "summary",
           "Response times of the answered requests of the last batch of each profile.");
    for (const auto& [profile, s] : copy) {
        const std::string label = "profile=\"" + escaped(profile.c_str()) + "\"";
        for (const auto& [q, value] :
             {std::pair<const char*, double>{"0.5", s.p50}, {"0.9", s.p90}, {"0.99", s.p99}})
            out += vn_format("vantor_batch_response_seconds{%s,quantile=\"%s\"} %s\n",
                             label.c_str(), q, number(value).c_str());
        out += vn_format("vantor_batch_response_seconds_sum{%s} %s\n", label.c_str(),
                         number(s.sum).c_str());
        out += vn_format("vantor_batch_response_seconds_count{%s} %" PRIu64 "\n", label.c_str(),
                         s.count);
    }
    family(out, "vantor_batch_max_response_seconds", "gauge",
           "The longest answered request of the last batch of each profile.");
    for (const auto& [profile, s] : copy)
        out += vn_format("vantor_batch_max_response_seconds{profile=\"%s\"} %s\n",
                         escaped(profile.c_str()).c_str(), number(s.max).c_str());
}

}  // namespace

void metrics_batch_started() { ++batchesRunning; }

void metrics_batch_finished(const std::string& profile, const BatchTimes& times) {
    --batchesRunning;
    if (times.count() == 0) return;
    const BatchSummary summary{times.quantile(0.5), times.quantile(0.9), times.quantile(0.99),
                               times.max_seconds(), times.sum_seconds(), times.count()};
    std::lock_guard<std::mutex> guard(batchesLock);
    lastBatches[profile] = summary;
}

void BatchTimes::add(int32_t ms) {
    if (ms < 0) ms = 0;
    ++counts_[static_cast<size_t>(std::min(ms, kExactMs))];
    ++count_;
    sumMs_ += static_cast<uint64_t>(ms);
    maxMs_ = std::max(maxMs_, ms);
}

double BatchTimes::quantile(double q) const {
    const auto rank =
        std::max<uint64_t>(1, static_cast<uint64_t>(std::ceil(q * static_cast<double>(count_))));
    uint64_t seen = 0;
    for (size_t ms = 0; ms < counts_.size(); ++ms) {
        seen += counts_[ms];
        if (seen >= rank) return static_cast<double>(ms) / 1000.0;
    }
    return 0;
}

std::string metrics_text(vantor* engine, uint64_t served) {
    std::string out;
    family(out, "vantor_start_time_seconds", "gauge",
           "Start time of the process, in seconds since the epoch.");
    out += vn_format("vantor_start_time_seconds %lld\n", static_cast<long long>(kStarted));
    family(out, "vantor_web_requests_total", "counter", "Web requests served.");
    out += vn_format("vantor_web_requests_total %" PRIu64 "\n", served);
    family(out, "vantor_batches_running", "gauge", "Test page batches running now.");
    out += vn_format("vantor_batches_running %d\n", batchesRunning.load());
    if (engine) {
        monitors(out, *engine);
        servers(out, *engine);
    }
    batches(out);
    return out;
}

int vantor_metrics(wc_config* config) {
    admin_require(config);
    http_request* request = config->request;
    const std::string text = metrics_text(vantor_context(config), request->server->served);
    http_send(request,
              "HTTP/1.0 200 OK\nCache-Control:no-cache\nContent-Type: text/plain; "
              "version=0.0.4\r\n\r\n");
    http_bsend(request, text.data(), static_cast<int>(text.size()));
    return 0;
}

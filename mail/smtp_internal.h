// Inside the mail sender: the bounded waits, the relay port, and the functions
// the public ones wrap with their fixed values. Tests reach a scripted relay on
// a loopback port with a short bound through these; nothing else should.
#pragma once

#include <chrono>
#include <cstdint>

namespace smtp_internal {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kSmtpPort = 25;

// Each wait of a dialogue is bounded by 30 s: the connect, the sending of one
// command line, the arrival of one whole reply, and the sending of the whole
// header and message block. A relay answers in milliseconds; 30 s leaves room
// for a loaded one, while a dead one costs the monitor thread at most a few
// such waits instead of holding it forever.
constexpr int kWaitMs = 30000;

// The sender's own result codes.
constexpr int kErrArgs = 521;       // from, to, message or smarthost missing
constexpr int kErrConnect = 421;    // no TCP connection to the relay
constexpr int kErrGreeting = 422;   // no greeting received
constexpr int kErrRecv = 423;       // no reply received to a command
constexpr int kErrSend = 424;       // a command line sent in one piece failed
constexpr int kErrSendParts = 425;  // a command line sent in pieces failed
constexpr int kErrBadCode = 500;    // the reply's leading number is not positive
constexpr int kErrNoSpace = 501;    // the reply contains no space

Clock::time_point deadline_after(int wait_ms);

int connect_within(const char* host, uint16_t port, int wait_ms);
int send_until(int sock, const char* data, int length, Clock::time_point deadline);
int consume_until(int sock, char* buffer, int bufsize, Clock::time_point deadline);
int command_within(int sock, const char* command, const char* argument, char*& reply, int wait_ms);
// sendmail against port with each wait bounded by wait_ms.
int deliver(const char* from, const char* to, const char* cc, const char* subject,
            const char* message, const char* smarthost, uint16_t port, int wait_ms, char*& errmsg);

// errmsg/reply for the sender's own codes: a heap copy of the code's text.
int own_error(int code, char*& text);

}  // namespace smtp_internal

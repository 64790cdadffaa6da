// sendmail: a small blocking SMTP client that hands one plain-text message to
// a relay (the smart host) on TCP port 25 with the minimal HELO dialogue.
//
// The outcome is an SMTP-style three-digit code: the code of the relay's last
// reply, or one of the sender's own codes below. Codes of 400 and above are
// failures; every code below 400 counts as success at every step. Texts handed
// back (errmsg, reply, out) are malloc'd; the caller frees them.
//
// Every wait is bounded (see mail/smtp_internal.h), so a relay that accepts the
// connection and then never answers cannot hold the caller's thread for long.
// Sends use MSG_NOSIGNAL: a relay that drops the connection gives an error
// code, never SIGPIPE.
#pragma once

// Delivers message from from to every address of to and cc (comma-separated
// lists; cc and subject may be null) through smarthost. A null or empty from,
// to, message or smarthost gives 521 before anything is sent. Returns the final
// code; errmsg receives the relay's text of its last reply (on success or on a
// refused step) or the sender's own text for its own codes. The connection is
// always closed before returning; no QUIT is sent.
int sendmail(const char* from, const char* to, const char* cc, const char* subject,
             const char* message, const char* smarthost, char*& errmsg);

// A TCP connection to the first IPv4 address of host (a name, else a dotted
// address) on port; -1 when there is none.
int tcpconnect(const char* host, short port);
void tcpdisconnect(int sock);

// Sends all length bytes, repeating partial sends. Returns length, or a negative
// result when a send fails or the wait for room runs out.
int smtp_send(int sock, const char* data, int length);

// Receives into buffer, one receive after another, until a received chunk holds
// a line feed. Returns the bytes received, or -1 when the connection fails or
// closes first, the wait runs out, or the buffer fills without a line feed.
// Nothing is terminated. bufsize must be above 0.
int smtp_consume(int sock, char* buffer, int bufsize);

// Sends "command argument" as one line and reads the reply. When argument holds
// a '<', only the text after it is sent and the line end is "\r\n"; otherwise a
// command ending in '<' is closed with ">\r\n". A null argument is empty.
// Returns the reply's code (or the sender's own code) and its text in reply.
int smtp_command(int sock, const char* command, const char* argument, char*& reply);

// The message text as it goes into the DATA phase: every CR, LF or CRLF becomes
// "\r\n", and a line that is a single "." becomes ".." (first and last line
// included) so it cannot end the data early. Other lines starting with "." are
// copied unchanged. Returns the line ends written; -1 with out null when memory
// runs out.
int replacecrlf(const char* text, char*& out);

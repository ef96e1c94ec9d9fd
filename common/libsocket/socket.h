// Stream socket endpoints made from a name (a UNIX path or IPv4 "addr:port"),
// and whole-buffer reads and writes that retry interrupted calls and log
// every failure as "<function> <line> <text>".
//
// Two builds of this module exist: the current one logs to syslog at
// LOG_ERR and probes writability before writing; the earlier one (target
// libsocket_early, LIBSOCKET_EARLY defined) logs to standard error, writes at
// once and has no is_socket_writable/socket_detect_writen.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>

// Size of the name text kept in an endpoint. The record has one byte more,
// so a name of this length or longer is cut but always terminated.
inline constexpr std::size_t kSocketNameLen = 108;

struct Socket_t {
    int fd;  // -1 when socket() failed; the listening descriptor for a server
    union {
        struct sockaddr_in in;
        struct sockaddr_un un;
    } addr;
    socklen_t addrlen;  // sizeof(sockaddr_in) or sizeof(sockaddr_un)
    unsigned is_inet : 1;
    unsigned is_server : 1;
    char name[kSocketNameLen + 1];  // UNIX: the path; TCP: the dotted quad only
};

// New endpoint, never null (allocation failure is an assertion). A backlog
// above 0 makes a listening server; 0 makes a client that open_socket
// connects. Failures are logged; fd is -1 when no socket could be made. The
// socket is close-on-exec.
Socket_t* create_socket(const char* name, int backlog);

// Server: accept one connection (blocking), its descriptor or negative.
// Client: connect; fd on success, 0 when the peer is not there (refused,
// timed out, no access, no socket file).
int open_socket(Socket_t* sock);

// Closes fd when above 0 and frees the endpoint; null is ignored.
void close_socket(Socket_t* sock);

// Reads until n bytes arrived; fewer when the stream ended (0 at once), -1 on
// error.
int socket_readn(int fd, void* buf, std::size_t n);

// Writes all n bytes (blocking); n, or -1 on error.
int socket_writen(int fd, const void* buf, std::size_t n);

#ifndef LIBSOCKET_EARLY
// As socket_writen, but -1 at once when fd is not writable right now.
int socket_detect_writen(int fd, const void* buf, std::size_t n);

// 1 when fd can be written without blocking, else 0.
int is_socket_writable(int fd);
#endif

// One recv(MSG_PEEK), read or write each, repeated on EINTR; -1 on error.
int socket_peek(int fd, void* buf, std::size_t size);
int socket_read(int fd, void* buf, std::size_t size);
int socket_write(int fd, const void* buf, std::size_t size);

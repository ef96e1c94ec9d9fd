// Event callbacks of the launcher's socket: new connections and framed
// requests on them.
#pragma once

#include <event2/util.h>

namespace launcher::server {

// Listening socket readable: accepts one connection and registers it with
// the event base passed as arg.
void accept_cb(evutil_socket_t fd, short what, void* arg);

// Connection readable: serves one request, or closes the connection when
// the peer has gone. arg is the connection's own event.
void read_cb(evutil_socket_t fd, short what, void* arg);

}  // namespace launcher::server

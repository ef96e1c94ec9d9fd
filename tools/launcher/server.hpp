// Event callbacks of the launcher's socket: new connections and framed
// requests on them. Every client is served from the one event loop with its
// own buffer, so a slow or stalled client never holds another one, and a
// client that connects and never sends holds its descriptor only for a
// while, and not at all once descriptors run short.
#pragma once

#include <event2/event.h>

namespace launcher::server {

struct Connection;

// The listening side: its event, the timer that watches it again after
// accept ran out of descriptors, and its connections in the order they came.
struct Listener {
    event_base* base = nullptr;
    event* accept_ev = nullptr;  // null when nothing listens (tests)
    event* resume_ev = nullptr;
    bool paused = false;     // accept_ev is off until resume_ev fires or a client leaves
    bool exhausted = false;  // the shortage was logged; cleared by the next accept
    Connection* oldest = nullptr;
    Connection* newest = nullptr;
};

// Creates the listener's events on base for the listening descriptor fd and
// starts watching it; false when an event could not be made or added.
bool listen_on(Listener& l, event_base* base, evutil_socket_t fd);
// Frees the listener's events.
void release(Listener& l);

// Listening socket readable: accepts one connection and serves it. arg is
// the Listener.
void accept_cb(evutil_socket_t fd, short what, void* arg);

// Serves the connected, non-blocking descriptor fd from l's loop. Null when
// it cannot be watched; fd is then closed.
Connection* serve(Listener& l, evutil_socket_t fd);

// Connection readable: takes what has arrived of the current request, runs
// the request once whole, closes the connection when the peer has gone. arg
// is the Connection.
void read_cb(evutil_socket_t fd, short what, void* arg);

}  // namespace launcher::server

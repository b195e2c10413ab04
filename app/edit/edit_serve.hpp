// Serving an editing session (`mhost edit`) on 127.0.0.1 until it ends: the
// HTTP server around EditServer, the pages' event streams, the session's
// end by the page's Quit or a signal, and what the terminal is told.
#pragma once

#include "edit/edit_server.hpp"
#include "edit/edit_session.hpp"

#include <cstddef>
#include <ostream>
#include <string>

namespace mhost {

// What the terminal says of an earlier session's journal the session found
// (how many edits, from when, where a torn tail was cut off), or "".
std::string describeFoundJournal(const EditSession& session);

// 32 hexadecimal digits from the system's random source.
std::string randomToken();

struct ServeOptions {
    int port = 0;                                    // 0: a free port
    bool openBrowser = false;                        // start the desktop's browser on the page
    std::size_t cacheBytes = std::size_t(512) << 20; // the playback cache's budget (0: none)
};

// Serves the session on 127.0.0.1 until the page quits or SIGINT/SIGTERM:
// the page's address first on out, what happens on err. A first Ctrl-C
// with unsaved edits says so and waits for another. The playback cache is
// kept filled meanwhile, on a thread of its own. Returns the exit status.
int serveEditSession(EditSession& session, const ServeOptions& options, std::ostream& out,
                     std::ostream& err);

} // namespace mhost

// Serving an editing session (`mhost edit`) on 127.0.0.1 until it ends: the
// HTTP server around EditServer, the pages' event streams, the session's
// end by the page's Quit or a signal, and what the terminal is told.
#pragma once

#include "edit/edit_server.hpp"
#include "edit/edit_session.hpp"

#include <ostream>
#include <string>

namespace mhost {

// What the terminal says of an earlier session's journal the session found
// (how many edits, from when, where a torn tail was cut off), or "".
std::string describeFoundJournal(const EditSession& session);

// 32 hexadecimal digits from the system's random source.
std::string randomToken();

// Serves the session on 127.0.0.1:port (0: a free port) until the page
// quits or SIGINT/SIGTERM: the page's address first on out, what happens
// on err. A first Ctrl-C with unsaved edits says so and waits for another.
// With openBrowser, the desktop's browser is started on the page. Returns
// the exit status.
int serveEditSession(EditSession& session, int port, bool openBrowser, std::ostream& out,
                     std::ostream& err);

} // namespace mhost

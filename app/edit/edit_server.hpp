// The local HTTP side of `mhost edit`: the editor page and the requests it
// makes of the session.
//
// Only this machine's own programs may reach a session, and only with its
// token: the server listens on 127.0.0.1 alone, and handle() refuses (403)
// a request without the token, one whose Host header is not the loopback
// address and port the session listens on (DNS rebinding), and one whose
// Origin is not the page's own (another page in the same browser). Bodies
// over kMaxBody are refused (413). The page can write only the session's
// scene file: no request names a path.
//
//   GET  /?token=T              the editor page
//   GET  /api/state?VIEW        the session's state for the page's view
//   POST /api/edit              {"edit": EDIT, "merge": bool, VIEW}
//   POST /api/undo, /api/redo   {VIEW}
//   POST /api/save              {"overwrite": bool, VIEW}: 409 with
//                               "changed": true when the file changed on
//                               disk since it was read, unless overwrite
//   POST /api/reload            {"reapply": bool, VIEW}: the file read
//                               again, the edits made again on it or
//                               discarded ("reapplied": N, "dropped": [why])
//   POST /api/journal           {"recover": true} or {"discard": true}: what
//                               to do with an earlier session's journal
//                               ("reapplied": N, "dropped": [why])
//   POST /api/quit              {"discard": bool}: ends the session (409
//                               with unsaved edits unless discard)
//   GET  /api/events            server-sent events, one "change" each time
//                               the session's version goes up (an edit,
//                               undo, redo, save, reload or recovery, from
//                               any page): {"version": N, "what": PATH's
//                               last word}, the first at once
//   GET  /api/script            the session's edits as a `mhost run` script
//   GET  /api/keys?node=NAME    a keyed node's keys as a key library file
//   GET  /api/bake.usda         the scene baked over its timeline, a USD layer
//   GET  /api/cache?frame=F     every node's world matrix at frame F from the
//                               playback cache (edit_cache.hpp), 16 float32
//                               each, little-endian, in the node list's
//                               order, the list's version in the header
//                               X-Mhost-Structure; 404 when the cache does
//                               not hold the frame for the scene as it is
// VIEW is what the page holds and shows ("node", "frame", "structure",
// "matrices": edit_state.hpp), in the query of a GET and the body of a
// POST. The API takes the token in the X-Mhost-Token header (or ?token=),
// and answers with the state (edit_state.hpp: binary with the changed
// matrices when the request accepts application/octet-stream, else JSON),
// with "error" and status 400 for an action that was refused. The state
// also holds "cache", the playback cache as the timeline shows it
// (EditCache::describe).
#pragma once

#include "edit/edit_cache.hpp"
#include "edit/edit_session.hpp"
#include "edit/edit_state.hpp"
#include "edit/http_transport.hpp"
#include "engine/scene_cook.hpp"
#include "json/json.hpp"

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace mhost {

class EditServer {
public:
    static constexpr std::size_t kMaxBody = std::size_t(1) << 20;

    // A server of session at 127.0.0.1:port, opened with token, which
    // keeps cache (when given) told of the scene's changes.
    EditServer(EditSession& session, std::string token, int port, EditCache* cache = nullptr);

    // Answers one request (the refusals above included). Never throws; the
    // caller serialises calls.
    EditResponse handle(const EditRequest& request);
    // The refusal of a request on its headers alone, before its body is
    // read: 403 as above, or 413 for a body longer than kMaxBody or of no
    // stated length (chunked). Nothing when the request may go on.
    std::optional<EditResponse> screen(const EditRequest& request) const;

    // Set once a quit was asked for and granted.
    bool quitRequested() const { return quit_; }
    // http://127.0.0.1:PORT/?token=TOKEN
    std::string address() const;

    // The paths the server answers, pages and requests.
    static std::vector<std::string> paths();

private:
    struct Route;
    static const Route kRoutes[];

    EditResponse route(const EditRequest& request);
    // The handlers of the routes; body is the request's JSON object (none
    // for a GET).
    EditResponse page(const EditRequest& request, const Json& body);
    EditResponse stateOf(const EditRequest& request, const Json& body);
    EditResponse scriptOf(const EditRequest& request, const Json& body);
    EditResponse keysOf(const EditRequest& request, const Json& body);
    EditResponse bakeOf(const EditRequest& request, const Json& body);
    EditResponse cacheOf(const EditRequest& request, const Json& body);
    EditResponse edit(const EditRequest& request, const Json& body);
    EditResponse undo(const EditRequest& request, const Json& body);
    EditResponse redo(const EditRequest& request, const Json& body);
    EditResponse save(const EditRequest& request, const Json& body);
    EditResponse reload(const EditRequest& request, const Json& body);
    EditResponse journal(const EditRequest& request, const Json& body);
    EditResponse quit(const EditRequest& request, const Json& body);
    EditResponse events(const EditRequest& request, const Json& body);
    // Runs act on the session and responds with the state and what act adds to
    // extra, or the state with the error (400; 409 for a file changed on
    // disk) when act fails. A save is the one act that changes the session
    // and not the scene (keepsScene).
    EditResponse acted(const EditRequest& request, const Json& body,
                       const std::function<void(Json& extra)>& act, bool keepsScene = false);
    // The reason a request is refused with 403, or "".
    std::string refusal(const EditRequest& request) const;
    // Adds the headers every response carries.
    static EditResponse& secure(EditResponse& response);
    // The session as the page of view is told it, with extra.
    EditResponse state(const PageView& view, const Json& extra = Json::object(), int status = 200);

    EditSession& session_;
    SceneCook cook_;
    EditCache* cache_;
    std::uint64_t sceneVersion_ = 0; // goes up when an act changed the scene
    std::string token_;
    int port_;
    std::atomic<bool> quit_{false};
};

// One server-sent event of the session's change to version.
std::string changeEvent(std::uint64_t version, std::string_view what);

} // namespace mhost

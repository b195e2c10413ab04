#include "edit/edit_server.hpp"

#include "edit/edit_downloads.hpp"
#include "engine/key_tools.hpp"
#include "output/html_viewer.hpp"
#include "support/errors.hpp"
#include "support/text.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <sys/random.h>

namespace mhost {

namespace editor {
// The page and the scripts it inlines besides the viewer's, embedded at
// build time.
extern const std::string_view kPage;
extern const std::string_view kTransform;
extern const std::string_view kHub;
extern const std::string_view kRequests;
extern const std::string_view kNodeList;
extern const std::string_view kPane;
extern const std::string_view kViewport;
extern const std::string_view kTimeline;
extern const std::string_view kEditor;
} // namespace editor

namespace {

bool constantTimeEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

std::string header(const EditRequest& request, const std::string& name) {
    const auto found = request.headers.find(name);
    return found == request.headers.end() ? std::string() : found->second;
}

EditResponse jsonResponse(int status, const Json& body) {
    EditResponse response;
    response.status = status;
    // A message may quote bytes of the request that are not UTF-8.
    response.body = body.dump(-1, ' ', false, Json::error_handler_t::replace);
    return response;
}

EditResponse errorResponse(int status, const std::string& message) {
    return jsonResponse(status, Json{{"error", message}});
}

// The request body as a JSON object (an empty body is an empty object).
Json bodyObject(const EditRequest& request) {
    if (request.body.empty())
        return Json::object();
    Json body = parseJson(request.body, "the request");
    if (!body.is_object())
        throw InputError("the request must be a JSON object, not " + describeJsonKind(body));
    return body;
}

} // namespace

EditServer::EditServer(EditSession& session, std::string token, int port, EditCache* cache)
    : session_(session), cook_(session.scene()), cache_(cache), token_(std::move(token)),
      port_(port) {}

std::string EditServer::address() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/?token=" + token_;
}

std::string EditServer::refusal(const EditRequest& request) const {
    const std::string port = std::to_string(port_);
    const std::string host = header(request, "host");
    if (host != "127.0.0.1:" + port && host != "localhost:" + port)
        return "this session answers only to Host 127.0.0.1:" + port;
    const auto origin = request.headers.find("origin");
    if (origin != request.headers.end() && origin->second != "http://" + host)
        return "requests from another origin are refused";
    std::string given = header(request, "x-mhost-token");
    if (given.empty())
        if (const auto q = request.query.find("token"); q != request.query.end())
            given = q->second;
    if (!constantTimeEqual(given, token_))
        return "this session needs its token (the address mhost edit printed)";
    return {};
}

EditResponse EditServer::state(const PageView& view, const Json& extra, int status) {
    const int frame = viewFrame(session_, view);
    session_.setTime(session_.scene().timeline().time(frame));
    StateAnswer answer = describeSession(session_, cook_, view);
    answer.state.update(extra);
    if (cache_)
        cache_->noteRequest(sceneVersion_, frame);
    answer.state["cache"] = cache_ ? cache_->describe(sceneVersion_) : EditCache::describeOff();
    EditResponse response;
    response.status = status;
    response.body = encodeState(answer, cook_, view.binary);
    if (view.binary)
        response.contentType = "application/octet-stream";
    return response;
}

std::optional<EditResponse> EditServer::screen(const EditRequest& request) const {
    EditResponse refused;
    if (const std::string why = refusal(request); !why.empty())
        return secure(refused = errorResponse(403, why));
    const std::string length = header(request, "content-length");
    const bool tooLong =
        !length.empty() &&
        (length.size() > 9 || !std::all_of(length.begin(), length.end(), ::isdigit) ||
         std::stoull(length) > kMaxBody);
    if (!header(request, "transfer-encoding").empty() || tooLong || request.body.size() > kMaxBody)
        return secure(refused = errorResponse(413, "a request body may hold at most " +
                                                       std::to_string(kMaxBody) +
                                                       " bytes, its length given"));
    return std::nullopt;
}

EditResponse& EditServer::secure(EditResponse& response) {
    // The token is in the page's address: it goes nowhere else.
    response.headers["Referrer-Policy"] = "no-referrer";
    response.headers["X-Content-Type-Options"] = "nosniff";
    response.headers["X-Frame-Options"] = "DENY";
    response.headers["Cache-Control"] = "no-store";
    return response;
}

EditResponse EditServer::handle(const EditRequest& request) {
    const auto started = std::chrono::steady_clock::now();
    EditResponse response;
    try {
        if (std::optional<EditResponse> refused = screen(request))
            response = std::move(*refused);
        else
            response = route(request);
    } catch (const std::exception& e) {
        response = errorResponse(500, e.what());
    }
    // How long the session took to answer, as browsers' tools show it.
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count();
    response.headers["Server-Timing"] = "session;dur=" + formatFixed(ms, 3);
    return secure(response);
}

// The server's pages and requests, one row each: path, method and what
// answers it. A POST acts on the session; once it has quit, no POST does.
struct EditServer::Route {
    const char* path;
    const char* method; // "GET" (which HEAD requests as well) or "POST"
    EditResponse (EditServer::*answer)(const EditRequest& request, const Json& body);
};

const EditServer::Route EditServer::kRoutes[] = {
    {"/", "GET", &EditServer::page},
    {"/api/state", "GET", &EditServer::stateOf},
    {"/api/script", "GET", &EditServer::scriptOf},
    {"/api/keys", "GET", &EditServer::keysOf},
    {"/api/bake.usda", "GET", &EditServer::bakeOf},
    {"/api/cache", "GET", &EditServer::cacheOf},
    {"/api/edit", "POST", &EditServer::edit},
    {"/api/undo", "POST", &EditServer::undo},
    {"/api/redo", "POST", &EditServer::redo},
    {"/api/save", "POST", &EditServer::save},
    {"/api/reload", "POST", &EditServer::reload},
    {"/api/journal", "POST", &EditServer::journal},
    {"/api/quit", "POST", &EditServer::quit},
    // Answered as a stream by serveEditSession; here, to a request that is
    // not one, with what it would have started with.
    {"/api/events", "GET", &EditServer::events},
};

std::vector<std::string> EditServer::paths() {
    std::vector<std::string> out;
    for (const Route& route : kRoutes)
        out.emplace_back(route.path);
    return out;
}

EditResponse EditServer::route(const EditRequest& request) {
    const Route* route = nullptr;
    for (const Route& r : kRoutes)
        if (request.path == r.path)
            route = &r;
    if (route == nullptr)
        return errorResponse(404, "no such page: " + request.path);
    const bool get = std::string_view(route->method) == "GET";
    const bool asked =
        get ? request.method == "GET" || request.method == "HEAD" : request.method == route->method;
    if (!asked) {
        EditResponse r = errorResponse(405, request.path + " takes " + route->method);
        r.headers["Allow"] = route->method;
        return r;
    }
    if (get)
        return (this->*route->answer)(request, Json());
    if (quit_)
        return errorResponse(410, "the session has ended");
    Json body;
    try {
        body = bodyObject(request);
    } catch (const Failure& failure) {
        return errorResponse(400, failure.what());
    }
    return (this->*route->answer)(request, body);
}

EditResponse EditServer::page(const EditRequest&, const Json&) {
    EditResponse page;
    page.contentType = "text/html; charset=utf-8";
    page.body = fillMarkers(editor::kPage, {{"@TITLE@", escapeXml(session_.path())},
                                            {"/*@THREE@*/", viewer::kThree},
                                            {"/*@ORBIT@*/", viewer::kOrbit},
                                            {"/*@TRANSFORM@*/", editor::kTransform},
                                            {"/*@SCENEVIEW@*/", viewer::kSceneView},
                                            {"/*@HUB@*/", editor::kHub},
                                            {"/*@REQUESTS@*/", editor::kRequests},
                                            {"/*@NODELIST@*/", editor::kNodeList},
                                            {"/*@PANE@*/", editor::kPane},
                                            {"/*@VIEWPORT@*/", editor::kViewport},
                                            {"/*@TIMELINE@*/", editor::kTimeline},
                                            {"/*@EDITOR@*/", editor::kEditor}});
    return page;
}

EditResponse EditServer::stateOf(const EditRequest& request, const Json&) {
    return state(pageViewOf(request.query, header(request, "accept")));
}

EditResponse EditServer::scriptOf(const EditRequest&, const Json&) {
    // Indented, as the file a user keeps.
    EditResponse script;
    script.status = 200;
    script.body = formatJson(session_.script());
    script.headers["Content-Disposition"] = "attachment; filename=\"edits.json\"";
    return script;
}

EditResponse EditServer::bakeOf(const EditRequest&, const Json&) {
    EditResponse bake;
    try {
        bake.body = timelineBakeAsUsd(session_.scene(), session_.path());
    } catch (const Failure& failure) {
        return errorResponse(400, failure.what());
    }
    bake.contentType = "model/vnd.usda";
    std::string file = std::filesystem::path(session_.path()).stem().string();
    for (char& c : file)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.')
            c = '_';
    bake.headers["Content-Disposition"] = "attachment; filename=\"" + file + ".usda\"";
    return bake;
}

EditResponse EditServer::cacheOf(const EditRequest& request, const Json&) {
    const std::optional<int> frame = pageViewOf(request.query, "").frame;
    if (!frame)
        return errorResponse(400, "/api/cache needs ?frame=F, a whole frame number");
    std::optional<std::string> bytes =
        cache_ ? cache_->frameBytes(*frame, sceneVersion_) : std::nullopt;
    if (!bytes)
        return errorResponse(404, "frame " + std::to_string(*frame) + " is not cached");
    EditResponse matrices;
    matrices.contentType = "application/octet-stream";
    matrices.body = std::move(*bytes);
    matrices.headers["X-Mhost-Structure"] = std::to_string(cook_.structure());
    return matrices;
}

EditResponse EditServer::keysOf(const EditRequest& request, const Json&) {
    const auto node = request.query.find("node");
    if (node == request.query.end())
        return errorResponse(400, "/api/keys needs ?node=NAME, a keyed node");
    EditResponse keys;
    try {
        keys.body = formatJson(keyLibrary(session_.scene().node(node->second)));
    } catch (const Failure& failure) {
        return errorResponse(400, failure.what());
    }
    // The node's name in the file's name, restricted to characters every file
    // system and HTTP header accepts.
    std::string file = node->second;
    for (char& c : file)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.')
            c = '_';
    keys.headers["Content-Disposition"] = "attachment; filename=\"" + file + ".keys.json\"";
    return keys;
}

EditResponse EditServer::acted(const EditRequest& request, const Json& body,
                               const std::function<void(Json& extra)>& act, bool keepsScene) {
    const PageView view = pageViewOf(body, header(request, "accept"));
    const std::uint64_t before = session_.version();
    // Whatever act does, a change of the session's version is one of the
    // scene's unless act only saves it.
    const auto note = [&] {
        if (session_.version() != before && !keepsScene)
            ++sceneVersion_;
    };
    // An edit is made at the page's time: a set of a keyframed parameter
    // keys it there, a pose puts the node there.
    session_.setTime(session_.scene().timeline().time(viewFrame(session_, view)));
    Json extra = Json::object();
    try {
        act(extra);
        note();
    } catch (const Failure& failure) {
        note();
        Json refused{{"error", failure.what()}};
        // A file changed on disk is a conflict the page resolves: reload
        // it, or overwrite it.
        const bool changed = failure.kind() == FailureKind::Changed;
        if (changed)
            refused["changed"] = true;
        return state(view, refused, changed ? 409 : 400);
    }
    return state(view, extra);
}

EditResponse EditServer::edit(const EditRequest& request, const Json& body) {
    return acted(request, body, [&](Json& extra) {
        const auto edit = body.find("edit");
        if (edit == body.end())
            throw InputError("missing field \"edit\"");
        const auto merge = body.find("merge");
        const EditSession::Outcome outcome =
            session_.apply(*edit, merge != body.end() && *merge == true);
        extra["warnings"] = outcome.warnings;
    });
}

EditResponse EditServer::undo(const EditRequest& request, const Json& body) {
    return acted(request, body, [&](Json& extra) { extra["done"] = session_.undo(); });
}

EditResponse EditServer::redo(const EditRequest& request, const Json& body) {
    return acted(request, body, [&](Json& extra) { extra["done"] = session_.redo(); });
}

EditResponse EditServer::save(const EditRequest& request, const Json& body) {
    return acted(
        request, body,
        [&](Json& extra) {
            const auto overwrite = body.find("overwrite");
            session_.save(overwrite != body.end() && *overwrite == true);
            extra["saved"] = session_.path();
        },
        true);
}

EditResponse EditServer::reload(const EditRequest& request, const Json& body) {
    return acted(request, body, [&](Json& extra) {
        const auto reapply = body.find("reapply");
        const EditSession::Reloaded outcome =
            session_.reload(reapply != body.end() && *reapply == true);
        extra["reapplied"] = outcome.reapplied;
        extra["dropped"] = outcome.dropped;
    });
}

EditResponse EditServer::journal(const EditRequest& request, const Json& body) {
    return acted(request, body, [&](Json& extra) {
        if (body.value("recover", false)) {
            const EditSession::Reloaded outcome = session_.recoverJournal();
            extra["reapplied"] = outcome.reapplied;
            extra["dropped"] = outcome.dropped;
        } else if (body.value("discard", false)) {
            session_.discardJournal();
        } else {
            throw InputError("/api/journal takes {\"recover\": true} or {\"discard\": true}");
        }
    });
}

EditResponse EditServer::events(const EditRequest&, const Json&) {
    EditResponse first;
    first.contentType = "text/event-stream";
    first.body = changeEvent(session_.version(), "state");
    return first;
}

std::string changeEvent(std::uint64_t version, std::string_view what) {
    return "event: change\ndata: " + Json{{"version", version}, {"what", what}}.dump() + "\n\n";
}

EditResponse EditServer::quit(const EditRequest&, const Json& body) {
    const auto discard = body.find("discard");
    if (session_.unsaved() && !(discard != body.end() && *discard == true))
        return errorResponse(409, "the scene has unsaved edits");
    quit_ = true;
    return jsonResponse(200, Json{{"quit", true}});
}

} // namespace mhost

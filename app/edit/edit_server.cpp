#include "edit/edit_server.hpp"

#include "edit/parm_pane.hpp"
#include "engine/evaluation.hpp"
#include "engine/key_tools.hpp"
#include "engine/keyed_node.hpp"
#include "engine/scene_io.hpp"
#include "output/html_viewer.hpp"
#include "output/svg_plot.hpp"
#include "support/errors.hpp"
#include "support/process.hpp"
#include "support/text.hpp"

#include <OP/OP_Operator.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <thread>

namespace mhost {

namespace editor {
// The page and the script it inlines besides the viewer's, embedded at
// build time.
extern const std::string_view kPage;
extern const std::string_view kTransform;
} // namespace editor

namespace {

Json matrixArray(const Matrix16& m) {
    Json list = Json::array();
    for (double v : m)
        list.push_back(numberToJson(v));
    return list;
}

bool hasVisibleParm(const OP_Node& node, const char* token) {
    const PRM_Parm* parm = node.findParm(token);
    return parm != nullptr && parm->isVisible();
}

// The selected keyed node's local transform against its driver, across its
// keys, for the plot beside the viewport.
Json plotOf(OBJ_Node& node, float time) {
    const std::vector<KeyMark> keys = readActiveKeys(node);
    if (keys.empty())
        return nullptr;
    auto [low, high] = std::minmax_element(keys.begin(), keys.end(),
                                           [](auto& a, auto& b) { return a.driver < b.driver; });
    double from = low->driver, to = high->driver;
    if (!(to > from)) {
        from -= 1.0;
        to += 1.0;
    }
    const double margin = (to - from) * 0.1;
    const EvalReport report =
        sweepDriver(node, time, SweepRange::checked(from - margin, to + margin, 64));
    PlotLayout layout;
    const std::string svg = renderSweepSvg(report, &layout);
    Json drivers = Json::array();
    for (const CookResult& row : report.rows)
        drivers.push_back(numberToJson(row.driver.value_or(0.0)));
    Json panels = Json::array();
    for (const auto& [top, bottom] : layout.panels)
        panels.push_back({top, bottom});
    return {{"svg", svg.substr(svg.find("<svg"))},
            {"x", layout.rowX},
            {"drivers", drivers},
            {"panels", panels},
            {"driver", numberToJson(node.evalFloat(keyed::kDriver, 0, time))}};
}

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

std::string selectedIn(const Json& body) {
    const auto node = body.find("node");
    return node != body.end() && node->is_string() ? node->get<std::string>() : std::string();
}

} // namespace

Json describeSession(EditSession& session, std::string_view selected) {
    Scene& scene = session.scene();
    const float time = session.time();
    Json types = Json::array();
    OP_OperatorTable& table = scene.host().table();
    for (int i = 0; i < table.entries(); ++i) {
        const OP_Operator& op = *table.getOperator(i);
        types.push_back({{"name", op.getName()},
                         {"label", op.getEnglishName()},
                         {"inputs", op.getMaxInputs()}});
    }
    Json nodes = Json::array();
    OP_Node* chosen = nullptr;
    for (int i = 0; i < scene.root().getNchildren(); ++i) {
        OP_Node& node = *scene.root().getChild(i);
        if (node.getName() == selected)
            chosen = &node;
        Json inputs = Json::array();
        for (unsigned k = 0; k < node.nInputs(); ++k) {
            const OP_Node* from = node.getInput(k);
            inputs.push_back({{"label", node.labelForInput(k)},
                              {"from", from ? Json(from->getName()) : Json(nullptr)}});
        }
        Json entry{{"name", node.getName()},
                   {"type", node.getOperator()->getName()},
                   {"inputs", inputs},
                   {"object", node.castToOBJNode() != nullptr},
                   {"keyed", isKeyedNode(node)},
                   {"posable", hasVisibleParm(node, OBJ_Token::translate) &&
                                   hasVisibleParm(node, OBJ_Token::rotate)}};
        if (OBJ_Node* object = node.castToOBJNode()) {
            const CookResult cooked = cookNode(*object, time);
            entry["local"] = matrixArray(cooked.local);
            entry["world"] = matrixArray(cooked.world);
            Json warnings = Json::array();
            for (const OP_ErrorEntry& e : cooked.messages)
                warnings.push_back(e.message);
            entry["warnings"] = warnings;
        }
        nodes.push_back(std::move(entry));
    }
    Json journal = nullptr;
    if (const auto& found = session.foundJournal())
        journal = {{"path", found->path},
                   {"edits", found->edits},
                   {"changes", found->changes},
                   {"wholeScene", found->wholeScene},
                   {"started", found->started},
                   {"last", found->last},
                   {"pid", found->pid},
                   {"stopped", found->stopped},
                   {"sceneChanged", found->sceneChanged}};
    Json state{{"scene", session.path()},
               {"version", session.version()},
               {"journal", journal},
               {"unsaved", session.unsaved()},
               {"undo", session.undoable()},
               {"redo", session.redoable()},
               {"time", shortestDouble(time)},
               {"types", types},
               {"nodes", nodes},
               {"selected", chosen ? Json(chosen->getName()) : Json(nullptr)},
               {"pane", chosen ? describePane(*chosen, time) : Json(nullptr)},
               {"plot", nullptr}};
    if (chosen && chosen->castToOBJNode() && isKeyedNode(*chosen))
        state["plot"] = plotOf(*chosen->castToOBJNode(), time);
    return state;
}

namespace {

// A time of the journal's clock as the terminal shows it, local time.
std::string localTime(std::int64_t ms) {
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

} // namespace

std::string describeFoundJournal(const EditSession& session) {
    const auto& found = session.foundJournal();
    if (!found)
        return {};
    std::string text = quote(session.path()) + ": an earlier session";
    if (found->pid > 0)
        text += " (process " + std::to_string(found->pid) + ")";
    text += " ended without saving; its journal " + quote(found->path) + " holds " +
            std::to_string(found->edits) + " unsaved edit" + (found->edits == 1 ? "" : "s") +
            (found->wholeScene ? " on a scene of its own" : "") + ", from " +
            localTime(found->started) + " to " + localTime(found->last);
    if (found->sceneChanged)
        text += "; the scene changed on disk since (recovering makes each edit again where it "
                "still applies)";
    if (!found->stopped.empty())
        text += "; " + found->stopped;
    return text + ". Recover or Discard them in the page, or start with --recover or "
                  "--discard-journal.";
}

std::string randomToken() {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno != EINTR)
            throw RunError("the system gave no random bytes for the session's token");
        if (n > 0)
            got += static_cast<std::size_t>(n);
    }
    static const char digits[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += digits[b >> 4];
        token += digits[b & 15];
    }
    return token;
}

EditServer::EditServer(EditSession& session, std::string token, int port)
    : session_(session), token_(std::move(token)), port_(port) {}

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

EditResponse EditServer::state(const std::string& selected) {
    return jsonResponse(200, describeSession(session_, selected));
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
    EditResponse response;
    try {
        if (std::optional<EditResponse> refused = screen(request))
            response = std::move(*refused);
        else
            response = route(request);
    } catch (const std::exception& e) {
        response = errorResponse(500, e.what());
    }
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
                                            {"/*@SCENEVIEW@*/", viewer::kSceneView}});
    return page;
}

EditResponse EditServer::stateOf(const EditRequest& request, const Json&) {
    const auto node = request.query.find("node");
    return state(node == request.query.end() ? std::string() : node->second);
}

EditResponse EditServer::scriptOf(const EditRequest&, const Json&) {
    // Indented, as the file a user keeps.
    EditResponse script;
    script.status = 200;
    script.body = formatJson(session_.script());
    script.headers["Content-Disposition"] = "attachment; filename=\"edits.json\"";
    return script;
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

EditResponse EditServer::acted(const Json& body, const std::function<void(Json& extra)>& act) {
    const std::string selected = selectedIn(body);
    Json extra = Json::object();
    try {
        act(extra);
    } catch (const Failure& failure) {
        Json refused = describeSession(session_, selected);
        refused["error"] = failure.what();
        // A file changed on disk is a conflict the page resolves: reload
        // it, or overwrite it.
        const bool changed = failure.kind() == FailureKind::Changed;
        if (changed)
            refused["changed"] = true;
        return jsonResponse(changed ? 409 : 400, refused);
    }
    Json answer = describeSession(session_, selected);
    answer.update(extra);
    return jsonResponse(200, answer);
}

EditResponse EditServer::edit(const EditRequest&, const Json& body) {
    return acted(body, [&](Json& extra) {
        const auto edit = body.find("edit");
        if (edit == body.end())
            throw InputError("missing field \"edit\"");
        const auto merge = body.find("merge");
        const EditSession::Outcome outcome =
            session_.apply(*edit, merge != body.end() && *merge == true);
        extra["warnings"] = outcome.warnings;
    });
}

EditResponse EditServer::undo(const EditRequest&, const Json& body) {
    return acted(body, [&](Json& extra) { extra["done"] = session_.undo(); });
}

EditResponse EditServer::redo(const EditRequest&, const Json& body) {
    return acted(body, [&](Json& extra) { extra["done"] = session_.redo(); });
}

EditResponse EditServer::save(const EditRequest&, const Json& body) {
    return acted(body, [&](Json& extra) {
        const auto overwrite = body.find("overwrite");
        session_.save(overwrite != body.end() && *overwrite == true);
        extra["saved"] = session_.path();
    });
}

EditResponse EditServer::reload(const EditRequest&, const Json& body) {
    return acted(body, [&](Json& extra) {
        const auto reapply = body.find("reapply");
        const EditSession::Reloaded outcome =
            session_.reload(reapply != body.end() && *reapply == true);
        extra["reapplied"] = outcome.reapplied;
        extra["dropped"] = outcome.dropped;
    });
}

EditResponse EditServer::journal(const EditRequest&, const Json& body) {
    return acted(body, [&](Json& extra) {
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

namespace {

EditRequest fromHttplib(const httplib::Request& req) {
    EditRequest request;
    request.method = req.method;
    request.path = req.path;
    for (const auto& [name, value] : req.params)
        request.query.emplace(name, value);
    for (const auto& [name, value] : req.headers) {
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        request.headers.emplace(lower, value);
    }
    request.body = req.body;
    return request;
}

// The session's version as the pages follow it: a request that changes the
// session publishes the new version, and each page's event stream, waiting
// in next(), sends it on.
class ChangeFeed {
public:
    void publish(std::uint64_t version, std::string what) {
        {
            const std::lock_guard lock(mutex_);
            version_ = version;
            what_ = std::move(what);
        }
        changed_.notify_all();
    }
    void close() {
        {
            const std::lock_guard lock(mutex_);
            closed_ = true;
        }
        changed_.notify_all();
    }
    // The event of a version above seen (which it then becomes), waiting
    // at most `wait`: "" when none came, nothing once the feed is closed.
    std::optional<std::string> next(std::uint64_t& seen, std::chrono::seconds wait) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, wait, [&] { return closed_ || version_ > seen; });
        if (closed_)
            return std::nullopt;
        if (version_ <= seen)
            return std::string();
        seen = version_;
        return changeEvent(version_, what_);
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t version_ = 0;
    std::string what_;
    bool closed_ = false;
};

// Starts the desktop's browser on the address, not waiting for it.
void openInBrowser(const std::string& address, std::ostream& err) {
    try {
        ChildProcess::spawn("xdg-open", {address}, {.ownGroup = false, .diesWithParent = false})
            .detach();
    } catch (const Failure&) {
        err << "mhost: warning: could not start a browser (xdg-open); open the address above\n";
    }
}

} // namespace

int serveEditSession(EditSession& session, int port, bool openBrowser, std::ostream& out,
                     std::ostream& err) {
    // Signals are received by this thread alone, with sigwait: the server's
    // threads, started below, inherit the signal mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    httplib::Server http;
    http.set_payload_max_length(EditServer::kMaxBody);
    // Not the library's SO_REUSEPORT, which would let another program of
    // this user listen on the same port; close-on-exec, so that --open's
    // browser does not inherit it; and no Nagle delay, which the connections
    // inherit: the library writes a response's head and body apart, and the
    // body would wait for the client's delayed acknowledgement (40 ms).
    http.set_socket_options([](int socket) {
        const int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        ::fcntl(socket, F_SETFD, FD_CLOEXEC);
    });
    http.set_keep_alive_max_count(1000);
    // A browser keeps its connections open; at the end the server waits for
    // each to be idle this long.
    http.set_keep_alive_timeout(1);
    const int bound = port == 0 ? http.bind_to_any_port("127.0.0.1")
                                : (http.bind_to_port("127.0.0.1", port) ? port : -1);
    if (bound < 0)
        throw InputError("cannot listen on 127.0.0.1:" + std::to_string(port) +
                         " (in use? --port 0 picks a free port)");

    EditServer server(session, randomToken(), bound);
    std::mutex sessionLock;
    const pthread_t main = pthread_self();
    std::atomic<bool> quitSignalled{false};
    const auto answer = [](const EditResponse& response, httplib::Response& res) {
        res.status = response.status;
        for (const auto& [name, value] : response.headers)
            res.set_header(name, value);
        res.set_content(response.body, response.contentType);
    };
    ChangeFeed* changes = nullptr; // set once the feed below exists
    const auto handler = [&](const httplib::Request& req, httplib::Response& res) {
        EditResponse response;
        {
            const std::lock_guard<std::mutex> lock(sessionLock);
            const std::uint64_t before = session.version();
            response = server.handle(fromHttplib(req));
            if (session.version() != before && changes)
                changes->publish(session.version(), req.path.substr(req.path.rfind('/') + 1));
        }
        answer(response, res);
        if (server.quitRequested() && !quitSignalled.exchange(true))
            pthread_kill(main, SIGUSR1);
    };
    // Requests are screened on their headers before the library reads a
    // body: one without the token, or too long, costs nothing.
    http.set_pre_routing_handler([&](const httplib::Request& req, httplib::Response& res) {
        std::optional<EditResponse> refused = server.screen(fromHttplib(req));
        if (!refused)
            return httplib::Server::HandlerResponse::Unhandled;
        answer(*refused, res);
        return httplib::Server::HandlerResponse::Handled;
    });
    // Each page follows the session's changes on a stream of its own, which
    // ends with the session (the feed closed before the server stops).
    ChangeFeed feed;
    changes = &feed;
    http.Get("/api/events", [&](const httplib::Request& req, httplib::Response& res) {
        EditResponse first;
        std::uint64_t seen = 0;
        {
            const std::lock_guard<std::mutex> lock(sessionLock);
            first = server.handle(fromHttplib(req));
            seen = session.version();
        }
        if (first.status != 200)
            return answer(first, res);
        for (const auto& [name, value] : first.headers)
            res.set_header(name, value);
        res.set_chunked_content_provider(
            first.contentType,
            [&feed, seen, opening = first.body](std::size_t, httplib::DataSink& sink) mutable {
                std::string text = std::exchange(opening, std::string());
                if (text.empty()) {
                    const std::optional<std::string> event =
                        feed.next(seen, std::chrono::seconds(15));
                    if (!event) {
                        sink.done();
                        return false;
                    }
                    // A comment now and then tells a proxy the stream lives.
                    text = event->empty() ? ": still here\n\n" : *event;
                }
                return sink.write(text.data(), text.size());
            });
    });
    for (const char* pattern : {".*"}) {
        http.Get(pattern, handler);
        http.Post(pattern, handler);
        http.Put(pattern, handler);
        http.Delete(pattern, handler);
        http.Patch(pattern, handler);
        http.Options(pattern, handler);
    }
    std::atomic<bool> listening{true};
    std::thread listener([&] {
        http.listen_after_bind();
        listening = false;
    });
    // Stopping works once the server runs: the address is printed only then.
    while (!http.is_running() && listening)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!http.is_running()) {
        listener.join();
        throw RunError("the editing session's server did not start");
    }

    out << server.address() << std::endl;
    err << "mhost: editing " << quote(session.path())
        << "; open the address above (Ctrl-C or the page's Quit ends the session)\n";
    if (openBrowser)
        openInBrowser(server.address(), err);

    std::string warnedAt;   // the scene when Ctrl-C last warned of unsaved edits
    bool discarded = false; // the user chose to quit without the unsaved edits
    for (;;) {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0)
            continue;
        if (signal == SIGUSR1 && !server.quitRequested())
            continue;
        bool unsaved = false;
        std::string now;
        {
            const std::lock_guard<std::mutex> lock(sessionLock);
            unsaved = session.unsaved();
            now = unsaved ? sceneText(session.scene()) : std::string();
        }
        // A second Ctrl-C quits only when nothing changed since the warning.
        if (signal == SIGINT && unsaved && now != warnedAt) {
            err << "\nmhost: " << quote(session.path())
                << " has unsaved edits: Save in the page, or press Ctrl-C again to quit "
                   "without them\n";
            warnedAt = std::move(now);
            continue;
        }
        // The page's Quit asks before it discards; a second Ctrl-C was warned.
        discarded = signal != SIGTERM;
        if (unsaved && discarded)
            err << "mhost: quit; the unsaved edits to " << quote(session.path())
                << " were not saved\n";
        break;
    }
    feed.close();
    {
        const std::lock_guard<std::mutex> lock(sessionLock);
        // Edits nobody chose to lose stay in the journal for the next
        // session, and so does a journal this one found and left alone.
        const bool keep = session.foundJournal() || (session.unsaved() && !discarded);
        if (keep && session.unsaved())
            err << "mhost: the unsaved edits to " << quote(session.path())
                << " are kept in its journal: the next mhost edit of it offers them back\n";
        session.endJournal(!keep);
    }
    http.stop();
    listener.join();
    // Signals that came while stopping are dropped, not delivered at their
    // default action once unblocked.
    const timespec none{0, 0};
    while (sigtimedwait(&signals, nullptr, &none) > 0) {
    }
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    return kExitOk;
}

} // namespace mhost

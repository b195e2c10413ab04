// The requests and answers of an editing session, and the HTTP server that
// carries them (edit_serve.hpp).
//
// The server is cpp-httplib, which Debian builds with TLS and compression:
// linked into mhost, those libraries cost every command about 8 ms to map
// and relocate, two fifths of a whole `mhost info`. So the server lives in a
// library of its own, libmhost_http.so, in the mhost folder beside the SDK
// library, which mhost loads only to serve. This header is all the
// two share: standard types only, one compiler and one build.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace mhost {

struct EditRequest {
    std::string method; // "GET", "POST", ...
    std::string path;   // without the query
    std::map<std::string, std::string> query;
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
};

struct EditResponse {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::map<std::string, std::string> headers;
};

// An HTTP server on the loopback address. Its handlers run on its own
// threads, several at once.
class HttpTransport {
public:
    // Answers a request from its head alone, before its body is read: a
    // refusal, or none to read the body and answer it in full.
    using Screen = std::function<std::optional<EditResponse>(const EditRequest&)>;
    // Answers a whole request.
    using Handle = std::function<EditResponse(const EditRequest&)>;
    // An answer that goes on: `first`, then, when its status is 200, each
    // text next() gives (waiting as long as it must) until it gives none.
    struct Stream {
        EditResponse first;
        std::function<std::optional<std::string>()> next;
    };
    using Open = std::function<Stream(const EditRequest&)>;

    virtual ~HttpTransport() = default;
    // Binds 127.0.0.1:port (0: a free port), taking bodies of at most
    // maxBody bytes; the port bound, or -1 when it cannot be.
    virtual int bind(int port, std::size_t maxBody) = 0;
    // Before start: every request goes to screen, then GET streamPath to
    // open and any other to handle.
    virtual void route(Screen screen, Handle handle, std::string streamPath, Open open) = 0;
    // Serves on a thread of its own; false when it did not start.
    virtual bool start() = 0;
    // Stops serving and waits for that thread; the streams must have ended.
    virtual void stop() = 0;
};

// The name under which libmhost_http.so makes a transport: a function
// taking nothing and giving a new HttpTransport (owned by the caller).
inline constexpr const char* kHttpTransportFactory = "mhost_new_http_transport";

// The server, from libmhost_http.so (loaded at the first call, and kept);
// RunError when it cannot be loaded.
std::unique_ptr<HttpTransport> makeHttpTransport();

} // namespace mhost

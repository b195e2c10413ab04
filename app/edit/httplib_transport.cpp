// The editing session's HTTP server (http_transport.hpp) on cpp-httplib:
// the one source of libmhost_http.so, which mhost loads only to serve.
#include "edit/http_transport.hpp"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

using mhost::EditRequest;
using mhost::EditResponse;

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

void answer(const EditResponse& response, httplib::Response& res) {
    res.status = response.status;
    for (const auto& [name, value] : response.headers)
        res.set_header(name, value);
    res.set_content(response.body, response.contentType);
}

class HttplibTransport final : public mhost::HttpTransport {
public:
    int bind(int port, std::size_t maxBody) override {
        http_.set_payload_max_length(maxBody);
        // Not the library's SO_REUSEPORT, which would let another program of
        // this user listen on the same port; close-on-exec, so that a browser
        // mhost starts does not inherit it; and no Nagle delay, which the
        // connections inherit: the library writes a response's head and body
        // apart, and the body would wait for the client's delayed
        // acknowledgement (40 ms).
        http_.set_socket_options([](int socket) {
            const int yes = 1;
            ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
            ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
            ::fcntl(socket, F_SETFD, FD_CLOEXEC);
        });
        http_.set_keep_alive_max_count(1000);
        // A browser keeps its connections open; at the end the server waits
        // for each to be idle this long.
        http_.set_keep_alive_timeout(1);
        return port == 0 ? http_.bind_to_any_port("127.0.0.1")
                         : (http_.bind_to_port("127.0.0.1", port) ? port : -1);
    }

    void route(Screen screen, Handle handle, std::string streamPath, Open open) override {
        // Screened on the head, before the library reads a body: a request
        // refused costs nothing more.
        http_.set_pre_routing_handler(
            [screen = std::move(screen)](const httplib::Request& req, httplib::Response& res) {
                const std::optional<EditResponse> refused = screen(fromHttplib(req));
                if (!refused)
                    return httplib::Server::HandlerResponse::Unhandled;
                answer(*refused, res);
                return httplib::Server::HandlerResponse::Handled;
            });
        // First, so that it comes before the catch-all GET.
        http_.Get(streamPath, [open = std::move(open)](const httplib::Request& req,
                                                       httplib::Response& res) {
            Stream stream = open(fromHttplib(req));
            if (stream.first.status != 200)
                return answer(stream.first, res);
            for (const auto& [name, value] : stream.first.headers)
                res.set_header(name, value);
            res.set_chunked_content_provider(
                stream.first.contentType,
                [next = std::move(stream.next), opening = std::move(stream.first.body)](
                    std::size_t, httplib::DataSink& sink) mutable {
                    std::optional<std::string> text = std::exchange(opening, std::string());
                    if (text->empty())
                        text = next();
                    if (!text) {
                        sink.done();
                        return false;
                    }
                    return sink.write(text->data(), text->size());
                });
        });
        const auto handler = [handle = std::move(handle)](const httplib::Request& req,
                                                          httplib::Response& res) {
            answer(handle(fromHttplib(req)), res);
        };
        const char* const any = ".*";
        http_.Get(any, handler);
        http_.Post(any, handler);
        http_.Put(any, handler);
        http_.Delete(any, handler);
        http_.Patch(any, handler);
        http_.Options(any, handler);
    }

    bool start() override {
        listener_ = std::thread([this] {
            http_.listen_after_bind();
            listening_ = false;
        });
        // Stopping works once the server runs.
        while (!http_.is_running() && listening_)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (http_.is_running())
            return true;
        listener_.join();
        return false;
    }

    void stop() override {
        http_.stop();
        if (listener_.joinable())
            listener_.join();
    }

    ~HttplibTransport() override { stop(); }

private:
    httplib::Server http_;
    std::thread listener_;
    std::atomic<bool> listening_{true};
};

} // namespace

extern "C" __attribute__((visibility("default"))) mhost::HttpTransport* mhost_new_http_transport() {
    return new HttplibTransport;
}

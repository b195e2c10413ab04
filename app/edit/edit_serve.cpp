#include "edit/edit_serve.hpp"

#include "edit/http_transport.hpp"
#include "engine/scene_io.hpp"
#include "support/errors.hpp"
#include "support/process.hpp"
#include "support/text.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sys/random.h>
#include <thread>

namespace mhost {

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

namespace {

// The session's version as the pages follow it: a request that changes the
// session publishes the new version, and each page's event stream, waiting
// in next(), sends it on; and likewise the playback cache's progress.
class ChangeFeed {
public:
    // What the timeline shows of the cache now (EditCache::describe).
    void publishCache(const Json& cache) {
        {
            const std::lock_guard lock(mutex_);
            ++cacheSeq_;
            cache_ = "event: cache\ndata: " + cache.dump() + "\n\n";
        }
        changed_.notify_all();
    }
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
    // The event of a version above seen, or else of the cache's progress
    // after seenCache (each then becomes the latest), waiting at most
    // `wait`: "" when none came, nothing once the feed is closed.
    std::optional<std::string> next(std::uint64_t& seen, std::uint64_t& seenCache,
                                    std::chrono::seconds wait) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, wait,
                          [&] { return closed_ || version_ > seen || cacheSeq_ > seenCache; });
        if (closed_)
            return std::nullopt;
        if (version_ > seen) {
            seen = version_;
            return changeEvent(version_, what_);
        }
        if (cacheSeq_ > seenCache) {
            seenCache = cacheSeq_;
            return cache_;
        }
        return std::string();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t version_ = 0;
    std::string what_;
    std::uint64_t cacheSeq_ = 0;
    std::string cache_;
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

// Waits for the signal that ends the session: SIGTERM, the page's Quit
// (SIGUSR1), or Ctrl-C, twice when there are unsaved edits. Whether the
// user chose to quit without the unsaved edits.
bool waitForQuit(EditSession& session, const EditServer& server, std::mutex& sessionLock,
                 const sigset_t& signals, std::ostream& err) {
    std::string warnedAt; // the scene when Ctrl-C last warned of unsaved edits
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
        const bool discarded = signal != SIGTERM;
        if (unsaved && discarded)
            err << "mhost: quit; the unsaved edits to " << quote(session.path())
                << " were not saved\n";
        return discarded;
    }
}

} // namespace

int serveEditSession(EditSession& session, const ServeOptions& options, std::ostream& out,
                     std::ostream& err) {
    const int port = options.port;
    // Signals are received by this thread alone, with sigwait: the server's
    // threads, started below, inherit the signal mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    // A session that never served ends as one with nothing unsaved: its
    // journal goes, unless it is one an earlier session left.
    const auto unserved = [&session] { session.endJournal(!session.foundJournal()); };
    std::unique_ptr<HttpTransport> http;
    try {
        http = makeHttpTransport();
    } catch (const Failure&) {
        unserved();
        throw;
    }
    const int bound = http->bind(port, EditServer::kMaxBody);
    if (bound < 0) {
        unserved();
        throw InputError("cannot listen on 127.0.0.1:" + std::to_string(port) +
                         " (in use? --port 0 picks a free port)");
    }

    // Made while the signals are blocked: the cache's threads inherit it.
    EditCache cache(options.cacheBytes);
    EditServer server(session, randomToken(), bound, &cache);
    std::mutex sessionLock;
    const pthread_t main = pthread_self();
    std::atomic<bool> quitSignalled{false};
    // Each page follows the session's changes on a stream of its own, which
    // ends with the session (the feed closed before the server stops).
    ChangeFeed feed;
    const auto handle = [&](const EditRequest& request) {
        EditResponse response;
        {
            const std::lock_guard<std::mutex> lock(sessionLock);
            const std::uint64_t before = session.version();
            response = server.handle(request);
            if (session.version() != before)
                feed.publish(session.version(), request.path.substr(request.path.rfind('/') + 1));
        }
        if (server.quitRequested() && !quitSignalled.exchange(true))
            pthread_kill(main, SIGUSR1);
        return response;
    };
    const auto open = [&](const EditRequest& request) {
        HttpTransport::Stream stream;
        std::uint64_t seen = 0;
        {
            const std::lock_guard<std::mutex> lock(sessionLock);
            stream.first = server.handle(request);
            seen = session.version();
        }
        stream.next = [&feed, seen, seenCache = std::uint64_t(0)]() mutable {
            std::optional<std::string> event = feed.next(seen, seenCache, std::chrono::seconds(15));
            // A comment now and then tells a proxy the stream lives.
            if (event && event->empty())
                event = ": still here\n\n";
            return event;
        };
        return stream;
    };
    http->route([&](const EditRequest& request) { return server.screen(request); }, handle,
                "/api/events", open);

    // The server's handlers and the keeper below use the objects above:
    // whatever way this returns, both stop before those go.
    std::thread keeper;
    const auto stopServing = [&] {
        cache.stop();
        if (keeper.joinable())
            keeper.join();
        feed.close();
    };
    bool discarded = false; // the user chose to quit without the unsaved edits
    bool announced = false;
    try {
        if (!http->start())
            throw RunError("the editing session's server did not start");
        // The playback cache's keeper: the fill stopped when the scene
        // changes, started again once the session settles, its progress
        // told the pages.
        keeper = std::thread([&] {
            while (cache.waitForWork(std::chrono::milliseconds(50)))
                if (const std::optional<Json> progress = cache.tend(session, sessionLock))
                    feed.publishCache(*progress);
        });
        out << server.address() << std::endl;
        announced = true;
        err << "mhost: editing " << quote(session.path())
            << "; open the address above (Ctrl-C or the page's Quit ends the session)\n";
        if (options.openBrowser)
            openInBrowser(server.address(), err);
        discarded = waitForQuit(session, server, sessionLock, signals, err);
    } catch (...) {
        stopServing();
        http->stop();
        if (!announced)
            unserved(); // else the journal keeps every edit
        throw;
    }
    stopServing();
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
    http->stop();
    // Signals that came while stopping are dropped, not delivered at their
    // default action once unblocked.
    const timespec none{0, 0};
    while (sigtimedwait(&signals, nullptr, &none) > 0) {
    }
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    return kExitOk;
}

} // namespace mhost

#include "validate.hpp"

#include "errors.hpp"
#include "file_io.hpp"
#include "host_session.hpp"
#include "json_file.hpp"
#include "report_format.hpp"
#include "validate_checks.hpp"

#include <OP/OP_DSOLoader.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <random>
#include <sstream>

#include <fcntl.h>
#include <fnmatch.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace mhost {

namespace {

using validation::Check;

enum class Status { Pass, Fail, Skip, Crash };

const char* statusName(Status status) {
    switch (status) {
    case Status::Pass:
        return "pass";
    case Status::Fail:
        return "fail";
    case Status::Skip:
        return "skip";
    case Status::Crash:
        return "crash";
    }
    return "?";
}

struct Outcome {
    Status status = Status::Pass;
    std::string details;
    double seconds = 0.0;
};

struct Result {
    const Check* check;
    Outcome outcome;
};

// --- Choosing checks -----------------------------------------------------------

// A pattern with a wildcard is a glob over the whole name; a plain word
// matches anywhere in it ("cook" picks every cooking check).
bool matches(const std::string& pattern, const char* name) {
    const bool glob = pattern.find_first_of("*?[") != std::string::npos;
    const std::string whole = glob ? pattern : "*" + pattern + "*";
    return fnmatch(whole.c_str(), name, 0) == 0;
}

std::vector<const Check*> chosenChecks(const ValidateOptions& o) {
    const auto all = validation::checks();
    for (const auto* patterns : {&o.include, &o.exclude})
        for (const std::string& pattern : *patterns)
            if (std::none_of(all.begin(), all.end(),
                             [&](const Check& c) { return matches(pattern, c.name); }))
                throw InputError("the pattern " + quote(pattern) +
                                 " matches no check (see mhost validate --list-tests)");
    std::vector<const Check*> chosen;
    for (const Check& check : all) {
        const auto hit = [&](const std::string& p) { return matches(p, check.name); };
        if (!o.include.empty() && std::none_of(o.include.begin(), o.include.end(), hit))
            continue;
        if (std::any_of(o.exclude.begin(), o.exclude.end(), hit))
            continue;
        chosen.push_back(&check);
    }
    return chosen;
}

// The module file a MODULE argument names: a path, or a file name found in
// the module search path.
std::string moduleFile(const std::string& module) {
    namespace fs = std::filesystem;
    std::string path = module;
    if (module.find('/') == std::string::npos) {
        path = OP_DSOLoader::find(module);
        if (path.empty())
            throw InputError("module " + quote(module) +
                             ": no such file in the module search path (give a path to "
                             "validate a file elsewhere)");
    }
    std::error_code ec;
    if (!fs::is_regular_file(path, ec))
        throw InputError("module " + quote(module) + ": no such file");
    return path;
}

// --- Running one check ---------------------------------------------------------

std::uint64_t nameHash(const char* name) {
    std::uint64_t h = 1469598103934665603ull; // FNV-1a
    for (; *name; ++name)
        h = (h ^ static_cast<unsigned char>(*name)) * 1099511628211ull;
    return h;
}

// Runs the check in this process. Every check gets a host of its own, and a
// random source of its own, so that --include replays one check alone.
Outcome runHere(const Check& check, const std::string& module, std::uint64_t seed) {
    Host host;
    validation::Subject subject{
        host, module, {}, seed, std::mt19937_64(seed ^ nameHash(check.name))};
    try {
        if (check.needsModule) {
            host.loadModule(module);
            for (const std::string& type : host.loader().modules().back().types)
                subject.types.push_back(host.table().getOperator(type.c_str()));
        }
        check.run(subject);
        return {Status::Pass, ""};
    } catch (const validation::CheckSkipped& e) {
        return {Status::Skip, e.what()};
    } catch (const validation::CheckFailed& e) {
        return {Status::Fail, e.what()};
    } catch (const Failure& e) {
        return {Status::Fail, e.what()};
    } catch (const std::exception& e) {
        return {Status::Fail, std::string("the module threw: ") + e.what()};
    } catch (...) {
        return {Status::Fail, "the module threw an exception that is not a std::exception"};
    }
}

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

std::string signalText(int signal) {
    const char* name = sigabbrev_np(signal);
    const char* description = strsignal(signal);
    return "signal " + std::to_string(signal) + (name ? " (SIG" + std::string(name) : " (") +
           (description ? std::string(name ? ", " : "") + description : "") + ")";
}

// The last lines the child wrote to standard error, for a crash report.
std::string tail(const std::string& text) {
    constexpr std::size_t kKeep = 2000;
    std::string kept = text.size() > kKeep ? "..." + text.substr(text.size() - kKeep) : text;
    while (!kept.empty() && (kept.back() == '\n' || kept.back() == ' '))
        kept.pop_back();
    return kept;
}

// Runs the check in a child process: its result comes back through a pipe,
// and what it writes to standard error through another. A child that dies
// or outlives the time limit is reported as such.
Outcome runInChild(const Check& check, const std::string& module, std::uint64_t seed,
                   double timeout) {
    int result[2], errors[2];
    if (::pipe2(result, O_CLOEXEC) != 0 || ::pipe2(errors, O_CLOEXEC) != 0)
        throw RunError(std::string("cannot make a pipe: ") + std::strerror(errno));
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0)
        throw RunError(std::string("cannot start a process: ") + std::strerror(errno));
    if (pid == 0) {
        // The child: standard output is the report's, not the module's.
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, STDOUT_FILENO);
        ::dup2(errors[1], STDERR_FILENO);
        const Outcome o = runHere(check, module, seed);
        writeAll(result[1], std::string(statusName(o.status)) + '\n' + o.details);
        ::_exit(0);
    }
    ::close(result[1]);
    ::close(errors[1]);

    std::string reported, written;
    pollfd fds[2] = {{result[0], POLLIN, 0}, {errors[0], POLLIN, 0}};
    std::string* into[2] = {&reported, &written};
    int open = 2;
    bool timedOut = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        const int ready = ::poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                into[i]->append(buffer, static_cast<std::size_t>(n));
                if (into[i] == &written && written.size() > 65536)
                    written.erase(0, written.size() - 8192);
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    if (timedOut)
        ::kill(pid, SIGKILL);
    for (const pollfd& fd : fds)
        if (fd.fd >= 0)
            ::close(fd.fd);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }

    const std::string stderrTail = tail(written);
    const std::string more = stderrTail.empty() ? "" : "; its last words: " + stderrTail;
    if (timedOut)
        return {Status::Fail, "did not finish within " + formatShortest(timeout) +
                                  " s (stopped; a hang, or --timeout is too short)" + more};
    if (WIFSIGNALED(status))
        return {Status::Crash,
                "the check's process was killed by " + signalText(WTERMSIG(status)) + more};
    const std::size_t newline = reported.find('\n');
    if (newline == std::string::npos || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {Status::Crash, "the check's process ended (exit status " +
                                   std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) +
                                   ") without a result" + more};
    const std::string name = reported.substr(0, newline);
    for (const Status s : {Status::Pass, Status::Fail, Status::Skip, Status::Crash})
        if (name == statusName(s))
            return {s, reported.substr(newline + 1)};
    return {Status::Crash, "the check's process sent no readable result" + more};
}

// --- Reports -------------------------------------------------------------------

struct Tally {
    int pass = 0, fail = 0, skip = 0, crash = 0;
    explicit Tally(const std::vector<Result>& results) {
        for (const Result& r : results) {
            switch (r.outcome.status) {
            case Status::Pass:
                ++pass;
                break;
            case Status::Fail:
                ++fail;
                break;
            case Status::Skip:
                ++skip;
                break;
            case Status::Crash:
                ++crash;
                break;
            }
        }
    }
};

std::string seconds(double s) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(3) << s;
    return text.str();
}

void printText(const std::string& module, std::uint64_t seed, const std::vector<Result>& results,
               std::ostream& out) {
    out << "Validating " << module << " (seed " << seed << ")\n";
    std::size_t width = 0;
    for (const Result& r : results)
        width = std::max(width, std::strlen(r.check->name));
    for (const Result& r : results) {
        out << "  " << std::left << std::setw(6) << statusName(r.outcome.status)
            << std::setw(static_cast<int>(width) + 2) << r.check->name << seconds(r.outcome.seconds)
            << " s\n";
        if (!r.outcome.details.empty())
            out << "         " << r.outcome.details << '\n';
    }
    const Tally t(results);
    out << results.size() << " checks: " << t.pass << " passed, " << t.fail << " failed, " << t.skip
        << " skipped, " << t.crash << " crashed";
    if (t.fail + t.crash > 0)
        out << "; mhost validate " << module << " --seed " << seed << " repeats this run";
    out << "\n";
}

Json jsonReport(const std::string& module, std::uint64_t seed, const std::vector<Result>& results) {
    Json tests = Json::array();
    for (const Result& r : results)
        tests.push_back({{"name", r.check->name},
                         {"status", statusName(r.outcome.status)},
                         {"details", r.outcome.details},
                         {"seconds", r.outcome.seconds}});
    return {{"module", module}, {"seed", seed}, {"tests", tests}};
}

std::string junitReport(const std::vector<std::pair<std::string, std::vector<Result>>>& runs) {
    std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n";
    for (const auto& [module, results] : runs) {
        const Tally t(results);
        double total = 0.0;
        for (const Result& r : results)
            total += r.outcome.seconds;
        const std::string suite = std::filesystem::path(module).filename().string();
        x += "  <testsuite name=\"" + escapeXml(suite) + "\" tests=\"" +
             std::to_string(results.size()) + "\" failures=\"" + std::to_string(t.fail) +
             "\" errors=\"" + std::to_string(t.crash) + "\" skipped=\"" + std::to_string(t.skip) +
             "\" time=\"" + seconds(total) + "\">\n";
        for (const Result& r : results) {
            x += "    <testcase classname=\"" + escapeXml(suite) + "\" name=\"" +
                 escapeXml(r.check->name) + "\" time=\"" + seconds(r.outcome.seconds) + "\"";
            const std::string details = escapeXml(r.outcome.details);
            switch (r.outcome.status) {
            case Status::Pass:
                x += "/>\n";
                continue;
            case Status::Fail:
                x += ">\n      <failure message=\"" + details + "\">" + details + "</failure>\n";
                break;
            case Status::Crash:
                x += ">\n      <error type=\"crash\" message=\"" + details + "\">" + details +
                     "</error>\n";
                break;
            case Status::Skip:
                x += ">\n      <skipped message=\"" + details + "\"/>\n";
                break;
            }
            x += "    </testcase>\n";
        }
        x += "  </testsuite>\n";
    }
    return x + "</testsuites>\n";
}

std::uint64_t randomSeed() {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32 | device()) % 1000000000000ull;
}

} // namespace

int runValidate(const ValidateOptions& o, std::ostream& out) {
    const std::vector<const Check*> chosen = chosenChecks(o);
    if (o.listTests) {
        for (const Check* check : chosen)
            out << check->name << "  " << check->sentence << '\n';
        return kExitOk;
    }
    if (o.modules.empty())
        throw InputError("name at least one module to validate");
    if (!(o.timeout > 0.0))
        throw InputError("--timeout must be a positive number of seconds");
    std::vector<std::string> files;
    for (const std::string& module : o.modules)
        files.push_back(moduleFile(module));
    if (!o.junit.empty())
        resolveOutputFile(o.junit);

    const std::uint64_t seed = o.seed ? *o.seed : randomSeed();
    std::vector<std::pair<std::string, std::vector<Result>>> runs;
    bool anyBad = false;
    for (const std::string& file : files) {
        std::vector<Result> results;
        bool loads = true;
        for (const Check* check : chosen) {
            if (check->needsModule && !loads) {
                results.push_back(
                    {check, {Status::Skip, "the module does not load (see \"loads\")"}});
                continue;
            }
            const auto start = std::chrono::steady_clock::now();
            Outcome outcome = o.inProcess ? runHere(*check, file, seed)
                                          : runInChild(*check, file, seed, o.timeout);
            outcome.seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (!check->needsModule && outcome.status != Status::Pass)
                loads = false;
            anyBad = anyBad || outcome.status == Status::Fail || outcome.status == Status::Crash;
            results.push_back({check, std::move(outcome)});
        }
        if (o.json)
            out << jsonReport(file, seed, results).dump() << '\n';
        else
            printText(file, seed, results, out);
        out.flush();
        runs.emplace_back(file, std::move(results));
    }
    if (!o.junit.empty())
        writeFileAtomically(o.junit, junitReport(runs));
    return anyBad ? kExitRunFailure : kExitOk;
}

} // namespace mhost

#include "validate/runner.hpp"

#include "engine/host_session.hpp"
#include "support/errors.hpp"
#include "support/output_file.hpp"
#include "support/process.hpp"
#include "support/text.hpp"
#include "validate/checks.hpp"
#include "json/json.hpp"

#include <OP/OP_DSOLoader.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <new>
#include <random>
#include <sstream>

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/resource.h>
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
    if (chosen.empty())
        throw InputError("--include and --exclude leave no check to run (see mhost validate "
                         "--list-tests)");
    return chosen;
}

} // namespace

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

namespace {

// --- Running one check ---------------------------------------------------------

std::uint64_t nameHash(const char* name) {
    std::uint64_t h = 1469598103934665603ull; // FNV-1a
    for (; *name; ++name)
        h = (h ^ static_cast<unsigned char>(*name)) * 1099511628211ull;
    return h;
}

// Runs the check in this process. Every check gets a host of its own, and a
// random source of its own, so that --include replays one check alone.
// outOfMemory, when given, is the report of an allocation that fails.
Outcome runHere(const Check& check, const std::string& module, std::uint64_t seed,
                const std::string& outOfMemory = "") {
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
    } catch (const std::bad_alloc& e) {
        return {Status::Fail,
                outOfMemory.empty() ? std::string("the module threw: ") + e.what() : outOfMemory};
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

// The limits a check's process runs under.
struct Limits {
    double timeout;       // wall-clock seconds, kept by the parent
    std::uint64_t memory; // bytes mapped beyond the process's size at fork
    double cpu;           // CPU seconds
};

std::string sizeText(std::uint64_t bytes) {
    if (bytes >= (std::uint64_t(1) << 30) && bytes % (std::uint64_t(1) << 30) == 0)
        return std::to_string(bytes >> 30) + " GiB";
    if (bytes >= (std::uint64_t(1) << 20) && bytes % (std::uint64_t(1) << 20) == 0)
        return std::to_string(bytes >> 20) + " MiB";
    return std::to_string(bytes) + " bytes";
}

std::string memoryLimitText(const Limits& limits) {
    return "ran out of memory at the check's limit of " + sizeText(limits.memory) +
           " (--memory-limit)";
}

// Sets up the check's process (its group, and its death with mhost, are
// handled by the process layer); returns what failed, or "" when all is set.
std::string prepareChild(int errorsPipe, const Limits& limits) {
    const auto failed = [](const char* what) {
        return std::string(what) + ": " + std::strerror(errno);
    };
    // Standard output is the report's, not the module's.
    const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devnull < 0)
        return failed("cannot open /dev/null");
    if (::dup2(devnull, STDOUT_FILENO) < 0 || ::dup2(errorsPipe, STDERR_FILENO) < 0)
        return failed("cannot redirect standard output and error");
    ::close(devnull);
    // The memory limit counts from what the process already maps (the
    // host's own libraries; a sanitizer's shadow memory, terabytes of
    // reserved address space, where there is one).
    std::uint64_t mapped = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "re")) {
        unsigned long long pages = 0;
        if (std::fscanf(statm, "%llu", &pages) == 1)
            mapped = pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
        std::fclose(statm);
    }
    const rlimit memory{mapped + limits.memory, mapped + limits.memory};
    if (::setrlimit(RLIMIT_AS, &memory) != 0)
        return failed("cannot set the memory limit (RLIMIT_AS)");
    // SIGXCPU at the limit; SIGKILL a second later should it be caught.
    const auto cpuSeconds = static_cast<rlim_t>(std::ceil(limits.cpu));
    const rlimit cpu{cpuSeconds, cpuSeconds + 1};
    if (::setrlimit(RLIMIT_CPU, &cpu) != 0)
        return failed("cannot set the CPU-time limit (RLIMIT_CPU)");
    return "";
}

// Whether what the check's process wrote says it ran out of memory (a
// sanitizer's allocator reports and dies rather than throwing bad_alloc).
bool saysOutOfMemory(const std::string& written) {
    for (const char* words : {"out of memory", "failed to allocate", "std::bad_alloc"})
        if (written.find(words) != std::string::npos)
            return true;
    return false;
}

// Runs the check in a child process of its own group, which dies with
// mhost: its result comes back through a pipe, and what it writes to
// standard error through another. A child that dies, exceeds the time
// limit or reaches one of its limits is reported as such; its group is
// killed when it ends, so nothing it started outlives it.
Outcome runInChild(const Check& check, const std::string& module, std::uint64_t seed,
                   const Limits& limits) {
    Pipe result, errors;
    ChildProcess child = ChildProcess::fork({.ownGroup = true, .diesWithParent = true}, [&] {
        Outcome o;
        if (const std::string failure = prepareChild(errors.write, limits); !failure.empty()) {
            o = {Status::Fail, "the check could not start: " + failure};
        } else {
            o = runHere(check, module, seed, memoryLimitText(limits));
        }
        writeAll(result.write, std::string(statusName(o.status)) + '\n' + o.details);
        return 0;
    });
    result.closeWrite();
    errors.closeWrite();
    std::vector<Capture> captures(2);
    captures[0].fd = result.read;
    captures[1].fd = errors.read;
    captures[1].keep = 8192;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(limits.timeout));
    const bool timedOut = collectUntilEnd(child, captures, deadline);
    const int status = child.wait();
    const std::string& reported = captures[0].text;
    const std::string& written = captures[1].text;

    const std::string stderrTail = tail(written);
    const std::string more = stderrTail.empty() ? "" : "; its last words: " + stderrTail;
    if (timedOut)
        return {Status::Fail, "did not finish within " + formatShortest(limits.timeout) +
                                  " s (stopped; a hang, or --timeout is too short)" + more};
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU)
        return {Status::Fail, "used up the check's CPU-time limit of " +
                                  formatShortest(std::ceil(limits.cpu)) +
                                  " s (stopped; a hang, or --cpu-limit is too short)" + more};
    const std::size_t newline = reported.find('\n');
    const bool noResult = newline == std::string::npos;
    if (noResult && saysOutOfMemory(written))
        return {Status::Fail, memoryLimitText(limits) + more};
    if (WIFSIGNALED(status))
        return {Status::Crash,
                "the check's process was killed by " + signalText(WTERMSIG(status)) + more};
    if (noResult || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
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

void planValidateFiles(const ValidateOptions& o, FilePlan& plan) {
    for (const std::string& module : o.modules)
        plan.reads(moduleFile(module), "MODULE");
    plan.writes(o.junit, "--junit");
}

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
    if (o.cpuLimit && !(*o.cpuLimit > 0.0 && *o.cpuLimit < 1e9))
        throw InputError("--cpu-limit must be a positive number of seconds");
    if (o.memoryLimit < (std::uint64_t(1) << 20))
        throw InputError("--memory-limit must be at least 1 MiB");
    // A hang on one thread spends CPU time as fast as wall time, so a CPU limit
    // equal to the timeout would race it; one second more leaves a one-thread
    // hang to the wall clock and the CPU limit to work spread over threads.
    const Limits limits{o.timeout, o.memoryLimit, o.cpuLimit.value_or(o.timeout + 1.0)};
    std::vector<std::string> files;
    for (const std::string& module : o.modules)
        files.push_back(moduleFile(module));

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
            Outcome outcome =
                o.inProcess ? runHere(*check, file, seed) : runInChild(*check, file, seed, limits);
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

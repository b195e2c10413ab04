// mhost validate, run as a module author runs it: against modules that
// behave and against small modules that misbehave one way each.
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <thread>

namespace mhost {
namespace {

using test::describe;
using test::jsonLines;
using test::readFile;
using test::runMhost;
using test::RunResult;
using test::TempDir;

std::string misbehaving(const std::string& fault) {
    return std::string(MHOST_MISBEHAVING_MODULE_DIR) + "/bad_" + fault + ".so";
}

// One module's report: each check's status and details by name.
struct Report {
    RunResult run;
    std::uint64_t seed = 0;
    std::map<std::string, std::pair<std::string, std::string>> tests;

    const std::string& status(const std::string& name) const { return tests.at(name).first; }
    const std::string& details(const std::string& name) const { return tests.at(name).second; }
};

Report validate(const std::string& module, std::vector<std::string> extra = {}) {
    const TempDir dir;
    std::vector<std::string> args = {"validate", module, "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    Report report;
    report.run = runMhost(args, dir.path());
    const auto docs = jsonLines(report.run.out);
    if (docs.size() != 1) {
        ADD_FAILURE() << "expected one JSON document: " << describe(report.run);
        return report;
    }
    EXPECT_EQ(docs[0]["module"], module);
    report.seed = docs[0]["seed"].get<std::uint64_t>();
    for (const auto& t : docs[0]["tests"]) {
        EXPECT_TRUE(t["seconds"].is_number());
        report.tests[t["name"]] = {t["status"], t["details"]};
    }
    return report;
}

TEST(Validate, TheQuenloModuleAndTheTemplateModulePassEveryCheck) {
    REQUIRE_MODULE();
    for (const std::string& module : {test::modulePath(), std::string(MHOST_TEMPLATE_MODULE)}) {
        const Report r = validate(module);
        EXPECT_EQ(r.run.status, 0) << describe(r.run);
        EXPECT_GE(r.tests.size(), 10u);
        for (const auto& [name, result] : r.tests) {
            // The template has no button to press.
            const bool skipped = name == "presses-buttons" && module == MHOST_TEMPLATE_MODULE;
            EXPECT_EQ(result.first, skipped ? "skip" : "pass")
                << module << ": " << name << ": " << result.second;
        }
    }
}

TEST(Validate, ACrashWhileRegisteringIsReportedAndTheOtherChecksAreSkipped) {
    const Report r = validate(misbehaving("crash_in_register"));
    EXPECT_EQ(r.run.status, 1) << describe(r.run);
    EXPECT_EQ(r.status("loads"), "crash");
    // "SIGSEGV" from the signal, or "SEGV" in a sanitizer's report.
    EXPECT_NE(r.details("loads").find("SEGV"), std::string::npos) << r.details("loads");
    for (const auto& [name, result] : r.tests) {
        if (name != "loads") {
            EXPECT_EQ(result.first, "skip") << name;
        }
    }
}

TEST(Validate, ACrashWhileCookingIsACrashOfEachCookingCheckAndTheRunGoesOn) {
    const Report r = validate(misbehaving("crash_in_cook"));
    EXPECT_EQ(r.run.status, 1) << describe(r.run);
    EXPECT_EQ(r.status("loads"), "pass");
    EXPECT_EQ(r.status("registers-types"), "pass");
    EXPECT_EQ(r.status("templates-well-formed"), "pass");
    for (const char* cooking : {"cooks-with-defaults", "cooks-with-random-values",
                                "cooks-deterministically", "time-independent-unless-flagged"}) {
        EXPECT_EQ(r.status(cooking), "crash") << cooking;
        EXPECT_NE(r.details(cooking).find("SEGV"), std::string::npos) << r.details(cooking);
    }
}

TEST(Validate, ATransformThatOverflowsForFiniteValuesFailsNamingTheParameterAndSeed) {
    const Report r = validate(misbehaving("nonfinite"), {"--seed", "4242"});
    EXPECT_EQ(r.run.status, 1) << describe(r.run);
    EXPECT_EQ(r.seed, 4242u);
    // "lift" is 0 by default: the defaults cook.
    EXPECT_EQ(r.status("cooks-with-defaults"), "pass") << r.details("cooks-with-defaults");
    EXPECT_EQ(r.status("cooks-with-random-values"), "fail");
    const std::string& details = r.details("cooks-with-random-values");
    for (const char* part : {"type \"nonfinite\"", "parameter \"lift\" = ", "seed 4242"})
        EXPECT_NE(details.find(part), std::string::npos) << part << " in: " << details;

    // The same seed gives the same run.
    const Report again = validate(misbehaving("nonfinite"), {"--seed", "4242"});
    EXPECT_EQ(again.details("cooks-with-random-values"), details);
}

TEST(Validate, AModuleForAnotherInterfaceVersionFailsToLoad) {
    const Report r = validate(misbehaving("wrong_version"));
    EXPECT_EQ(r.run.status, 1) << describe(r.run);
    EXPECT_EQ(r.status("loads"), "fail");
    EXPECT_NE(r.details("loads").find("\"8.0\""), std::string::npos) << r.details("loads");
    EXPECT_EQ(r.status("cooks-with-defaults"), "skip");
}

TEST(Validate, ACookThatThrowsFailsWithTheExceptionsMessage) {
    const Report r = validate(misbehaving("throws"), {"--include", "cooks-with-defaults"});
    EXPECT_EQ(r.run.status, 1) << describe(r.run);
    ASSERT_EQ(r.tests.size(), 1u);
    EXPECT_EQ(r.status("cooks-with-defaults"), "fail");
    EXPECT_NE(r.details("cooks-with-defaults").find("a cook that throws"), std::string::npos)
        << r.details("cooks-with-defaults");
}

TEST(Validate, ACookThatHangsIsStoppedAtTheTimeLimit) {
    const Report r = validate(misbehaving("hangs_on_nan"),
                              {"--include", "survives-hostile-values", "--timeout", "2"});
    EXPECT_EQ(r.run.status, 1) << describe(r.run);
    EXPECT_EQ(r.status("survives-hostile-values"), "fail");
    EXPECT_NE(r.details("survives-hostile-values").find("did not finish within 2 s"),
              std::string::npos)
        << r.details("survives-hostile-values");
}

// Whether the process is running (a zombie, ended but not yet reaped by
// whoever inherited it, is not).
bool running(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return false;
    const std::size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

TEST(Validate, NoProcessAModuleStartsOutlivesItsCheck) {
    const TempDir dir;
    const std::string pids = dir.file("pids");
    const RunResult r = runMhost({"validate", misbehaving("forks"), "--json", "--include",
                                  "cooks-with-defaults", "--timeout", "30"},
                                 dir.path(), MHOST_DSO_DIR, {"MHOST_TEST_PID_FILE=" + pids});
    // The check itself passes: its cooks return; the processes they started
    // held its pipes open and are stopped with it.
    EXPECT_EQ(r.status, 0) << describe(r);
    std::ifstream list(pids);
    int count = 0;
    for (int pid = 0; list >> pid; ++count) {
        // Killed, it may take a moment to be reaped by whoever inherited it.
        for (int wait = 0; wait < 100 && running(pid); ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_FALSE(running(pid)) << "process " << pid << " outlived its check";
    }
    EXPECT_GT(count, 0) << "the module started no process: " << describe(r);
}

TEST(Validate, ChecksRunUnderAMemoryAndACpuTimeLimitEachReportedByName) {
    // A module that checks sees both limits.
    const Report limited =
        validate(misbehaving("checks_limits"), {"--include", "cooks-with-defaults"});
    EXPECT_EQ(limited.run.status, 0) << describe(limited.run);
    EXPECT_EQ(limited.status("cooks-with-defaults"), "pass")
        << limited.details("cooks-with-defaults");

    const Report hog = validate(misbehaving("hogs_memory"),
                                {"--include", "cooks-with-defaults", "--memory-limit", "256MiB"});
    EXPECT_EQ(hog.run.status, 1) << describe(hog.run);
    EXPECT_EQ(hog.status("cooks-with-defaults"), "fail");
    EXPECT_NE(hog.details("cooks-with-defaults")
                  .find("ran out of memory at the check's limit of 256 MiB (--memory-limit)"),
              std::string::npos)
        << hog.details("cooks-with-defaults");

    const Report spinner = validate(misbehaving("spins"), {"--include", "cooks-with-defaults",
                                                           "--cpu-limit", "1", "--timeout", "60"});
    EXPECT_EQ(spinner.run.status, 1) << describe(spinner.run);
    EXPECT_EQ(spinner.status("cooks-with-defaults"), "fail");
    EXPECT_NE(spinner.details("cooks-with-defaults").find("CPU-time limit of 1 s (stopped"),
              std::string::npos)
        << spinner.details("cooks-with-defaults");

    // Limits that make no sense are refused before any check runs.
    const TempDir dir;
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--memory-limit", "12"},
                                                {"--memory-limit", "lots"},
                                                {"--cpu-limit", "0"},
                                                {"--cpu-limit", "-3"}}) {
        std::vector<std::string> args = {"validate", misbehaving("well_behaved")};
        args.insert(args.end(), bad.begin(), bad.end());
        const RunResult r = runMhost(args, dir.path());
        EXPECT_EQ(r.status, 2) << describe(r);
        EXPECT_NE(r.err.find(bad[0]), std::string::npos) << describe(r);
    }
}

TEST(Validate, NodesThatLeakAreFound) {
    const Report r = validate(misbehaving("leaks"), {"--include", "creates-and-destroys"});
    EXPECT_EQ(r.run.status, 1) << describe(r.run);
    EXPECT_EQ(r.status("creates-and-destroys-nodes"), "fail");
    EXPECT_NE(r.details("creates-and-destroys-nodes").find("type \"leaky\""), std::string::npos)
        << r.details("creates-and-destroys-nodes");
}

TEST(Validate, ListsEachCheckWithASentence) {
    const TempDir dir;
    const RunResult r = runMhost({"validate", "--list-tests"}, dir.path());
    ASSERT_EQ(r.status, 0) << describe(r);
    std::set<std::string> names;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t gap = line.find("  ");
        ASSERT_NE(gap, std::string::npos) << line;
        EXPECT_TRUE(names.insert(line.substr(0, gap)).second) << line;
        EXPECT_EQ(line.back(), '.') << "a sentence: " << line;
    }
    EXPECT_GE(names.size(), 10u);

    const RunResult some = runMhost(
        {"validate", "--list-tests", "--include", "cook", "--exclude", "*defaults"}, dir.path());
    EXPECT_NE(some.out.find("cooks-with-random-values"), std::string::npos) << some.out;
    EXPECT_EQ(some.out.find("cooks-with-defaults"), std::string::npos) << some.out;
    EXPECT_EQ(some.out.find("loads"), std::string::npos) << some.out;
}

TEST(Validate, BadUsageExitsTwoAndNamesWhatIsWrong) {
    const TempDir dir;
    const struct {
        std::vector<std::string> args;
        const char* expected;
    } cases[] = {
        {{"validate", "./no-such-module.so"}, "no-such-module.so"},
        {{"validate", "no-such-module.so"}, "no-such-module.so"},
        {{"validate"}, "at least one module"},
        {{"validate", "--frobnicate", misbehaving("nonfinite")}, "--frobnicate"},
        {{"validate", misbehaving("nonfinite"), "--include", "nothing-like-this"},
         "nothing-like-this"},
        {{"validate", misbehaving("nonfinite"), "--junit", dir.path().string()}, "folder"},
    };
    for (const auto& c : cases) {
        const RunResult r = runMhost(c.args, dir.path());
        EXPECT_EQ(r.status, 2) << describe(r);
        EXPECT_NE(r.err.find(c.expected), std::string::npos) << describe(r);
    }
}

TEST(Validate, WritesJUnitXmlWithAFailureOrErrorPerBadCheck) {
    const TempDir dir;
    const std::string report = dir.file("report.xml");
    const RunResult r =
        runMhost({"validate", misbehaving("crash_in_cook"), "--junit", report, "--include", "loads",
                  "--include", "cooks-with-defaults", "--include", "templates"},
                 dir.path());
    EXPECT_EQ(r.status, 1) << describe(r);
    const std::string xml = readFile(report);
    EXPECT_EQ(xml.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u) << xml;
    for (const char* part :
         {"<testsuite name=\"bad_crash_in_cook.so\" tests=\"3\" failures=\"0\" errors=\"1\" "
          "skipped=\"0\"",
          "<testcase classname=\"bad_crash_in_cook.so\" name=\"loads\"",
          "<error type=\"crash\" message=\"the check's process", "</testsuites>"})
        EXPECT_NE(xml.find(part), std::string::npos) << part << " in:\n" << xml;
}

TEST(Validate, RunsInProcessForDebugging) {
    REQUIRE_MODULE();
    const Report r = validate(test::modulePath(), {"--in-process", "--exclude", "hostile"});
    EXPECT_EQ(r.run.status, 0) << describe(r.run);
    EXPECT_EQ(r.status("cooks-with-random-values"), "pass");
}

} // namespace
} // namespace mhost

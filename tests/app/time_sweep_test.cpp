// mhost eval --time FROM:TO:STEPS: one cook per time, the driver following
// its own animation, in every output format.
#include "test_support.hpp"
#include "json/json.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace mhost {
namespace {

using test::describe;
using test::readFile;
using test::runMhost;
using test::RunResult;
using test::TempDir;

TEST(TimeSweep, CooksOneRowPerTimeWithTheAnimatedDriverInEveryFormat) {
    REQUIRE_MODULE();
    const TempDir dir;
    const RunResult json = runMhost(
        {"eval", test::rigScenePath(), "arm", "--time", "0:2:4", "--format", "json"}, dir.path());
    ASSERT_EQ(json.status, 0) << describe(json);
    const Json doc = parseJson(json.out, "stdout");
    EXPECT_EQ(doc["sweep"], "time");
    ASSERT_EQ(doc["rows"].size(), 5u) << json.out;
    for (std::size_t i = 0; i < 5; ++i) {
        const double time = 0.5 * static_cast<double>(i);
        EXPECT_DOUBLE_EQ(doc["rows"][i]["time"].get<double>(), time);
        EXPECT_DOUBLE_EQ(doc["rows"][i]["driver"].get<double>(), time / 2);
    }

    // Each row is the cook of a single eval at its time.
    const RunResult single = runMhost(
        {"eval", test::rigScenePath(), "arm", "--time", "1.5", "--format", "json"}, dir.path());
    ASSERT_EQ(single.status, 0) << describe(single);
    EXPECT_EQ(parseJson(single.out, "stdout")["rows"][0]["local"], doc["rows"][3]["local"]);

    const RunResult csv = runMhost(
        {"eval", test::rigScenePath(), "arm", "--time", "0:2:4", "--format", "csv"}, dir.path());
    ASSERT_EQ(csv.status, 0) << describe(csv);
    std::istringstream lines(csv.out);
    std::string header, row;
    std::getline(lines, header);
    EXPECT_EQ(header.rfind("time,driver,key,", 0), 0u) << header;
    int rows = 0;
    while (std::getline(lines, row))
        ++rows;
    EXPECT_EQ(rows, 5);

    const RunResult table =
        runMhost({"eval", test::rigScenePath(), "arm", "--time", "0:2:4"}, dir.path());
    ASSERT_EQ(table.status, 0) << describe(table);
    EXPECT_NE(table.out.find("from time 0 to 2"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("1.5000 0.7500"), std::string::npos) << table.out;
}

TEST(TimeSweep, ThePlotDrawsTimeOnItsAxis) {
    REQUIRE_MODULE();
    const TempDir dir;
    const RunResult r = runMhost(
        {"eval", test::rigScenePath(), "arm", "--time", "0:4:8", "--plot", dir.file("t.svg")},
        dir.path());
    ASSERT_EQ(r.status, 0) << describe(r);
    const std::string svg = readFile(dir.file("t.svg"));
    EXPECT_NE(svg.find("local transform vs time"), std::string::npos);
    // The axis runs to time 4, beyond the driver's range of 0 to 1.
    EXPECT_NE(svg.find("text-anchor=\"middle\">4.0</text>"), std::string::npos);
}

TEST(TimeSweep, BadRangesAndMixedSweepsAreRefused) {
    REQUIRE_MODULE();
    const TempDir dir;
    const struct {
        std::vector<std::string> extra;
        const char* expected;
    } cases[] = {
        {{"--time", "0:2"}, "mhost: --time \"0:2\": expected FROM:TO:STEPS"},
        {{"--time", "0:2:0"}, "mhost: --time \"0:2:0\": expected FROM:TO:STEPS"},
        {{"--time", "0:2:1.5"}, "mhost: --time \"0:2:1.5\": expected FROM:TO:STEPS"},
        {{"--time", "0:nan:4"}, "mhost: --time \"0:nan:4\""},
        {{"--time", "soon"}, "mhost: --time"},
        {{"--time", "0:2:4", "--driver", "0:1:4"}, "mhost: sweep the driver (--driver) or time"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"eval", test::rigScenePath(), "arm"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const RunResult r = runMhost(args, dir.path());
        EXPECT_EQ(r.status, 2) << describe(r);
        EXPECT_EQ(r.err.rfind(c.expected, 0), 0u) << r.err;
    }
}

} // namespace
} // namespace mhost

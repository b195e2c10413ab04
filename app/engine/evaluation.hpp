// Cooking object nodes and sweeping a keyed node's driver value.
#pragma once

#include "engine/host_session.hpp"
#include "engine/keyed_node.hpp"

#include <OP/OP_Parameters.h>

#include <array>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mhost {

using Matrix16 = std::array<double, 16>;

// The 16 entries of a matrix, row-major (translation at 12, 13, 14).
Matrix16 toArray(const UT_DMatrix4& m);

// Translate, rotate (degrees) and scale of a matrix in the node's orders.
struct Decomposed {
    std::array<double, 3> translate{0, 0, 0};
    std::array<double, 3> rotate{0, 0, 0};
    std::array<double, 3> scale{1, 1, 1};
    bool ok = false; // false when the matrix is singular
};

// One cook of a node.
struct CookResult {
    float time = 0.0f;
    std::optional<double> driver; // "driverval" at the cook time, when the node has one
    std::optional<int> key;       // the key whose driver value this is, if any
    int xformResult = 0;          // what applyInputIndependentTransform returned
    int severity = 0;             // error() after the cook
    Matrix16 local{};
    Matrix16 world{};
    Decomposed pose;
    std::vector<OP_ErrorEntry> messages; // the node's error list after the cook
};

// What `demo` and `eval` print and plot.
struct EvalReport {
    std::string node;
    std::string type;
    float time = 0.0f; // the cook time; a time sweep's first time
    enum class Sweep { None, Driver, Time } sweep = Sweep::None;
    std::string transformOrder; // menu labels of the orders the pose is given in
    std::string rotateOrder;
    std::optional<int> interp; // "interp" and "ease" of a keyed node
    std::optional<bool> ease;
    std::vector<KeyMark> keys;
    std::vector<CookResult> rows;
};

// Driver values FROM, TO and the number of equal STEPS between them.
struct SweepRange {
    double from = 0.0;
    double to = 0.0;
    int steps = 1;
    static constexpr int kMaxSteps = 100000;
    // The STEPS + 1 driver values, from FROM to TO inclusive.
    std::vector<double> values() const;
    // A range of finite ends and 1 to kMaxSteps steps; InputError otherwise.
    static SweepRange checked(double from, double to, long long steps);
};

// Cooks the node at time and collects the result.
CookResult cookNode(OBJ_Node& node, float time);

// Cooks every node at time, in order, as one run of cooks (host/private's
// OP_CookRun: a parent cooked earlier in the run is not checked again up
// its chain); returns the highest severity. Each node is prefetched
// (prefetchAhead) a few nodes before its cook: a cook reads a few kilobytes
// of its node, and a large scene would otherwise wait on memory node by node
// (BM_CookScene measures it).
OP_ERROR cookAll(std::span<OBJ_Node* const> nodes, float time);
constexpr std::size_t kCookAhead = 2;

// Before the cook of nodes[i] in a run of cooks: prefetches the object of
// the node 2 * kCookAhead places ahead, and what the cook of the one
// kCookAhead ahead reads, whose object is in the cache by then (host/private's
// OP_CookHints).
void prefetchAhead(std::span<OBJ_Node* const> nodes, std::size_t i);

// Cooks the node once at time.
EvalReport evaluateAt(OBJ_Node& node, float time);

// Cooks the node at time for each driver value of range (interrupt is called
// before each cook: see host_session.hpp), setting
// "driverval" as a user would drag it. The parameter is restored afterwards
// (keyframes included). InputError when the node has no "driverval".
EvalReport sweepDriver(OBJ_Node& node, float time, const SweepRange& range,
                       const Interrupt& interrupt = {});
// The same for component 0 of any number parameter: each row's `driver` is
// the value the parameter took (and `key` is set for "driverval" only).
EvalReport sweepParm(OBJ_Node& node, float time, const SweepRange& range, std::string_view token,
                     const Interrupt& interrupt = {});
// The same for a list of values, in order.
EvalReport sweepParmValues(OBJ_Node& node, float time, const std::vector<double>& values,
                           std::string_view token, const Interrupt& interrupt = {});

// Cooks the node at each time of range (seconds), its parameters as they
// are (an animated driver follows its channel). InputError for a time
// that is not a finite number of seconds.
EvalReport sweepTime(OBJ_Node& node, const SweepRange& times, const Interrupt& interrupt = {});

} // namespace mhost

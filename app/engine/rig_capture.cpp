#include "engine/rig_capture.hpp"

#include "support/errors.hpp"
#include "support/text.hpp"
#include "json/json.hpp"

#include <OBJ/OBJ_Node.h>

#include <algorithm>

namespace mhost {
namespace {

// A capture draws every node it cooks: one that failed to cook has no pose
// to draw, and the capture fails naming it.
void requireCooked(const OBJ_Node& node, const CookResult& cooked, const std::string& at) {
    if (cooked.severity < UT_ERROR_ABORT)
        return;
    std::string why;
    for (const OP_ErrorEntry& entry : cooked.messages)
        if (entry.severity >= UT_ERROR_ABORT) {
            why = ": " + entry.message;
            break;
        }
    throw RunError("cooking " + describeNode(node) + " failed " + at + why +
                   "; the viewer and the glTF export draw it");
}

// The node's transforms at each time, or once when times is empty (the
// node holds still).
void cookTrack(OBJ_Node& node, const std::vector<float>& times, float still, RigTrack& track,
               bool root) {
    const auto add = [&](float t) {
        const CookResult cooked = cookNode(node, t);
        requireCooked(node, cooked, "at time " + formatShortest(t));
        track.local.push_back(root ? cooked.world : cooked.local);
        track.world.push_back(cooked.world);
    };
    if (times.empty())
        add(still);
    for (const float t : times)
        add(t);
}

} // namespace

RigCapture captureRig(OBJ_Node& node, const EvalReport& report) {
    RigCapture capture;
    const bool byTime = report.sweep == EvalReport::Sweep::Time;
    std::vector<float> rowTimes;
    for (std::size_t i = 0; i < report.rows.size(); ++i) {
        rowTimes.push_back(report.rows[i].time);
        capture.times.push_back(byTime ? shortestDouble(report.rows[i].time)
                                       : static_cast<double>(i) / kDriverSampleRate);
    }
    const std::vector<float> moving = byTime ? rowTimes : std::vector<float>{};

    // The parent chain, nearest first; the network refuses cycles, and the
    // chain stops at the first input that is not an object.
    std::vector<OBJ_Node*> chain;
    for (OP_Node* p = node.getInput(0); p != nullptr && p->castToOBJNode() != nullptr;
         p = p->getInput(0)) {
        if (std::find(chain.begin(), chain.end(), p->castToOBJNode()) != chain.end())
            break;
        chain.push_back(p->castToOBJNode());
    }
    std::reverse(chain.begin(), chain.end());
    for (std::size_t i = 0; i < chain.size(); ++i) {
        RigTrack track;
        track.name = chain[i]->getName();
        track.type = chain[i]->getOperator()->getName();
        track.parent = static_cast<int>(i) - 1;
        cookTrack(*chain[i], moving, report.time, track, i == 0);
        capture.tracks.push_back(std::move(track));
    }
    if (OP_Node* d = node.nInputs() > 1 ? node.getInput(1) : nullptr; d && d->castToOBJNode()) {
        RigTrack track;
        track.name = d->getName();
        track.type = d->getOperator()->getName();
        track.role = RigTrack::Role::Dummy;
        cookTrack(*d->castToOBJNode(), moving, report.time, track, true);
        capture.tracks.push_back(std::move(track));
    }

    RigTrack swept;
    swept.name = node.getName();
    swept.type = node.getOperator()->getName();
    swept.role = RigTrack::Role::Swept;
    swept.parent = chain.empty() ? -1 : static_cast<int>(chain.size()) - 1;
    for (const CookResult& row : report.rows) {
        swept.local.push_back(chain.empty() ? row.world : row.local);
        swept.world.push_back(row.world);
    }
    capture.tracks.push_back(std::move(swept));

    if (!report.keys.empty() && isKeyedNode(node)) {
        std::vector<double> drivers;
        for (const KeyMark& key : report.keys)
            drivers.push_back(key.driver);
        const EvalReport poses = sweepParmValues(node, report.time, drivers, keyed::kDriver);
        for (std::size_t i = 0; i < poses.rows.size(); ++i) {
            requireCooked(node, poses.rows[i],
                          "at the driver value of key " + std::to_string(report.keys[i].key));
            capture.ghosts.push_back(
                {report.keys[i].key, drivers[i], poses.rows[i].local, poses.rows[i].world});
        }
    }
    return capture;
}

} // namespace mhost

#include "validate/checks.hpp"

#include "validate/check_groups.hpp"

namespace mhost::validation {

namespace {

const Check kChecks[] = {
    {"loads",
     "The module file maps, exports MorvaneDSOVersion, MorvaneGetTagInfo and "
     "newObjectOperator, gives the version \"9.0\" and a printable tag.",
     false, checkLoads},
    {"registers-types",
     "Registration adds at least one type; names are unique tokens, every type has a label, "
     "0 <= min inputs <= max inputs <= 64, and every input of a node has a label.",
     true, checkRegistration},
    {"templates-well-formed",
     "Every template list is terminated, tokens are unique, list members carry '#', no "
     "instance token repeats another token, folders hold no more than follows them, and "
     "menus are terminated with unique items.",
     true, checkTemplates},
    {"creates-and-destroys-nodes",
     "Nodes of every type are made and destroyed 600 times, chained and in several orders, "
     "and neither the host's node storage nor the heap grows.",
     true, checkCreateDestroy},
    {"cooks-with-defaults",
     "Every type cooks with its default parameters at several times, giving finite matrices "
     "and nothing worse than a warning.",
     true, checkDefaults},
    {"cooks-with-random-values",
     "With number parameters and instance counts set at random within their ranges "
     "(seeded), every cook gives finite matrices and nothing worse than a warning.",
     true, checkRandomValues},
    {"survives-hostile-values",
     "Non-finite and extreme values in every number parameter, and extreme instance counts, "
     "neither crash nor hang a cook.",
     true, checkHostileValues},
    {"presses-buttons",
     "Every button is pressed in random orders, with and without inputs wired, and each "
     "cook after a press gives finite matrices and nothing worse than a warning.",
     true, checkButtons},
    {"takes-user-edits",
     "Every parameter edited as a user edits it (its callback run), in random orders, "
     "leaves a node that cooks to finite matrices and nothing worse than a warning.",
     true, checkUserEdits},
    {"round-trips-scenes",
     "Nodes with random values, keyframes and wiring survive save, load and save byte for "
     "byte.",
     true, checkRoundTrip},
    {"cooks-deterministically",
     "Two cooks of the same state, of one node or of two, give bit-identical matrices.", true,
     checkDeterminism},
    {"time-independent-unless-flagged",
     "A node that does not flag itself time-dependent gives the same matrix at other times.", true,
     checkTimeIndependence},
};

} // namespace

std::span<const Check> checks() {
    return kChecks;
}

} // namespace mhost::validation

// Fuzz target: the script reader and runner. Any bytes are read as a script
// and its actions run on an empty scene, those that name files left out (a
// fuzzer must not write files). Bad input must end as a Failure, never a crash.
#include "engine/script.hpp"
#include "fuzz_support.hpp"
#include "support/errors.hpp"

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string_view>

namespace {

// Whether an action, as the script's document holds it, asks for more
// instances than a fuzzing run affords.
bool asksTooMuch(const mhost::Scene& scene, const mhost::Json& action) {
    if (!action.is_object())
        return false;
    // A key library holds one key per instance.
    if (action.value("op", "") == "set-keys" && action.contains("keys")) {
        const mhost::Json& library = action["keys"];
        return library.is_object() && library.contains("keys") && library["keys"].is_array() &&
               library["keys"].size() > mhost::fuzz::kMaxFuzzInstances;
    }
    if (action.value("op", "") != "set")
        return false;
    const OP_Node* node = scene.root().findNode(action.value("node", ""));
    const PRM_Parm* parm = node ? node->findParm(action.value("parm", "")) : nullptr;
    if (parm == nullptr || !parm->isMultiParm())
        return false;
    const mhost::Json& value = action["value"];
    for (const mhost::Json& v : value.is_array() ? value : mhost::Json::array({value}))
        if (!v.is_number() || !(v.get<double>() <= mhost::fuzz::kMaxFuzzInstances))
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mhost;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // The script read action by action, as mhost run reads it, must say
    // what the document's reading says: the same actions or the same error.
    std::vector<Action> actions;
    std::string refusal;
    Json document;
    try {
        document = parseJson(text, "fuzz");
        actions = parseScript(document, "fuzz");
    } catch (const Failure& failure) {
        refusal = failure.what();
    }
    try {
        const std::vector<Action> streamed = parseScriptText(text, "fuzz");
        if (!refusal.empty() || streamed.size() != actions.size())
            __builtin_trap();
        for (std::size_t i = 0; i < streamed.size(); ++i)
            if (streamed[i].index != actions[i].index || streamed[i].kind != actions[i].kind)
                __builtin_trap();
    } catch (const Failure& failure) {
        if (refusal != failure.what())
            __builtin_trap();
    }
    if (!refusal.empty())
        return 0;
    Scene scene(fuzz::host());
    std::ostringstream out;
    const Json& list = document.is_object() ? document["actions"] : document;
    for (const Action& action : actions) {
        if (action.kind->use == ActionUse::File)
            continue;
        if (asksTooMuch(scene, list[action.index]))
            return -1; // not worth keeping in the corpus
        try {
            runScript(scene, {action}, "fuzz", out);
        } catch (const Failure&) {
            return 0;
        }
        out.str("");
    }
    return 0;
}

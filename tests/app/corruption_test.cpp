// Single-edit corruptions of a saved scene and of a script, as a hand edit
// or a damaged copy makes them: every one that a strict JSON reader
// (nlohmann-json) refuses, mhost refuses too, as malformed JSON, with the
// position of the fault: at the edit, or after it but no later than where
// the strict reader stopped.
#include "engine/host_session.hpp"
#include "engine/scene_io.hpp"
#include "engine/script.hpp"
#include "support/errors.hpp"
#include "test_support.hpp"
#include "json/json.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <string_view>

namespace mhost {
namespace {

// Where nlohmann-json stops on text (bytes read), or 0 when it accepts it.
std::size_t strictRefusal(const std::string& text) {
    try {
        const nlohmann::json document = nlohmann::json::parse(text);
        (void)document;
        return 0;
    } catch (const nlohmann::json::parse_error& e) {
        return e.byte;
    }
}

// The ends of the values in text (the offset just past a number, string,
// array, object or word), found by the commas and brackets after them.
std::set<std::size_t> valueEnds(const std::string& text) {
    std::set<std::size_t> ends;
    bool inString = false;
    std::size_t last = std::string::npos; // the last character outside white space
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false, last = i;
            continue;
        }
        if (c == '"') {
            inString = true;
            continue;
        }
        if (c == ' ' || c == '\n')
            continue;
        if ((c == ',' || c == ']' || c == '}') && last != std::string::npos &&
            std::string("[{,:").find(text[last]) == std::string::npos)
            ends.insert(last + 1);
        last = i;
    }
    ends.insert(last + 1);
    return ends;
}

// Reads text as load does; returns what it threw, "" when it read it.
using Reader = std::function<void(const std::string& text)>;

std::string refusalOf(const Reader& read, const std::string& text) {
    try {
        read(text);
    } catch (const Failure& failure) {
        return failure.what();
    }
    return "";
}

struct Tally {
    int refused = 0;
    int acceptedByBoth = 0;
};

// Checks one corrupted text whose edit is at offset `edit`.
void checkCorruption(const Reader& read, const std::string& text, std::size_t edit,
                     const std::string& source, const std::string& what, Tally& tally) {
    const std::size_t strict = strictRefusal(text);
    if (strict == 0) {
        ++tally.acceptedByBoth; // a well-formed edit, such as a deleted space
        return;
    }
    const std::string message = refusalOf(read, text);
    const std::size_t at = test::offsetOf(text, message, source);
    ASSERT_NE(at, std::string::npos)
        << what << ": not refused as malformed JSON: \"" << message << "\"\n"
        << text;
    // A number is named where it starts, which may be just before the edit.
    const std::size_t lineStart = text.rfind('\n', edit == 0 ? 0 : edit - 1);
    EXPECT_GE(at + 1, lineStart == std::string::npos ? 0 : lineStart + 1)
        << what << ": " << message;
    EXPECT_LE(at, strict) << what << ": " << message << " (the strict reader stopped at byte "
                          << strict << ")";
    ++tally.refused;
}

void checkEveryCorruption(const Reader& read, const std::string& text, const std::string& source) {
    ASSERT_EQ(refusalOf(read, text), "") << "the uncorrupted text must read";
    Tally deletions;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::string corrupted = text.substr(0, i) + text.substr(i + 1);
        checkCorruption(read, corrupted, i, source, "byte " + std::to_string(i) + " deleted",
                        deletions);
        if (::testing::Test::HasFatalFailure())
            return;
    }
    // Without any one of its brackets, colons, commas or quotes, the text is
    // no longer JSON.
    const auto structural = std::count_if(text.begin(), text.end(), [](char c) {
        return std::string_view("{}[]:,\"").find(c) != std::string_view::npos;
    });
    EXPECT_GE(deletions.refused, structural);

    Tally insertions;
    int sites = 0;
    const char* values[] = {" 3", " \"x\"", " []", " {}", " null"};
    for (const std::size_t end : valueEnds(text)) {
        for (const char* value : values) {
            const std::string corrupted = text.substr(0, end) + value + text.substr(end);
            checkCorruption(read, corrupted, end, source,
                            std::string("\"") + value + "\" inserted at byte " +
                                std::to_string(end),
                            insertions);
            if (::testing::Test::HasFatalFailure())
                return;
        }
        ++sites;
    }
    // A value right after a value is never JSON.
    EXPECT_EQ(insertions.acceptedByBoth, 0);
    EXPECT_GT(sites, 50);
}

// The worked example's scene as mhost saves it, read by host.
std::string savedExample(Host& host) {
    host.loadModule(test::modulePath());
    Scene example(host);
    loadScene(example, test::rigScenePath());
    return sceneText(example);
}

TEST(Corruption, EverySingleEditOfASavedSceneThatIsNotJsonIsRefusedWithItsPosition) {
    REQUIRE_MODULE();
    Host host;
    const std::string saved = savedExample(host);
    checkEveryCorruption(
        [&](const std::string& text) {
            Scene scene(host);
            sceneFromText(scene, text, "s.json");
        },
        saved, "s.json");
}

TEST(Corruption, AFaultInTheTextIsReportedBeforeAnyFaultInWhatTheSceneSays) {
    REQUIRE_MODULE();
    Host host;
    const std::string saved = savedExample(host);
    Scene scene(host);
    sceneFromText(scene, saved, "s.json");
    const int nodes = scene.root().getNchildren();

    // An unknown type in the first node, a stray value in the last one.
    std::string text = saved;
    text.replace(text.find("\"type\": \"null\""), 14, "\"type\": \"nul\"");
    const std::size_t last = text.rfind("\"selectable\": true");
    text.insert(last + 18, " 7");
    const std::string message =
        refusalOf([&](const std::string& t) { sceneFromText(scene, t, "s.json"); }, text);
    EXPECT_EQ(test::offsetOf(text, message, "s.json"), last + 19) << message;
    // The scene read before is kept whole.
    EXPECT_EQ(scene.root().getNchildren(), nodes);
    EXPECT_EQ(sceneText(scene), saved);

    // A number beyond the double range is a fault of the text too: before
    // the stray value, it is the one named.
    text = saved;
    const std::size_t huge = text.find("\"scale\": 1.0") + 9;
    text.replace(huge, 3, "1e309");
    text.insert(text.rfind("\"selectable\": true") + 18, " 7");
    const std::string beyond =
        refusalOf([&](const std::string& t) { sceneFromText(scene, t, "s.json"); }, text);
    EXPECT_EQ(test::offsetOf(text, beyond, "s.json"), huge) << beyond;
    EXPECT_NE(beyond.find("1e309 is beyond the range of a double"), std::string::npos) << beyond;

    // A byte order mark before the document is passed over.
    Scene marked(host);
    sceneFromText(marked, "\xEF\xBB\xBF" + saved, "s.json");
    EXPECT_EQ(sceneText(marked), saved);
}

TEST(Corruption, EverySingleEditOfAScriptThatIsNotJsonIsRefusedWithItsPosition) {
    const std::string script = test::readFile(std::string(MHOST_EXAMPLES_DIR) + "/rig.json");
    checkEveryCorruption(
        [&](const std::string& text) { parseScript(parseJson(text, "r.json"), "r.json"); }, script,
        "r.json");
    // Read action by action, as mhost run reads it.
    checkEveryCorruption([&](const std::string& text) { parseScriptText(text, "r.json"); }, script,
                         "r.json");
}

TEST(Corruption, AScriptReadActionByActionSaysWhatItsDocumentSays) {
    // Faults of what the script says, in the order a document's reading
    // finds them: top-level fields before actions, the first action first.
    const char* const scripts[] = {
        R"({"actions": [{"op": "frobnicate"}], "extra": 1})",
        R"({"description": "d", "actions": [{"op": "create", "type": "null"}, {"op": 3}]})",
        R"({"description": "d"})",
        R"({"actions": 7})",
        R"("text")",
        R"([{"op": "set", "node": "q"}, {"op": "frobnicate"}])",
        R"([{"comment": "a note"}, {"op": "create", "type": "null", "name": "n"}] 3)",
        // A bad time first, a repeated key after: the text's fault comes first.
        R"([{"op": "eval", "node": "q", "time": 1e309}, {"op": "create", "name": "a", "name": "b"}])",
    };
    for (const char* text : scripts) {
        std::string expected, got;
        try {
            parseScript(parseJson(text, "s.json"), "s.json");
        } catch (const Failure& failure) {
            expected = failure.what();
        }
        try {
            parseScriptText(text, "s.json");
        } catch (const Failure& failure) {
            got = failure.what();
        }
        EXPECT_FALSE(expected.empty()) << text;
        EXPECT_EQ(got, expected) << text;
    }
    const std::vector<Action> read = parseScriptText(
        R"({"actions": [{"comment": "x"}, {"op": "create", "type": "null", "name": "n"}]})",
        "s.json");
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].index, 1u);
    EXPECT_EQ(read[0].kind, findActionKind("create"));
}

} // namespace
} // namespace mhost

#include "validate/checks.hpp"

#include "engine/scene_io.hpp"
#include "support/errors.hpp"
#include "support/text.hpp"

#include <OBJ/OBJ_Node.h>
#include <OP/OP_Operator.h>
#include <PRM/PRM_Template.h>
#include <UT/UT_BlockAllocator.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <set>
#include <sstream>

#include <malloc.h>

#if defined(__SANITIZE_ADDRESS__)
#define MHOST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MHOST_ASAN 1
#endif
#endif
#ifdef MHOST_ASAN
// The sanitizer runtime's count of the heap in use (GCC ships no header
// that declares it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace mhost::validation {

namespace {

// --- Bounds ------------------------------------------------------------------
// Lists are walked no further than this: a list without its terminator is
// reported, not followed through memory.
constexpr int kMaxListLength = 10000;
// More inputs than a network editor can show.
constexpr unsigned kMaxInputs = 64;
// Rounds of each randomized check, per type.
constexpr int kRounds = 20;
// Instance counts the randomized checks use (the hostile check goes to the
// host's maximum).
constexpr int kMaxRandomInstances = 4;

// --- Messages ----------------------------------------------------------------

std::string typeName(const OP_Operator& type) {
    return "type " + quote(type.getName());
}

[[noreturn]] void fail(const std::string& message) {
    throw CheckFailed(message);
}

// --- Nodes -------------------------------------------------------------------

// A scene for one check, with helpers that make nodes of a type with every
// input it needs wired to a "null" of the host's.
class Bench {
public:
    explicit Bench(Host& host) : scene_(host) {}

    Scene& scene() { return scene_; }

    OP_Node& make(const OP_Operator& type) {
        OP_Node* node = scene_.root().createNode(type.getName(), nullptr);
        if (node == nullptr)
            fail(typeName(type) + ": its constructor made no node");
        for (unsigned i = 0; i < type.getMinInputs(); ++i)
            node->setInput(i, &makeNull());
        return *node;
    }

    OP_Node& makeNull() {
        OP_Node* null = scene_.root().createNode("null", nullptr);
        if (null == nullptr)
            throw std::runtime_error("the host's null type made no node");
        return *null;
    }

    void destroy(OP_Node& node) { scene_.root().destroyNode(&node); }

private:
    Scene scene_;
};

OBJ_Node& object(const OP_Operator& type, OP_Node& node) {
    if (OBJ_Node* obj = node.castToOBJNode())
        return *obj;
    fail(typeName(type) + ": its nodes are not objects (OBJ_Node)");
}

bool finite(const UT_DMatrix4& m) {
    return std::all_of(m.data(), m.data() + 16, [](double v) { return std::isfinite(v); });
}

std::string errorsOf(const OP_Node& node) {
    std::string text;
    for (const OP_ErrorEntry& e : node.getErrors())
        if (e.severity > UT_ERROR_WARNING)
            text += (text.empty() ? "" : "; ") + quote(e.message) + " (severity " +
                    std::to_string(e.severity) + ")";
    return text;
}

// What went wrong with a cook, or "" when nothing did: an error above a
// warning, or a matrix that is not finite.
std::string cookProblem(OBJ_Node& node, float time) {
    OP_Context context(time);
    node.cook(context);
    if (node.error() > UT_ERROR_WARNING)
        return "the cook at time " + formatShortest(time) + " gives " + errorsOf(node);
    if (!finite(node.getLocalTransform()) || !finite(node.getWorldTransform()))
        return "the cook at time " + formatShortest(time) + " gives a matrix that is not finite";
    return "";
}

// --- Random values -----------------------------------------------------------

// One edit of a node, kept so that a failure can be replayed and named.
struct Edit {
    std::string token;
    int component;
    double value;
    bool count; // a multi-parameter's instance count
};

std::string describe(const Edit& e, const OP_Node& node) {
    const PRM_Parm* parm = node.findParm(e.token);
    const bool vector = parm && parm->getVectorSize() > 1;
    return "parameter " + quote(e.token) +
           (vector ? " component " + std::to_string(e.component) : "") + " = " +
           formatShortest(e.value);
}

std::string describe(const std::vector<Edit>& edits, const OP_Node& node) {
    std::string text;
    const std::size_t shown = std::min<std::size_t>(edits.size(), 12);
    for (std::size_t i = 0; i < shown; ++i)
        text += (i ? ", " : "") + describe(edits[i], node);
    if (shown < edits.size())
        text += " and " + std::to_string(edits.size() - shown) + " more";
    return text;
}

void applyEdits(OP_Node& node, const Edit& e) {
    const int index = node.findParmIndex(e.token);
    if (index < 0)
        return;
    if (e.count)
        node.setMultiCount(index, static_cast<int>(e.value));
    else
        node.writeValue(index, e.component, 0.0f, e.value);
}

void applyEdits(OP_Node& node, const std::vector<Edit>& edits) {
    for (const Edit& e : edits)
        applyEdits(node, e);
}

// A value in the parameter's range, or a few units either side of 0 when
// it has none; whole menu indices, toggles 0 or 1.
double randomValue(const PRM_Template& t, std::mt19937_64& random) {
    const PRM_Type type = t.getType();
    if (type.isToggle())
        return static_cast<double>(random() % 2);
    if (type.isOrdinal() && t.getChoiceListPtr()) {
        const int items = t.getChoiceListPtr()->getCount();
        return items > 0 ? static_cast<double>(random() % static_cast<unsigned>(items)) : 0.0;
    }
    double low = -10.0, high = 10.0;
    if (const PRM_Range* range = t.getRangePtr()) {
        low = range->getMin();
        high = range->getMax();
        if (!(low < high) || !std::isfinite(high - low)) {
            low = std::isfinite(low) ? low - 1.0 : -10.0;
            high = low + 2.0;
        }
    }
    const double value = std::uniform_real_distribution<double>(low, high)(random);
    return type.isOrdinal() ? std::round(value) : value;
}

// Random instance counts for every multi-parameter (lists that new
// instances bring included), then random values for every number component.
std::vector<Edit> randomize(OP_Node& node, std::mt19937_64& random) {
    std::vector<Edit> edits;
    std::set<std::string> counted;
    for (bool more = true; more;) {
        more = false;
        for (int i = 0; i < node.getParmCount(); ++i) {
            const PRM_Parm& parm = *node.getParm(i);
            if (!parm.isMultiParm() || !counted.insert(parm.getToken()).second)
                continue;
            const int count = static_cast<int>(random() % (kMaxRandomInstances + 1));
            edits.push_back({parm.getToken(), 0, static_cast<double>(count), true});
            applyEdits(node, edits.back());
            more = true;
            break; // indices moved
        }
    }
    for (int i = 0; i < node.getParmCount(); ++i) {
        const PRM_Parm& parm = *node.getParm(i);
        const PRM_Type type = parm.getType();
        if (parm.isMultiParm() || !type.holdsValue() || type.isString())
            continue;
        for (int c = 0; c < parm.getVectorSize(); ++c) {
            edits.push_back({parm.getToken(), c, randomValue(parm.getTemplate(), random), false});
            applyEdits(node, edits.back());
        }
    }
    return edits;
}

// After a randomized cook failed: the single edit that fails on its own,
// named, or all of them.
std::string culprit(Bench& bench, const OP_Operator& type, const std::vector<Edit>& edits,
                    float time, const OP_Node& failed) {
    std::vector<Edit> counts;
    for (const Edit& e : edits)
        if (e.count)
            counts.push_back(e);
    for (const Edit& e : edits) {
        if (e.count)
            continue;
        OP_Node& node = bench.make(type);
        applyEdits(node, counts);
        applyEdits(node, e);
        const bool fails = !cookProblem(object(type, node), time).empty();
        bench.destroy(node);
        if (fails)
            return describe(e, failed) +
                   (counts.empty() ? "" : " (with the instance counts below)");
    }
    return "together: " + describe(edits, failed);
}

// --- Template lists ------------------------------------------------------------

bool isTokenCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '#';
}

void checkToken(const OP_Operator& type, const char* token, const std::string& where) {
    if (token == nullptr || *token == '\0')
        fail(typeName(type) + ": " + where + " has no token");
    const std::string_view t(token);
    if (!std::all_of(t.begin(), t.end(), isTokenCharacter))
        fail(typeName(type) + ": " + where + " has the token " + quote(t) +
             " (letters, digits, '_' and '#' only)");
}

// Length of a terminated list, walked no further than kMaxListLength.
int listLength(const OP_Operator& type, const PRM_Template* list, const std::string& what) {
    for (int n = 0; n < kMaxListLength; ++n)
        if (list[n].isTerminator())
            return n;
    fail(typeName(type) + ": " + what + " has no terminator within " +
         std::to_string(kMaxListLength) + " templates");
}

void checkMenu(const OP_Operator& type, const PRM_Template& t) {
    const PRM_ChoiceList* menu = t.getChoiceListPtr();
    if (menu == nullptr)
        return;
    const std::string where = "the menu of " + quote(t.getToken());
    const PRM_Name* items = menu->getChoiceNames();
    if (items == nullptr)
        fail(typeName(type) + ": " + where + " has no items");
    std::set<std::string_view> seen;
    int n = 0;
    for (; n < kMaxListLength && items[n].getToken(); ++n) {
        if (!seen.insert(items[n].getToken()).second)
            fail(typeName(type) + ": " + where + " lists the item " + quote(items[n].getToken()) +
                 " twice");
    }
    if (n == kMaxListLength)
        fail(typeName(type) + ": " + where + " has no ending item (a null token) within " +
             std::to_string(kMaxListLength) + " items");
    if (t.getType().isOrdinal() && !t.getType().isToggle() && t.getFactoryDefaults()) {
        const int index = t.getFactoryDefaults()[0].getOrdinal();
        if (index < 0 || index >= n)
            fail(typeName(type) + ": " + quote(t.getToken()) + " defaults to menu item " +
                 std::to_string(index) + " of " + std::to_string(n));
    }
}

void checkTemplate(const OP_Operator& type, const PRM_Template& t, bool member,
                   std::set<std::string>& tokens) {
    const std::string where = member ? "a list member" : "a template";
    checkToken(type, t.getToken(), where);
    const std::string token = t.getToken();
    if (member && token.find('#') == std::string::npos)
        fail(typeName(type) + ": the list member " + quote(token) +
             " has no '#' for its instance number");
    if (!tokens.insert(token).second)
        fail(typeName(type) + ": the token " + quote(token) + " is used twice");
    if (!t.getType().isSwitcher() && (t.getVectorSize() < 1 || t.getVectorSize() > 16))
        fail(typeName(type) + ": " + quote(token) + " has " + std::to_string(t.getVectorSize()) +
             " components (1 to 16)");
    checkMenu(type, t);
    if (t.isMultiParm()) {
        const PRM_Template* members = t.getMultiParmTemplate();
        if (members == nullptr)
            fail(typeName(type) + ": the list " + quote(token) + " has no member templates");
        const int n = listLength(type, members, "the members of " + quote(token));
        std::set<std::string> memberTokens;
        for (int i = 0; i < n; ++i)
            checkTemplate(type, members[i], true, memberTokens);
    }
}

// Each switcher's folders enclose the templates that follow it; none may
// claim more than its enclosing range holds.
void checkFolders(const OP_Operator& type, const std::vector<const PRM_Template*>& flat,
                  std::size_t& pos, std::size_t end) {
    while (pos < end) {
        const PRM_Template& t = *flat[pos++];
        if (!t.getType().isSwitcher())
            continue;
        const PRM_Default* folders = t.getFactoryDefaults();
        if (t.getVectorSize() > 0 && folders == nullptr)
            fail(typeName(type) + ": the switcher " + quote(t.getToken()) +
                 " gives no folder counts");
        for (int f = 0; f < t.getVectorSize(); ++f) {
            const int count = folders[f].getOrdinal();
            if (count < 0 || pos + static_cast<std::size_t>(count) > end)
                fail(typeName(type) + ": folder " + std::to_string(f) + " of " +
                     quote(t.getToken()) + " holds " + std::to_string(count) + " templates; " +
                     std::to_string(end - pos) + " follow it");
            std::size_t inner = pos;
            checkFolders(type, flat, inner, pos + static_cast<std::size_t>(count));
            pos = inner;
        }
    }
}

// --- The checks ----------------------------------------------------------------

void checkLoads(Subject& s) {
    try {
        s.host.loadModule(s.modulePath);
    } catch (const Failure& failure) {
        fail(failure.what());
    }
    const OP_DSOModule& module = s.host.loader().modules().back();
    if (module.tag.empty())
        fail("MorvaneGetTagInfo gives an empty tag");
    if (module.tag.size() > 4096)
        fail("MorvaneGetTagInfo gives a tag of " + std::to_string(module.tag.size()) +
             " bytes (at most 4096)");
    for (std::size_t i = 0; i < module.tag.size();) {
        const unsigned char c = static_cast<unsigned char>(module.tag[i]);
        const std::size_t length = c < 0x80 ? 1 : utf8Length(module.tag, i);
        if (length == 0 || c < 0x20 || c == 0x7f)
            fail("MorvaneGetTagInfo gives a tag that is not printable UTF-8 text: " +
                 quote(module.tag));
        i += length;
    }
}

void checkRegistration(Subject& s) {
    if (s.types.empty())
        fail("newObjectOperator registers no node type");
    std::set<std::string> names;
    for (int i = 0; i < s.host.table().entries(); ++i)
        if (!names.insert(s.host.table().getOperator(i)->getName()).second)
            fail("two types are called " + quote(s.host.table().getOperator(i)->getName()));
    Bench bench(s.host);
    for (const OP_Operator* type : s.types) {
        checkToken(*type, type->getName(), "the type");
        if (type->getEnglishName()[0] == '\0')
            fail(typeName(*type) + " has no label");
        if (type->getMinInputs() > type->getMaxInputs() || type->getMaxInputs() > kMaxInputs)
            fail(typeName(*type) + " takes " + std::to_string(type->getMinInputs()) + " to " +
                 std::to_string(type->getMaxInputs()) + " inputs (at most " +
                 std::to_string(kMaxInputs) + ", the least first)");
        OP_Node& node = bench.make(*type);
        if (node.getOperator() != type)
            fail(typeName(*type) + ": its constructor made a node of another type");
        if (node.nInputs() != type->getMaxInputs())
            fail(typeName(*type) + ": its nodes have " + std::to_string(node.nInputs()) +
                 " inputs; the type says " + std::to_string(type->getMaxInputs()));
        for (unsigned i = 0; i < node.nInputs(); ++i) {
            const char* label = node.labelForInput(i);
            if (label == nullptr || *label == '\0')
                fail(typeName(*type) + ": input " + std::to_string(i) + " has no label");
        }
        object(*type, node);
    }
}

void checkTemplates(Subject& s) {
    for (const OP_Operator* type : s.types) {
        int list = 0;
        std::set<std::string> tokens;
        for (const OP_TemplatePair* pair = type->getTemplatePair(); pair;
             pair = pair->mySecond, ++list) {
            if (pair->myTemplate == nullptr)
                fail(typeName(*type) + ": template list " + std::to_string(list) + " is null");
            const int n =
                listLength(*type, pair->myTemplate, "template list " + std::to_string(list));
            for (int i = 0; i < n; ++i)
                checkTemplate(*type, pair->myTemplate[i], false, tokens);
        }
        // An instance token ("t#" made "t3") must not be a top-level token.
        for (const PRM_Template* t : type->getParmTemplates()) {
            if (!t->isMultiParm())
                continue;
            const int n = listLength(*type, t->getMultiParmTemplate(), "a member list");
            for (int m = 0; m < n; ++m) {
                const std::string member = t->getMultiParmTemplate()[m].getToken();
                for (int instance = 0; instance <= 20; ++instance) {
                    std::string made = member;
                    const std::size_t hash = made.find('#');
                    made.replace(hash, 1, std::to_string(instance));
                    if (instance > 0 && tokens.count(made))
                        fail(typeName(*type) + ": instance " + std::to_string(instance) + " of " +
                             quote(member) + " is " + quote(made) +
                             ", a token the type already has");
                }
            }
        }
        const auto& flat = type->getParmTemplates();
        std::size_t pos = 0;
        checkFolders(*type, flat, pos, flat.size());
    }
}

// Bytes of heap in use: the sanitizer's count under AddressSanitizer,
// else the C library's.
std::size_t heapBytesInUse() {
#ifdef MHOST_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

void checkCreateDestroy(Subject& s) {
    Bench bench(s.host);
    for (const OP_Operator* type : s.types) {
        const auto round = [&](int n, int order) {
            std::vector<OP_Node*> nodes;
            for (int i = 0; i < n; ++i) {
                OP_Node& node = bench.make(*type);
                if (!nodes.empty() && node.nInputs() > 0)
                    node.setInput(0, nodes.back());
                nodes.push_back(&node);
            }
            if (order == 1)
                std::reverse(nodes.begin(), nodes.end());
            else if (order == 2)
                std::shuffle(nodes.begin(), nodes.end(), s.random);
            for (OP_Node* node : nodes)
                bench.destroy(*node);
            // The nulls made for required inputs go too.
            bench.scene().root().destroyAllNodes();
        };
        round(10, 0); // warm-up: shared layouts and caches are made once
        const std::size_t storage = UT_blockBytesInUse();
        const std::size_t heap = heapBytesInUse();
        constexpr int kNodes = 10, kRepeats = 3 * kRounds;
        for (int r = 0; r < kRepeats; ++r)
            round(kNodes, r % 3);
        const std::string made =
            "after " + std::to_string(kNodes * kRepeats) + " nodes were made and destroyed";
        if (UT_blockBytesInUse() != storage)
            fail(typeName(*type) + ": " + std::to_string(UT_blockBytesInUse() - storage) +
                 " bytes of the host's node storage are not given back " + made);
        // A little slack for the C library's own bookkeeping; a leak of a
        // few bytes per node is well above it.
        const std::size_t grown = heapBytesInUse() - std::min(heapBytesInUse(), heap);
        if (grown > 1024)
            fail(typeName(*type) + ": the heap grew by " + std::to_string(grown) + " bytes " +
                 made + " (a leak of about " + std::to_string(grown / (kNodes * kRepeats)) +
                 " bytes a node)");
    }
}

constexpr float kTimes[] = {-1.0f, 0.0f, 0.5f, 1.0f, 24.5f, 1000.0f};

void checkDefaults(Subject& s) {
    Bench bench(s.host);
    for (const OP_Operator* type : s.types) {
        for (const float time : kTimes) {
            OP_Node& node = bench.make(*type);
            const std::string problem = cookProblem(object(*type, node), time);
            if (!problem.empty())
                fail(typeName(*type) + " with default parameters: " + problem);
            bench.destroy(node);
        }
    }
}

float randomTime(std::mt19937_64& random) {
    return static_cast<float>(std::uniform_real_distribution<double>(-10.0, 10.0)(random));
}

void checkRandomValues(Subject& s) {
    Bench bench(s.host);
    for (const OP_Operator* type : s.types) {
        for (int r = 0; r < kRounds; ++r) {
            OP_Node& node = bench.make(*type);
            const std::vector<Edit> edits = randomize(node, s.random);
            const float time = randomTime(s.random);
            const std::string problem = cookProblem(object(*type, node), time);
            if (!problem.empty())
                fail(typeName(*type) + ": " + problem + ", with " +
                     culprit(bench, *type, edits, time, node) + " (seed " + std::to_string(s.seed) +
                     ")");
            bench.destroy(node);
        }
    }
}

void checkHostileValues(Subject& s) {
    Bench bench(s.host);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double values[] = {nan, inf, -inf, 1e308, -1e308, 1e-308};
    for (const OP_Operator* type : s.types) {
        // Every number component at once, then each parameter alone.
        for (const double value : values) {
            OP_Node& node = bench.make(*type);
            for (int i = 0; i < node.getParmCount(); ++i) {
                const PRM_Parm& parm = *node.getParm(i);
                if (parm.isMultiParm() || !parm.getType().holdsValue() || parm.getType().isString())
                    continue;
                for (int c = 0; c < parm.getVectorSize(); ++c)
                    node.writeValue(i, c, 0.0f, value);
            }
            OP_Context context(0.0f);
            object(*type, node).cook(context);
            bench.destroy(node);
        }
        // Instance counts: none, the most the host holds, and a negative one.
        for (const int count : {0, OP_Parameters::maxMultiInstances, -5}) {
            OP_Node& node = bench.make(*type);
            for (int i = 0; i < node.getParmCount(); ++i)
                if (node.getParm(i)->isMultiParm())
                    node.setMultiCount(i, count);
            OP_Context context(1.0f);
            object(*type, node).cook(context);
            bench.destroy(node);
        }
    }
}

std::vector<std::string> buttonsOf(const OP_Node& node) {
    std::vector<std::string> buttons;
    for (int i = 0; i < node.getParmCount(); ++i)
        if (node.getParm(i)->getType().isButton())
            buttons.push_back(node.getParm(i)->getToken());
    return buttons;
}

void checkButtons(Subject& s) {
    Bench bench(s.host);
    bool anyButton = false;
    for (const OP_Operator* type : s.types) {
        for (int r = 0; r < kRounds; ++r) {
            const bool wired = r % 2 == 1;
            OP_Node& node = bench.make(*type);
            randomize(node, s.random);
            if (wired) {
                for (unsigned i = 0; i < node.nInputs(); ++i) {
                    OP_Node& input = bench.makeNull();
                    randomize(input, s.random);
                    node.setInput(i, &input);
                }
            }
            std::vector<std::string> buttons = buttonsOf(node);
            anyButton = anyButton || !buttons.empty();
            std::shuffle(buttons.begin(), buttons.end(), s.random);
            std::string pressed;
            for (const std::string& button : buttons) {
                const float time = randomTime(s.random);
                // A press may change the list (a button that adds instances).
                if (node.findParmIndex(button) < 0)
                    continue;
                node.pressButton(button.c_str(), time);
                pressed += (pressed.empty() ? "" : ", ") + quote(button);
                const std::string problem = cookProblem(object(*type, node), time);
                if (!problem.empty())
                    fail(typeName(*type) + (wired ? " with every input wired" : " unwired") +
                         ": after pressing " + pressed + ", " + problem + " (seed " +
                         std::to_string(s.seed) + ")");
            }
            bench.scene().root().destroyAllNodes();
        }
    }
    if (!anyButton)
        throw CheckSkipped("no type of the module has a button");
}

void checkUserEdits(Subject& s) {
    Bench bench(s.host);
    for (const OP_Operator* type : s.types) {
        for (int r = 0; r < kRounds; ++r) {
            OP_Node& node = bench.make(*type);
            std::vector<std::string> tokens;
            for (int i = 0; i < node.getParmCount(); ++i) {
                const PRM_Parm& parm = *node.getParm(i);
                if (parm.getType().holdsValue() && !parm.getType().isString())
                    tokens.push_back(parm.getToken());
            }
            std::shuffle(tokens.begin(), tokens.end(), s.random);
            std::string edits;
            for (const std::string& token : tokens) {
                const PRM_Parm* parm = node.findParm(token);
                if (parm == nullptr)
                    continue; // removed by an earlier edit's callback
                const int component =
                    static_cast<int>(s.random() % static_cast<unsigned>(parm->getVectorSize()));
                double value = randomValue(parm->getTemplate(), s.random);
                if (parm->isMultiParm())
                    value = static_cast<double>(s.random() % (kMaxRandomInstances + 1));
                node.setParmByUser(token.c_str(), component, 0.0f, value);
                edits += (edits.empty() ? "" : ", ") + quote(token) + " = " + formatShortest(value);
            }
            const std::string problem = cookProblem(object(*type, node), 0.0f);
            if (!problem.empty())
                fail(typeName(*type) + ": after user edits " + edits + ", " + problem + " (seed " +
                     std::to_string(s.seed) + ")");
            bench.destroy(node);
        }
    }
}

// The first line where two texts differ, for a message.
std::string firstDifference(const std::string& a, const std::string& b) {
    std::istringstream ia(a), ib(b);
    std::string la, lb;
    for (int line = 1;; ++line) {
        const bool moreA = static_cast<bool>(std::getline(ia, la));
        const bool moreB = static_cast<bool>(std::getline(ib, lb));
        if (!moreA && !moreB)
            return "the texts differ";
        if (la != lb || moreA != moreB)
            return "line " + std::to_string(line) + ": " + quote(moreA ? la : "(end)") +
                   " became " + quote(moreB ? lb : "(end)");
    }
}

void checkRoundTrip(Subject& s) {
    Bench bench(s.host);
    for (const OP_Operator* type : s.types) {
        OP_Node* previous = nullptr;
        for (int r = 0; r < 5; ++r) {
            OP_Node& node = bench.make(*type);
            randomize(node, s.random);
            // Keyframes on a few number components.
            for (int i = 0; i < node.getParmCount(); ++i) {
                const PRM_Parm& parm = *node.getParm(i);
                if (parm.getType().isFloat() && !parm.isMultiParm() && s.random() % 4 == 0)
                    node.setKeyframes(i, 0,
                                      {{0.0f, randomValue(parm.getTemplate(), s.random)},
                                       {1.5f, randomValue(parm.getTemplate(), s.random)}});
            }
            if (previous && node.nInputs() > 0)
                node.setInput(0, previous);
            previous = &node;
        }
    }
    const std::string first = sceneText(bench.scene());
    Scene loaded(s.host);
    try {
        sceneFromText(loaded, first, "the saved scene");
    } catch (const Failure& failure) {
        fail(std::string("a saved scene does not load: ") + failure.what() + " (seed " +
             std::to_string(s.seed) + ")");
    }
    const std::string second = sceneText(loaded);
    if (first != second)
        fail("save, load and save change the scene: " + firstDifference(first, second) + " (seed " +
             std::to_string(s.seed) + ")");
}

std::string firstBitDifference(const UT_DMatrix4& a, const UT_DMatrix4& b) {
    for (int i = 0; i < 16; ++i)
        if (std::memcmp(a.data() + i, b.data() + i, sizeof(double)) != 0)
            return "element " + std::to_string(i) + ": " + formatShortest(a.data()[i]) + " and " +
                   formatShortest(b.data()[i]);
    return "";
}

void checkDeterminism(Subject& s) {
    Bench bench(s.host);
    for (const OP_Operator* type : s.types) {
        for (int r = 0; r < kRounds; ++r) {
            OP_Node& a = bench.make(*type);
            const std::vector<Edit> edits = randomize(a, s.random);
            OP_Node& b = bench.make(*type);
            applyEdits(b, edits);
            const float time = randomTime(s.random);
            OP_Context context(time);
            OBJ_Node& objA = object(*type, a);
            OBJ_Node& objB = object(*type, b);
            objA.cook(context);
            const UT_DMatrix4 first = objA.getLocalTransform();
            objA.forceRecook();
            objA.cook(context);
            std::string difference = firstBitDifference(first, objA.getLocalTransform());
            if (!difference.empty())
                fail(typeName(*type) + ": two cooks of one node at time " + formatShortest(time) +
                     " differ in " + difference + ", with " + describe(edits, a) + " (seed " +
                     std::to_string(s.seed) + ")");
            objB.cook(context);
            difference = firstBitDifference(first, objB.getLocalTransform());
            if (!difference.empty())
                fail(typeName(*type) + ": two nodes with the same values differ at time " +
                     formatShortest(time) + " in " + difference + ", with " + describe(edits, a) +
                     " (seed " + std::to_string(s.seed) + ")");
            bench.scene().root().destroyAllNodes();
        }
    }
}

void checkTimeIndependence(Subject& s) {
    Bench bench(s.host);
    for (const OP_Operator* type : s.types) {
        for (int r = 0; r < kRounds; ++r) {
            OP_Node& a = bench.make(*type);
            const std::vector<Edit> edits = randomize(a, s.random);
            const float t0 = randomTime(s.random), t1 = randomTime(s.random);
            OP_Context c0(t0), c1(t1);
            OBJ_Node& objA = object(*type, a);
            objA.cook(c0);
            if (objA.flags().timeDependent == 0) {
                OP_Node& b = bench.make(*type);
                applyEdits(b, edits);
                OBJ_Node& objB = object(*type, b);
                objB.cook(c1);
                const std::string difference =
                    firstBitDifference(objA.getLocalTransform(), objB.getLocalTransform());
                if (!difference.empty())
                    fail(typeName(*type) +
                         ": a node that is not flagged time-dependent "
                         "gives another matrix at time " +
                         formatShortest(t1) + " than at " + formatShortest(t0) + ", in " +
                         difference + ", with " + describe(edits, a) + " (seed " +
                         std::to_string(s.seed) + ")");
            }
            bench.scene().root().destroyAllNodes();
        }
    }
}

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

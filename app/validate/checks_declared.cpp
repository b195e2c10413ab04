// The checks of what a module declares: that it loads, the types it
// registers and their parameter templates.
#include "validate/check_groups.hpp"

#include "support/errors.hpp"
#include "support/text.hpp"
#include "validate/check_support.hpp"

#include <cstring>
#include <set>

namespace mhost::validation {

namespace {

// Lists are walked no further than this: a list without its terminator is
// reported, not followed through memory.
constexpr int kMaxListLength = 10000;
// More inputs than a network editor can show.
constexpr unsigned kMaxInputs = 64;
// Rounds of each randomized check, per type.

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

} // namespace

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

} // namespace mhost::validation

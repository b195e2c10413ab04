#include "OP/OP_Parameters.h"

#include "OP/OP_Operator.h"
#include "UT_ReadOnlyMemory.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

PRM_ParmOwner::~PRM_ParmOwner() = default;
int PRM_ParmOwner::refreshEnableStates() {
    return 0;
}

namespace {
// Longest token resolved without allocating; longer ones fall back to a
// std::string.
constexpr std::size_t kTokenBuffer = 128;

// Writes the decimal form of v into out (room for 12 chars); returns the
// number of characters written.
inline std::size_t writeInt(int v, char* out) {
    // Instance numbers are small; the common cases need no loop.
    if (v >= 0 && v < 10) {
        out[0] = static_cast<char>('0' + v);
        return 1;
    }
    if (v >= 10 && v < 100) {
        out[0] = static_cast<char>('0' + v / 10);
        out[1] = static_cast<char>('0' + v % 10);
        return 2;
    }
    char tmp[12];
    std::size_t n = 0;
    unsigned int u = v < 0 ? 0u - static_cast<unsigned int>(v) : static_cast<unsigned int>(v);
    do {
        tmp[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    std::size_t len = 0;
    if (v < 0)
        out[len++] = '-';
    while (n)
        out[len++] = tmp[--n];
    return len;
}

// Whether a parameter's token (NUL-terminated) is exactly `probe`. Tokens
// are short; comparing them in place avoids a length count.
inline bool sameToken(const char* token, std::string_view probe) {
    for (std::size_t i = 0; i < probe.size(); ++i)
        if (token[i] != probe[i] || token[i] == '\0')
            return false;
    return token[probe.size()] == '\0';
}

// Whether a parameter's token is what `token` names with its first "#"
// replaced by `instance` (instance INT_MIN: no replacement), without
// building the text.
bool namesToken(const char* parmToken, const char* token, int instance) {
    bool replaced = instance == INT_MIN;
    for (; *token; ++token) {
        if (*token == '#' && !replaced) {
            char digits[12];
            const std::size_t n = writeInt(instance, digits);
            for (std::size_t k = 0; k < n; ++k)
                if (*parmToken++ != digits[k])
                    return false;
            replaced = true;
        } else if (*parmToken++ != *token) {
            return false;
        }
    }
    return *parmToken == '\0';
}

// The default instance count of a list template.
int defaultCount(const PRM_Template& list) {
    const PRM_Default* defaults = list.getFactoryDefaults();
    return defaults ? static_cast<int>(std::lround(defaults[0].getFloat())) : 0;
}

// FNV-1a over the token's bytes.
constexpr std::uint32_t kFnvBasis = 2166136261u;
constexpr std::uint32_t kFnvPrime = 16777619u;
inline std::uint32_t hashStep(std::uint32_t h, char c) {
    return (h ^ static_cast<unsigned char>(c)) * kFnvPrime;
}
std::uint32_t hashToken(std::string_view token) {
    std::uint32_t h = kFnvBasis;
    for (char c : token)
        h = hashStep(h, c);
    return h;
}

inline int roundToInt(double v) {
    // Within the int range: add the largest double below a half, with v's
    // sign, and truncate. A fraction of a half or more reaches the next
    // whole number away from zero (a sum just short of it rounds to it); a
    // smaller one stays short of it, the largest double below a half
    // included. One add and one conversion: int reads feed the cook's
    // orders and branches.
    if (v > double(INT_MIN) && v < double(INT_MAX)) [[likely]]
        return static_cast<int>(v + std::copysign(0.49999999999999994, v));
    return std::isnan(v) ? 0 : v > 0 ? INT_MAX : INT_MIN;
}
} // namespace

OP_Parameters::OP_Parameters(OP_Operator* op) : myOperator(op) {
    if (op) {
        const auto& templates = op->getParmTemplates();
        std::size_t size = templates.size();
        for (const PRM_Template* t : templates)
            if (t->isMultiParm())
                size +=
                    static_cast<std::size_t>(std::clamp(defaultCount(*t), 0, maxMultiInstances)) *
                    instanceSize(*t);
        myParms.reserve(size);
        for (const PRM_Template* t : templates)
            appendTemplate(t);
    }
    relayout();
    renumberOwners();
    adoptLayout();
}

OP_Parameters::~OP_Parameters() = default;

std::size_t OP_Parameters::instanceSize(const PRM_Template& list) {
    std::size_t size = 0;
    for (const PRM_Template* m = list.getMultiParmTemplate(); m && !m->isTerminator(); ++m) {
        size += 1;
        if (m->isMultiParm())
            size += static_cast<std::size_t>(std::clamp(defaultCount(*m), 0, maxMultiInstances)) *
                    instanceSize(*m);
    }
    return size;
}

void OP_Parameters::appendTemplate(const PRM_Template* tmpl) {
    myParms.emplace_back(tmpl, -1);
    if (tmpl->isMultiParm())
        appendInstances(myParms, *tmpl, {}, 1,
                        std::clamp(defaultCount(*tmpl), 0, maxMultiInstances),
                        static_cast<int>(myParms.size() - 1));
}

void OP_Parameters::appendInstances(ParmList& out, const PRM_Template& list,
                                    const std::vector<int>& path, int first, int last,
                                    int owner) const {
    const PRM_Template* members = list.getMultiParmTemplate();
    const int perInstance = PRM_Template::countTemplates(members);
    for (int inst = first; inst <= last; ++inst) {
        const PRM_InstanceTemplate* records = myOperator->instanceTemplates(&list, path, inst);
        for (int m = 0; m < perInstance; ++m) {
            out.emplace_back(&records[m], owner);
            // A list among the members comes with its default instances,
            // numbered under this instance.
            if (records[m].tmpl.isMultiParm()) {
                const int count = std::clamp(defaultCount(records[m].tmpl), 0, maxMultiInstances);
                appendInstances(out, records[m].tmpl, records[m].path, 1, count,
                                static_cast<int>(out.size() - 1));
            }
        }
    }
}

std::size_t OP_Parameters::extentOf(std::size_t index) const {
    const PRM_Parm& parm = myParms[index];
    if (!parm.isMultiParm())
        return 1;
    // Instances follow the list, member by member; a nested list's own
    // instances follow it in turn.
    const std::size_t members =
        PRM_Template::countTemplates(parm.getTemplate().getMultiParmTemplate());
    const auto instances = static_cast<std::size_t>(parm.component(0).constant);
    std::size_t end = index + 1;
    for (std::size_t k = 0; k < instances * members && end < myParms.size(); ++k)
        end += extentOf(end);
    return end - index;
}

void OP_Parameters::relayout() {
    // Parameters that still exist move their components over; new ones start
    // at their defaults. A list's count is its instances (made with it).
    std::size_t total = 0;
    for (const PRM_Parm& parm : myParms)
        total += parm.myCount;
    decltype(myComponents) components(total);
    std::size_t at = 0;
    for (PRM_Parm& parm : myParms) {
        PRM_Component* own = components.data() + at;
        if (parm.myComponents) {
            std::move(parm.myComponents, parm.myComponents + parm.myCount, own);
            parm.myComponents = own;
        } else {
            parm.myComponents = own;
            parm.revertToDefaults();
            if (parm.isMultiParm())
                own->constant = std::clamp(defaultCount(parm.getTemplate()), 0, maxMultiInstances);
        }
        at += parm.myCount;
    }
    myComponents = std::move(components);
}

void OP_Parameters::renumberOwners() {
    for (std::size_t i = 0; i < myParms.size(); ++i) {
        if (!myParms[i].isMultiParm())
            continue;
        const std::size_t members =
            PRM_Template::countTemplates(myParms[i].getTemplate().getMultiParmTemplate());
        const auto instances = static_cast<std::size_t>(myParms[i].component(0).constant);
        std::size_t member = i + 1;
        for (std::size_t k = 0; k < instances * members && member < myParms.size(); ++k) {
            myParms[member].setMultiOwner(static_cast<int>(i));
            member += extentOf(member);
        }
    }
}

void OP_Parameters::adoptLayout() {
    ++myStructureVersion;
    std::vector<int> shape;
    for (const PRM_Parm& p : myParms)
        if (p.isMultiParm())
            shape.push_back(static_cast<int>(p.component(0).constant));
    if (myOperator)
        if (auto shared = myOperator->parmLayout(shape)) {
            myLayout = std::move(shared);
            return;
        }

    // Not make_shared: the type's weak_ptr would keep a layout's memory
    // allocated after no node holds the layout any more.
    std::shared_ptr<OP_ParmLayout> layout(new OP_ParmLayout);
    layout->shape = std::move(shape);
    // At most three quarters full.
    std::size_t size = 16;
    while (size * 3 < myParms.size() * 4)
        size *= 2;
    layout->index.assign(size, OP_ParmLayout::IndexSlot{0, -1});
    const std::size_t mask = size - 1;
    for (std::size_t i = 0; i < myParms.size(); ++i) {
        const PRM_Parm& p = myParms[i];
        std::string_view token = p.getTokenView();
        if (p.getType().isTerminator() || token.empty())
            continue;
        // The first parameter of a token wins; tokens are unique in sane lists.
        const std::uint32_t h = hashToken(token);
        if (lookupIn(*layout, token, h) >= 0)
            continue;
        std::size_t slot = h & mask;
        while (layout->index[slot].parm >= 0)
            slot = (slot + 1) & mask;
        layout->index[slot] = OP_ParmLayout::IndexSlot{h, static_cast<int>(i)};
    }
    myLayout = std::move(layout);
    if (myOperator)
        myOperator->rememberParmLayout(myLayout);
}

int OP_Parameters::lookupIn(const OP_ParmLayout& layout, std::string_view token,
                            std::uint32_t hash) const {
    const std::size_t mask = layout.index.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const OP_ParmLayout::IndexSlot& s = layout.index[slot];
        if (s.parm < 0)
            return -1;
        if (s.hash == hash &&
            sameToken(myParms[static_cast<std::size_t>(s.parm)].getToken(), token))
            return s.parm;
    }
}

int OP_Parameters::lookup(std::string_view token, std::uint32_t hash) const {
    return lookupIn(*myLayout, token, hash);
}

int OP_Parameters::findParmIndex(std::string_view token) const {
    return lookup(token, hashToken(token));
}

PRM_Parm* OP_Parameters::findParm(std::string_view token) const {
    const int i = findParmIndex(token);
    return i < 0 ? nullptr : getParm(i);
}

int OP_Parameters::resolveLong(const char* token, const int* inst, int nestLevel) const {
    std::string slow;
    int used = 0;
    for (const char* d = token; *d; ++d) {
        if (*d == '#' && used < nestLevel)
            slow += std::to_string(inst[used++]);
        else
            slow += *d;
    }
    return findParmIndex(slow);
}

namespace {
// The set of a (token address, instance): Fibonacci hashing of the address's
// low 32 bits plus the instance in the upper half, as two products of
// immediates (32 bits: the tokens one node type reads lie within a few
// kilobytes of each other).
inline std::size_t setOf(const char* token, int instance, int setBits) {
    constexpr std::uint32_t kGolden = 0x9E3779B9u;
    const std::uint32_t h =
        static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(token)) * kGolden +
        static_cast<std::uint32_t>(instance) * (kGolden << 16);
    return static_cast<std::size_t>(h >> (32 - setBits));
}
// Out of line, so that a read of a plain constant tests one word.
[[gnu::noinline]] double valueOrChannel(const PRM_Component& c, float time) {
    return c.valueAt(time);
}
[[gnu::noinline]] int intValueOrChannel(const PRM_Component& c, float time) {
    return roundToInt(c.valueAt(time));
}
// A component's value at time, and that value rounded: a plain constant
// is one test; keys, or text read as a number, are not.
inline double readValue(const PRM_Component& c, float time) {
    return c.keys.holdsNothing() ? c.constant : valueOrChannel(c, time);
}
inline int readInt(const PRM_Component& c, float time) {
    return c.keys.holdsNothing() ? roundToInt(c.constant) : intValueOrChannel(c, time);
}
} // namespace

inline int OP_Parameters::resolve(const char* token, const int* inst, int nestLevel) const {
    // The common case inline: a literal token that a node of this shape
    // resolved before.
    using Layout = OP_ParmLayout;
    if (token && (!inst || nestLevel <= 1)) {
        const int instance = inst && nestLevel > 0 ? inst[0] : INT_MIN;
        const Layout::ResolvedToken* set =
            &myLayout->resolved[setOf(token, instance, Layout::kResolvedSetBits) *
                                Layout::kResolvedWays];
        for (std::size_t way = 0; way < Layout::kResolvedWays; ++way)
            if (set[way].token == token && set[way].instance == instance && set[way].fixedText)
                return set[way].parm;
    }
    return resolveAndRemember(token, inst, nestLevel);
}

int OP_Parameters::resolveAndRemember(const char* token, const int* inst, int nestLevel) const {
    using Layout = OP_ParmLayout;
    if (!token)
        return -1;
    const bool withInstance = inst && nestLevel > 0;
    // Deeper instance paths are rare enough to resolve from scratch.
    if (withInstance && nestLevel > 1)
        return resolveUncached(token, inst, nestLevel);
    const int instance = withInstance ? inst[0] : INT_MIN;

    Layout::ResolvedToken* set =
        &myLayout
             ->resolved[setOf(token, instance, Layout::kResolvedSetBits) * Layout::kResolvedWays];
    for (std::size_t way = 0; way < Layout::kResolvedWays; ++way) {
        // Text that may have been rewritten is checked against the parameter
        // it named (read-only text was handled by resolve()).
        const Layout::ResolvedToken& entry = set[way];
        if (entry.token == token && entry.instance == instance && entry.parm >= 0 &&
            namesToken(myParms[static_cast<std::size_t>(entry.parm)].getToken(), token, instance))
            return entry.parm;
    }
    const int parm = withInstance ? resolveUncached(token, inst, nestLevel) : findParmIndex(token);
    // The newest goes first; the older moves to the second way.
    set[1] = set[0];
    Layout::ResolvedToken entry{token, instance, parm};
    entry.fixedText = UT_isReadOnlyAddress(token);
    if (entry.fixedText && parm >= 0) {
        const PRM_Parm& p = myParms[static_cast<std::size_t>(parm)];
        entry.firstComponent = static_cast<int>(p.myComponents - myComponents.data());
        entry.components = p.myCount;
        myLayout->noteRead(static_cast<std::uint32_t>(entry.firstComponent),
                           static_cast<std::uint32_t>(entry.firstComponent + p.myCount));
    }
    set[0] = entry;
    return parm;
}

int OP_Parameters::resolveUncached(const char* token, const int* inst, int nestLevel) const {
    char buffer[kTokenBuffer];
    std::size_t len = 0;
    int used = 0;
    std::uint32_t h = kFnvBasis;
    for (const char* c = token; *c; ++c) {
        if (len + 13 >= kTokenBuffer)
            return resolveLong(token, inst, nestLevel);
        if (*c == '#' && used < nestLevel) {
            std::size_t n = writeInt(inst[used++], buffer + len);
            for (std::size_t k = 0; k < n; ++k)
                h = hashStep(h, buffer[len + k]);
            len += n;
        } else {
            h = hashStep(h, *c);
            buffer[len++] = *c;
        }
    }
    return lookup(std::string_view(buffer, len), h);
}

inline bool OP_Parameters::knownComponent(const char* token, int instance, int component,
                                          const PRM_Component*& found) const {
    using Layout = OP_ParmLayout;
    const Layout::ResolvedToken* entry =
        &myLayout
             ->resolved[setOf(token, instance, Layout::kResolvedSetBits) * Layout::kResolvedWays];
    static_assert(Layout::kResolvedWays == 2);
    // The common case falls straight through: the first way.
    if (entry->token != token || entry->instance != instance) [[unlikely]] {
        ++entry;
        if (entry->token != token || entry->instance != instance)
            return false;
    }
    // components is 0 for a token that is not read-only or names nothing;
    // a component out of range is the slow path's to refuse.
    if (static_cast<unsigned>(component) >= entry->components) [[unlikely]]
        return false;
    found = &myComponents.data()[static_cast<unsigned>(entry->firstComponent) +
                                 static_cast<unsigned>(component)];
    return true;
}

inline const PRM_Component* OP_Parameters::componentOf(const char* token, const int* inst,
                                                       int nestLevel, int component) const {
    const int i = resolve(token, inst, nestLevel);
    if (i < 0)
        return nullptr;
    const PRM_Parm& p = myParms[static_cast<std::size_t>(i)];
    if (component < 0 || component >= p.getVectorSize())
        return nullptr;
    return &p.component(component);
}

// Out of line, so that the fast paths below save no registers: each slow
// path is a tail call.
[[gnu::noinline]] double OP_Parameters::valueOf(const char* token, const int* inst, int component,
                                                float time, int nestLevel) const {
    const PRM_Component* c = componentOf(token, inst, nestLevel, component);
    return c ? c->valueAt(time) : 0.0;
}

[[gnu::noinline]] int OP_Parameters::intValueOf(const char* token, const int* inst, int component,
                                                float time, int nestLevel) const {
    return roundToInt(valueOf(token, inst, component, time, nestLevel));
}

// The fast paths read a read-only token with no "#" or one "#" (the usual
// reads) from the layout's cache; everything else takes valueOf.
double OP_Parameters::evalFloat(const char* token, int component, float time) const {
    const PRM_Component* c;
    if (knownComponent(token, INT_MIN, component, c)) [[likely]]
        return readValue(*c, time);
    return valueOf(token, nullptr, component, time, 0);
}

int OP_Parameters::evalInt(const char* token, int component, float time) const {
    const PRM_Component* c;
    if (knownComponent(token, INT_MIN, component, c)) [[likely]]
        return readInt(*c, time);
    return intValueOf(token, nullptr, component, time, 0);
}

std::string OP_Parameters::evalString(const char* token, int component, float) const {
    const PRM_Component* c = componentOf(token, nullptr, 0, component);
    return c ? c->text() : std::string();
}

double OP_Parameters::evalFloatInst(const char* token, const int* inst, int component, float time,
                                    int nestLevel) const {
    const PRM_Component* c;
    if (inst && nestLevel == 1 && knownComponent(token, *inst, component, c)) [[likely]]
        return readValue(*c, time);
    return valueOf(token, inst, component, time, nestLevel);
}

int OP_Parameters::evalIntInst(const char* token, const int* inst, int component, float time,
                               int nestLevel) const {
    const PRM_Component* c;
    if (inst && nestLevel == 1 && knownComponent(token, *inst, component, c)) [[likely]]
        return readInt(*c, time);
    return intValueOf(token, inst, component, time, nestLevel);
}

bool OP_Parameters::writeValue(int parmIndex, int component, float time, double value, int addKey) {
    PRM_Parm* p = getParm(parmIndex);
    if (!p || component < 0 || component >= p->getVectorSize())
        return false;
    if (p->getType().isTerminator())
        return false;
    if (p->isMultiParm()) {
        setMultiCount(parmIndex, roundToInt(value));
        return true;
    }
    PRM_Component& c = p->component(component);
    if (addKey && !c.isAnimated() && !p->getType().isString()) {
        // Turn the constant into a channel holding its value, then key it.
        c.keys.edit().push_back(UT_Keyframe{time, c.constant});
    }
    c.setAt(time, value);
    touch();
    return true;
}

bool OP_Parameters::setKeyframes(int parmIndex, int component, std::vector<UT_Keyframe> keys) {
    PRM_Parm* p = getParm(parmIndex);
    if (!p || component < 0 || component >= p->getVectorSize() || p->isMultiParm() ||
        p->getType().isString() || !p->getType().holdsValue())
        return false;
    p->component(component).setKeys(std::move(keys));
    touch();
    return true;
}

void OP_Parameters::setFloat(const char* token, int component, float time, double value,
                             int addKey) {
    writeValue(resolve(token, nullptr, 0), component, time, value, addKey);
}

void OP_Parameters::setInt(const char* token, int component, float time, int value) {
    writeValue(resolve(token, nullptr, 0), component, time, double(value));
}

void OP_Parameters::setString(const char* token, int component, float, const char* text) {
    PRM_Parm* p = getParm(resolve(token, nullptr, 0));
    if (!p || !p->getType().isString() || component < 0 || component >= p->getVectorSize())
        return;
    p->component(component).setText(text ? text : "");
    touch();
}

void OP_Parameters::setIntInst(int value, const char* token, const int* inst, int component,
                               float time, int nestLevel) {
    writeValue(resolve(token, inst, nestLevel), component, time, double(value));
}

void OP_Parameters::setFloatInst(double value, const char* token, const int* inst, int component,
                                 float time, int nestLevel) {
    writeValue(resolve(token, inst, nestLevel), component, time, value);
}

int OP_Parameters::enableParm(const char* token, int state, int component) {
    return enableParmInst(token, nullptr, state, 0, component);
}

int OP_Parameters::enableParmInst(const char* token, const int* inst, int state, int nestLevel,
                                  int) {
    PRM_Parm* p = getParm(resolve(token, inst, nestLevel));
    if (!p || !p->setEnabled(state != 0))
        return 0;
    touch();
    return 1;
}

void OP_Parameters::setMultiCount(int parmIndex, int count) {
    PRM_Parm* multi = getParm(parmIndex);
    if (!multi || !multi->isMultiParm())
        return;
    count = std::clamp(count, 0, maxMultiInstances);
    const int current = static_cast<int>(multi->component(0).constant);
    if (count == current)
        return;
    const auto index = static_cast<std::size_t>(parmIndex);
    const std::size_t end = index + extentOf(index);
    if (count < current) {
        // Drop the instances above count, nested lists' instances with them.
        const std::size_t members =
            PRM_Template::countTemplates(multi->getTemplate().getMultiParmTemplate());
        std::size_t from = index + 1;
        for (std::size_t k = 0; k < std::size_t(count) * members; ++k)
            from += extentOf(from);
        myParms.erase(myParms.begin() + static_cast<std::ptrdiff_t>(from),
                      myParms.begin() + static_cast<std::ptrdiff_t>(end));
    } else {
        ParmList added;
        added.reserve(std::size_t(count - current) * instanceSize(multi->getTemplate()));
        appendInstances(added, multi->getTemplate(), multi->getInstancePath(), current + 1, count,
                        parmIndex);
        myParms.reserve(myParms.size() + added.size());
        myParms.insert(myParms.begin() + static_cast<std::ptrdiff_t>(end), added.begin(),
                       added.end());
    }
    relayout();
    myParms[index].component(0).constant = count;
    // Everything after the changed block moved.
    renumberOwners();
    adoptLayout();
    touch();
}

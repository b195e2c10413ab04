#include "OP/OP_Parameters.h"

#include "OP/OP_Operator.h"

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

// Tokens are short; comparing them in place avoids a library call.
inline bool sameToken(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i])
            return false;
    return true;
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

int roundToInt(double v) {
    if (std::isnan(v))
        return 0;
    double r = std::round(v);
    if (r >= double(INT_MAX))
        return INT_MAX;
    if (r <= double(INT_MIN))
        return INT_MIN;
    return static_cast<int>(r);
}
} // namespace

OP_Parameters::OP_Parameters(OP_Operator* op)
    : myOperator(op), myResolveMemos(std::make_unique<ResolveMemo[]>(kResolveMemos)) {
    if (op)
        for (const PRM_Template* t : op->getParmTemplates())
            appendTemplate(t);
    rebuildIndex();
}

OP_Parameters::~OP_Parameters() = default;

void OP_Parameters::appendTemplate(const PRM_Template* tmpl) {
    const std::size_t index = myParms.size();
    myParms.push_back(std::make_unique<PRM_Parm>(tmpl, std::vector<int>{}, -1));
    if (tmpl->isMultiParm())
        growToDefaultCount(index);
}

void OP_Parameters::growToDefaultCount(std::size_t index) {
    // A new list holds no instances yet; its default count makes them.
    PRM_Parm& multi = *myParms[index];
    const int count = std::clamp(roundToInt(multi.component(0).constant), 0, maxMultiInstances);
    multi.component(0).constant = 0;
    insertInstances(index, count);
}

std::size_t OP_Parameters::extentOf(std::size_t index) const {
    const PRM_Parm& parm = *myParms[index];
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

void OP_Parameters::insertInstances(std::size_t index, int count) {
    PRM_Parm& multi = *myParms[index];
    const int current = static_cast<int>(multi.component(0).constant);
    if (count <= current)
        return;
    const PRM_Template* members = multi.getTemplate().getMultiParmTemplate();
    const int perInstance = PRM_Template::countTemplates(members);
    const std::vector<int> path = multi.getInstancePath();
    std::vector<std::unique_ptr<PRM_Parm>> added;
    added.reserve(std::size_t(count - current) * std::size_t(perInstance));
    for (int inst = current + 1; inst <= count; ++inst) {
        std::vector<int> instancePath = path;
        instancePath.push_back(inst);
        for (int m = 0; m < perInstance; ++m)
            added.push_back(
                std::make_unique<PRM_Parm>(&members[m], instancePath, static_cast<int>(index)));
    }
    const std::size_t at = index + extentOf(index);
    const std::size_t addedCount = added.size();
    myParms.insert(myParms.begin() + static_cast<std::ptrdiff_t>(at),
                   std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
    myParms[index]->component(0).constant = count;
    // Lists among the new members get their default instances, each right
    // after itself.
    std::size_t end = at + addedCount;
    for (std::size_t i = at; i < end;) {
        if (myParms[i]->isMultiParm()) {
            const std::size_t before = myParms.size();
            growToDefaultCount(i);
            end += myParms.size() - before;
        }
        i += extentOf(i);
    }
}

void OP_Parameters::renumberOwners() {
    for (std::size_t i = 0; i < myParms.size(); ++i) {
        if (!myParms[i]->isMultiParm())
            continue;
        const std::size_t members =
            PRM_Template::countTemplates(myParms[i]->getTemplate().getMultiParmTemplate());
        const auto instances = static_cast<std::size_t>(myParms[i]->component(0).constant);
        std::size_t member = i + 1;
        for (std::size_t k = 0; k < instances * members && member < myParms.size(); ++k) {
            myParms[member]->setMultiOwner(static_cast<int>(i));
            member += extentOf(member);
        }
    }
}

void OP_Parameters::rebuildIndex() {
    ++myStructureVersion;
    std::size_t size = 16;
    while (size < myParms.size() * 2)
        size *= 2;
    myIndex.assign(size, IndexSlot{0, -1});
    const std::size_t mask = size - 1;
    for (std::size_t i = 0; i < myParms.size(); ++i) {
        const PRM_Parm& p = *myParms[i];
        std::string_view token = p.getTokenView();
        if (p.getType().isTerminator() || token.empty())
            continue;
        // The first parameter of a token wins; tokens are unique in sane lists.
        std::uint32_t h = hashToken(token);
        if (lookup(token, h) >= 0)
            continue;
        std::size_t slot = h & mask;
        while (myIndex[slot].parm >= 0)
            slot = (slot + 1) & mask;
        myIndex[slot] = IndexSlot{h, static_cast<int>(i)};
    }
}

int OP_Parameters::lookup(std::string_view token, std::uint32_t hash) const {
    const std::size_t mask = myIndex.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const IndexSlot& s = myIndex[slot];
        if (s.parm < 0)
            return -1;
        if (s.hash == hash) {
            if (sameToken(myParms[s.parm]->getTokenView(), token))
                return s.parm;
        }
    }
}

int OP_Parameters::findParmIndex(std::string_view token) const {
    return lookup(token, hashToken(token));
}

PRM_Parm* OP_Parameters::findParm(std::string_view token) const {
    int i = findParmIndex(token);
    return i < 0 ? nullptr : myParms[i].get();
}

PRM_Parm* OP_Parameters::getParm(int index) const {
    if (index < 0 || index >= static_cast<int>(myParms.size()))
        return nullptr;
    return myParms[index].get();
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

int OP_Parameters::resolve(const char* token, const int* inst, int nestLevel) const {
    if (!token)
        return -1;
    const bool withInstance = inst && nestLevel > 0;
    if (withInstance && nestLevel > 1)
        return resolveUncached(token, inst, nestLevel);
    const int instance = withInstance ? inst[0] : INT_MIN;
    const auto site = reinterpret_cast<std::uintptr_t>(token);
    // Fibonacci hashing of the call site and instance: the top bits of the
    // product are well mixed.
    const std::uint64_t key = (static_cast<std::uint64_t>(site) ^
                               (static_cast<std::uint64_t>(std::uint32_t(instance)) << 40)) *
                              0x9E3779B97F4A7C15ull;
    const std::size_t slot = static_cast<std::size_t>(key >> (64 - kResolveMemoBits));
    ResolveMemo& memo = myResolveMemos[slot];
    if (memo.token == token && memo.instance == instance && memo.structure == myStructureVersion) {
        // Same pointer, but the caller may have rewritten its buffer.
        std::size_t i = 0;
        while (memo.text[i] != '\0' && memo.text[i] == token[i])
            ++i;
        if (memo.text[i] == '\0' && token[i] == '\0')
            return memo.parm;
    }
    const int parm = withInstance ? resolveUncached(token, inst, nestLevel) : findParmIndex(token);
    const std::size_t length = std::strlen(token);
    if (length < sizeof memo.text) {
        memo.token = token;
        memo.instance = instance;
        memo.parm = parm;
        memo.structure = myStructureVersion;
        std::memcpy(memo.text, token, length + 1);
    }
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

const PRM_Component* OP_Parameters::componentOf(const char* token, const int* inst, int nestLevel,
                                                int component) const {
    int i = resolve(token, inst, nestLevel);
    if (i < 0)
        return nullptr;
    const PRM_Parm& p = *myParms[i];
    if (component < 0 || component >= p.getVectorSize())
        return nullptr;
    return &p.component(component);
}

double OP_Parameters::evalFloat(const char* token, int component, float time) const {
    const PRM_Component* c = componentOf(token, nullptr, 0, component);
    return c ? c->valueAt(time) : 0.0;
}

int OP_Parameters::evalInt(const char* token, int component, float time) const {
    return roundToInt(evalFloat(token, component, time));
}

std::string OP_Parameters::evalString(const char* token, int component, float) const {
    const PRM_Component* c = componentOf(token, nullptr, 0, component);
    return c ? c->text : std::string();
}

double OP_Parameters::evalFloatInst(const char* token, const int* inst, int component, float time,
                                    int nestLevel) const {
    const PRM_Component* c = componentOf(token, inst, nestLevel, component);
    return c ? c->valueAt(time) : 0.0;
}

int OP_Parameters::evalIntInst(const char* token, const int* inst, int component, float time,
                               int nestLevel) const {
    return roundToInt(evalFloatInst(token, inst, component, time, nestLevel));
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
        c.keys.push_back(UT_Keyframe{time, c.constant});
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
    p->component(component).text = text ? text : "";
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
    if (count < current) {
        // Drop the instances above count, nested lists' instances with them.
        const std::size_t members =
            PRM_Template::countTemplates(multi->getTemplate().getMultiParmTemplate());
        std::size_t from = index + 1;
        for (std::size_t k = 0; k < std::size_t(count) * members; ++k)
            from += extentOf(from);
        const std::size_t to = index + extentOf(index);
        myParms.erase(myParms.begin() + static_cast<std::ptrdiff_t>(from),
                      myParms.begin() + static_cast<std::ptrdiff_t>(to));
        multi->component(0).constant = count;
    } else {
        insertInstances(index, count);
    }
    // Everything after the changed block moved.
    renumberOwners();
    rebuildIndex();
    touch();
}

UT_ErrorSeverity OP_Parameters::error() const {
    UT_ErrorSeverity worst = UT_ERROR_NONE;
    for (const OP_ErrorEntry& e : myErrors)
        worst = std::max(worst, e.severity);
    return worst;
}

void OP_Parameters::addError(UT_ErrorSeverity severity, int code, const char* message) {
    std::string text = message ? message : "";
    for (const OP_ErrorEntry& e : myErrors)
        if (e.severity == severity && e.code == code && e.message == text)
            return;
    myErrors.push_back(OP_ErrorEntry{severity, code, std::move(text)});
}

void OP_Parameters::clearErrors() {
    myErrors.clear();
}

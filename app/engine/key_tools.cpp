#include "engine/key_tools.hpp"

#include "engine/evaluation.hpp"
#include "engine/keyed_node.hpp"
#include "engine/node_edits.hpp"
#include "support/errors.hpp"
#include "support/output_file.hpp"
#include "support/text.hpp"

#include <UT/UT_Math.h>

#include <algorithm>
#include <cmath>
#include <functional>

namespace mhost {

namespace {

using namespace keyed;

// A key's parameter: "t#" of key 3 is "t3".
std::string keyToken(const char* pattern, int key) {
    std::string token(pattern);
    token.replace(token.find('#'), 1, std::to_string(key));
    return token;
}

// A key's three-component fields: the parameter each is kept in and its
// name in a key library, in the order both list them.
struct KeyVectorField {
    const char* pattern;
    const char* name;
    std::array<double, 3> KeyRecord::*member;
};
constexpr KeyVectorField kKeyVectorFields[] = {
    {kKeyTranslate, "translate", &KeyRecord::translate},
    {kKeyRotate, "rotate", &KeyRecord::rotate},
    {kKeyScale, "scale", &KeyRecord::scale},
    {kKeyPivot, "pivot", &KeyRecord::pivot},
};

double keyValue(const OP_Node& node, const char* pattern, int key, int component) {
    return node.evalFloatInst(pattern, &key, component, kKeyTime);
}

std::array<double, 3> keyVector(const OP_Node& node, const char* pattern, int key) {
    return {keyValue(node, pattern, key, 0), keyValue(node, pattern, key, 1),
            keyValue(node, pattern, key, 2)};
}

int keyCount(const OP_Node& node) {
    return node.findParm(kKeyCount) ? node.evalInt(kKeyCount, 0, kKeyTime) : 0;
}

// A user edit of the parameter at the key time, its channel (if any)
// dropped first: the parameter keeps that value from then on.
void setConstant(OP_Node& node, const std::string& token, const std::vector<double>& values) {
    const PRM_Parm& parm = valueParm(node, token);
    if (parm.isAnimated())
        for (int c = 0; c < parm.getVectorSize(); ++c)
            replaceKeyframes(node, token, c, {});
    editParm(node, token, std::nullopt, std::vector<ParmValue>(values.begin(), values.end()),
             kKeyTime);
}

void writeKey(OP_Node& node, int key, const KeyRecord& k) {
    const auto vector = [](const std::array<double, 3>& v) {
        return std::vector<double>(v.begin(), v.end());
    };
    setConstant(node, keyToken(kKeyValue, key), {k.driver});
    if (key > 0)
        setConstant(node, keyToken(kKeyEnable, key), {k.enable ? 1.0 : 0.0});
    setConstant(node, keyToken(kKeyXformOrder, key), {double(k.transformOrder)});
    setConstant(node, keyToken(kKeyRotateOrder, key), {double(k.rotateOrder)});
    for (const KeyVectorField& field : kKeyVectorFields)
        setConstant(node, keyToken(field.pattern, key), vector(k.*field.member));
    setConstant(node, keyToken(kKeyUniformScale, key), {k.uniformScale});
}

// 0 - v rather than -v: a zero stays +0, as a scene writes it.
double negated(double v) {
    return 0.0 - v;
}

// The module's blend of two poses at weight w, as keyed_node.hpp states it,
// in the single precision the node blends in: each value as a float, a
// float weight, scales times uniform scales.
float lerp(float from, float to, float w) {
    return static_cast<float>(from + static_cast<double>(w) * (static_cast<double>(to) - from));
}

float weightAt(float driver, float lower, float upper, bool ease) {
    constexpr double kEmpty = static_cast<double>(1e-8f);
    const auto span = static_cast<float>(static_cast<double>(upper) - lower);
    float w = 0.0f;
    if (-kEmpty <= span && span <= kEmpty)
        w = 0.5f;
    else if (lower < upper ? driver < lower : driver > lower)
        w = 0.0f;
    else if (lower < upper ? driver > upper : driver < upper)
        w = 1.0f;
    else
        w = static_cast<float>((static_cast<double>(driver) - lower) / span);
    if (ease && w > 0.0f && w < 1.0f)
        w = static_cast<float>((3.0 - 2.0 * w) * w * w);
    return w;
}

KeyRecord blended(const KeyRecord& lower, const KeyRecord& upper, float w, bool quaternion,
                  const UT_XformOrder& order) {
    KeyRecord out;
    for (int i = 0; i < 3; ++i) {
        out.translate[i] = lerp(float(lower.translate[i]), float(upper.translate[i]), w);
        out.pivot[i] = lerp(float(lower.pivot[i]), float(upper.pivot[i]), w);
        const auto folded = [i](const KeyRecord& k) {
            return static_cast<float>(double(float(k.scale[i])) * float(k.uniformScale));
        };
        out.scale[i] = lerp(folded(lower), folded(upper), w);
        out.rotate[i] = lerp(float(lower.rotate[i]), float(upper.rotate[i]), w);
    }
    if (quaternion) {
        // Degrees to radians as the node converts them, in single precision.
        constexpr double toRadians = static_cast<double>(0.01745329238474369f);
        constexpr double toDegrees = static_cast<double>(57.2957763671875f);
        const auto radians = [](const std::array<double, 3>& d) {
            return UT_Vector3(float(float(d[0]) * toRadians), float(float(d[1]) * toRadians),
                              float(float(d[2]) * toRadians));
        };
        UT_Quaternion from, to;
        from.updateFromEuler(radians(lower.rotate), order);
        to.updateFromEuler(radians(upper.rotate), order);
        const UT_Vector3 r = from.interpolate(to, w, 0.0f).computeRotations(order);
        for (int i = 0; i < 3; ++i)
            out.rotate[i] = static_cast<float>(r[i] * toDegrees);
    }
    return out;
}

// The cooked local matrix of node with its driver at value (the driver
// put back afterwards).
Matrix16 localAt(OBJ_Node& node, double value) {
    return sweepParmValues(node, kKeyTime, {value}, kDriver).rows.front().local;
}

bool nearlyEqual(const Matrix16& a, const Matrix16& b) {
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double scale = std::max({1.0, std::fabs(a[i]), std::fabs(b[i])});
        if (!(std::fabs(a[i] - b[i]) <= 1e-5 * scale) && !(std::isnan(a[i]) && std::isnan(b[i])))
            return false;
    }
    return true;
}

} // namespace

void requireKeyedNode(const OP_Node& node) {
    if (!isKeyedNode(node))
        throw InputError(describeNode(node) + " is not a keyed node (it has no \"" + kDriver +
                         "\" and key 0 block)");
}

KeySet readKeys(const OP_Node& node) {
    KeySet set;
    set.interp = node.evalInt(kInterp, 0, kKeyTime);
    set.ease = node.evalInt(kEase, 0, kKeyTime) != 0;
    for (int key = 0, count = keyCount(node); key <= count; ++key) {
        KeyRecord k;
        k.driver = keyValue(node, kKeyValue, key, 0);
        k.enable = key == 0 || node.evalIntInst(kKeyEnable, &key, 0, kKeyTime) != 0;
        k.transformOrder = node.evalIntInst(kKeyXformOrder, &key, 0, kKeyTime);
        k.rotateOrder = node.evalIntInst(kKeyRotateOrder, &key, 0, kKeyTime);
        for (const KeyVectorField& field : kKeyVectorFields)
            k.*field.member = keyVector(node, field.pattern, key);
        k.uniformScale = keyValue(node, kKeyUniformScale, key, 0);
        set.keys.push_back(k);
    }
    return set;
}

void writeKeysOnly(OP_Node& node, const std::vector<KeyRecord>& keys) {
    if (keys.empty())
        throw InputError("a keyed node keeps key 0: no keys given for " + describeNode(node));
    if (!keys.front().enable)
        throw InputError("key 0 is always enabled");
    setConstant(node, kKeyCount, {double(keys.size() - 1)});
    for (std::size_t key = 0; key < keys.size(); ++key)
        writeKey(node, static_cast<int>(key), keys[key]);
}

void writeKeys(OP_Node& node, const KeySet& keys) {
    setConstant(node, kInterp, {double(keys.interp)});
    setConstant(node, kEase, {keys.ease ? 1.0 : 0.0});
    writeKeysOnly(node, keys.keys);
}

MirrorAxis mirrorAxisFrom(const std::string& name) {
    if (name == "x")
        return MirrorAxis::X;
    if (name == "y")
        return MirrorAxis::Y;
    if (name == "z")
        return MirrorAxis::Z;
    throw InputError("a mirror's axis is \"x\", \"y\" or \"z\", not " + quote(name));
}

KeySet mirroredKeys(const KeySet& keys, MirrorAxis axis) {
    const int normal = static_cast<int>(axis);
    KeySet out = keys;
    for (KeyRecord& k : out.keys) {
        k.translate[normal] = negated(k.translate[normal]);
        k.pivot[normal] = negated(k.pivot[normal]);
        for (int i = 0; i < 3; ++i)
            if (i != normal)
                k.rotate[i] = negated(k.rotate[i]);
    }
    return out;
}

void mirrorKeys(const OP_Node& src, OP_Node& dst, MirrorAxis axis) {
    requireKeyedNode(src);
    requireKeyedNode(dst);
    writeKeys(dst, mirroredKeys(readKeys(src), axis));
}

std::vector<std::pair<std::string, std::string>> mirrorKeysByName(Scene& scene,
                                                                  const std::string& match,
                                                                  const std::string& replacement,
                                                                  MirrorAxis axis) {
    if (match.empty())
        throw InputError("the part of the names to match must not be empty");
    std::vector<std::pair<OP_Node*, OP_Node*>> pairs;
    std::vector<std::pair<std::string, std::string>> names;
    std::string missing;
    for (int i = 0; i < scene.root().getNchildren(); ++i) {
        OP_Node& node = *scene.root().getChild(i);
        const std::string& name = node.getName();
        if (!isKeyedNode(node) || name.find(match) == std::string::npos)
            continue;
        std::string partner = name;
        for (std::size_t at = partner.find(match); at != std::string::npos;
             at = partner.find(match, at + replacement.size()))
            partner.replace(at, match.size(), replacement);
        OP_Node* found = scene.root().findNode(partner);
        if (found == nullptr || !isKeyedNode(*found)) {
            missing += (missing.empty() ? "" : ", ") + quote(name) + " has no keyed partner " +
                       quote(partner);
            continue;
        }
        pairs.emplace_back(&node, found);
        names.emplace_back(name, partner);
    }
    if (!missing.empty())
        throw InputError("nothing was mirrored: " + missing);
    if (pairs.empty())
        throw InputError("no keyed node's name holds " + quote(match));
    // Every source read before any partner is written: a node may be both.
    std::vector<KeySet> sources;
    for (const auto& [from, to] : pairs)
        sources.push_back(mirroredKeys(readKeys(*from), axis));
    for (std::size_t i = 0; i < pairs.size(); ++i)
        writeKeys(*pairs[i].second, sources[i]);
    return names;
}

void copyKeys(const OP_Node& src, OP_Node& dst) {
    requireKeyedNode(src);
    requireKeyedNode(dst);
    writeKeys(dst, readKeys(src));
}

int insertKey(OBJ_Node& node, double driver) {
    requireKeyedNode(node);
    if (!std::isfinite(driver))
        throw InputError("a key's driver value must be a finite number");
    KeySet set = readKeys(node);
    const std::vector<KeyMark> active = readActiveKeys(node);
    const auto value = static_cast<float>(driver);
    for (const KeyMark& mark : active)
        if (static_cast<float>(mark.driver) == value)
            throw InputError("key " + std::to_string(mark.key) + " of " + describeNode(node) +
                             " is at driver " + formatShortest(driver) + " already");
    // The segment around the driver value, as the node finds it.
    std::size_t upper = 0;
    while (upper < active.size() && !(value <= static_cast<float>(active[upper].driver)))
        ++upper;
    const bool aboveAll = upper == active.size();
    if (upper == 0)
        throw InputError("a key at driver " + formatShortest(driver) +
                         " would never be reached: " + "key 0 of " + describeNode(node) +
                         " is at " + formatShortest(active[0].driver) +
                         ", and every driver value at or below it gives key 0");
    if (aboveAll)
        upper = active.size() - 1;
    const std::size_t lower = upper == 0 ? 0 : upper - 1;
    const KeyRecord& low = set.keys[static_cast<std::size_t>(active[lower].key)];
    const KeyRecord& high = set.keys[static_cast<std::size_t>(active[upper].key)];
    const KeyRecord& zero = set.keys[0];
    const UT_XformOrder order(UT_XformOrder::mainOrderFromMenu(zero.transformOrder),
                              UT_XformOrder::rotOrderFromMenu(zero.rotateOrder));
    const float w =
        weightAt(value, static_cast<float>(low.driver), static_cast<float>(high.driver), set.ease);
    KeyRecord made = blended(low, high, w, set.interp != 0, order);
    made.driver = driver;
    made.transformOrder = zero.transformOrder;
    made.rotateOrder = zero.rotateOrder;

    const int at = aboveAll ? static_cast<int>(set.keys.size()) : active[upper].key;
    const Matrix16 before = localAt(node, driver);
    const KeySet old = set;
    set.keys.insert(set.keys.begin() + at, made);
    writeKeysOnly(node, set.keys);
    // The module's own cook is the judge: the pose at the driver must not
    // have moved.
    if (!nearlyEqual(before, localAt(node, driver))) {
        writeKeysOnly(node, old.keys);
        throw RunError("a key inserted at driver " + formatShortest(driver) + " would move " +
                       describeNode(node) + " there; nothing was changed");
    }
    return at;
}

void deleteKey(OP_Node& node, int key) {
    requireKeyedNode(node);
    KeySet set = readKeys(node);
    const int count = static_cast<int>(set.keys.size()) - 1;
    if (key == 0)
        throw InputError("key 0 of " + describeNode(node) +
                         " cannot be deleted: every keyed node "
                         "keeps it");
    if (key < 1 || key > count)
        throw InputError(describeNode(node) + " has keys 1 to " + std::to_string(count) +
                             " besides key 0; there is no key " + std::to_string(key),
                         FailureKind::Index);
    set.keys.erase(set.keys.begin() + key);
    writeKeysOnly(node, set.keys);
}

void sortKeys(OP_Node& node) {
    requireKeyedNode(node);
    KeySet set = readKeys(node);
    std::stable_sort(
        set.keys.begin() + 1, set.keys.end(), [](const KeyRecord& a, const KeyRecord& b) {
            return !std::isnan(a.driver) && (std::isnan(b.driver) || a.driver < b.driver);
        });
    writeKeysOnly(node, set.keys);
}

void retimeKeys(OP_Node& node, double scale, double offset) {
    requireKeyedNode(node);
    if (!(scale > 0.0) || !std::isfinite(scale))
        throw InputError("a retime's scale must be a finite number above 0, not " +
                         formatShortest(scale));
    if (!std::isfinite(offset))
        throw InputError("a retime's offset must be a finite number");
    KeySet set = readKeys(node);
    for (KeyRecord& k : set.keys)
        k.driver = scale * k.driver + offset;
    writeKeysOnly(node, set.keys);
}

namespace {

// The parameter whose menu names a key menu's values.
const char* menuParm(KeyMenu menu) {
    switch (menu) {
    case KeyMenu::Interp:
        return kInterp;
    case KeyMenu::TransformOrder:
        return kKeyZeroXformOrder;
    case KeyMenu::RotateOrder:
        return kKeyZeroRotateOrder;
    }
    return kInterp;
}

const char* menuWhat(KeyMenu menu) {
    switch (menu) {
    case KeyMenu::Interp:
        return "interpolation";
    case KeyMenu::TransformOrder:
        return "transform order";
    case KeyMenu::RotateOrder:
        return "rotate order";
    }
    return "";
}

Json numbers(const std::array<double, 3>& v) {
    return Json::array({numberToJson(v[0]), numberToJson(v[1]), numberToJson(v[2])});
}

double readNumberField(JsonFields& fields, const char* key) {
    double value = 0.0;
    if (!jsonToNumber(fields.require(key), value))
        throw InputError(std::string("field \"") + key + "\" must be a number");
    return value;
}

std::array<double, 3> readTriple(JsonFields& fields, const char* key) {
    const Json& list = fields.require(key);
    std::array<double, 3> out{};
    if (!list.is_array() || list.size() != 3)
        throw InputError(std::string("field \"") + key + "\" must be an array of 3 numbers");
    for (std::size_t i = 0; i < 3; ++i)
        if (!jsonToNumber(list[i], out[i]))
            throw InputError(std::string("field \"") + key + "\" must be an array of 3 numbers");
    return out;
}

} // namespace

std::string keyMenuName(const OP_Node& node, KeyMenu menu, int index) {
    const std::vector<std::string> items = menuTokens(valueParm(node, menuParm(menu)));
    if (index < 0 || static_cast<std::size_t>(index) >= items.size())
        throw InputError(std::string(menuWhat(menu)) + " " + std::to_string(index) + " of " +
                         describeNode(node) + " is not an item of its menu");
    return items[static_cast<std::size_t>(index)];
}

int keyMenuIndex(const OP_Node& node, KeyMenu menu, const std::string& name) {
    const std::vector<std::string> items = menuTokens(valueParm(node, menuParm(menu)));
    const auto found = std::find(items.begin(), items.end(), name);
    if (found != items.end())
        return static_cast<int>(found - items.begin());
    std::string known;
    for (const std::string& item : items)
        known += (known.empty() ? "" : ", ") + item;
    throw InputError("no " + std::string(menuWhat(menu)) + " " + quote(name) + " (" +
                     menuWhat(menu) + "s: " + known + ")");
}

Json keyLibrary(const OP_Node& node) {
    requireKeyedNode(node);
    const KeySet set = readKeys(node);
    Json keys = Json::array();
    for (const KeyRecord& k : set.keys) {
        Json key = {{"driver", numberToJson(k.driver)}, {"enable", k.enable}};
        for (const KeyVectorField& field : kKeyVectorFields)
            key[field.name] = numbers(k.*field.member);
        key["uniformScale"] = numberToJson(k.uniformScale);
        key["transformOrder"] = keyMenuName(node, KeyMenu::TransformOrder, k.transformOrder);
        key["rotateOrder"] = keyMenuName(node, KeyMenu::RotateOrder, k.rotateOrder);
        keys.push_back(std::move(key));
    }
    return {{"format", kKeyLibraryFormat},
            {"version", kKeyLibraryVersion},
            {"interp", keyMenuName(node, KeyMenu::Interp, set.interp)},
            {"ease", set.ease},
            {"keys", keys}};
}

KeySet keysFromLibrary(const OP_Node& node, const Json& library, const std::string& source) {
    requireKeyedNode(node);
    KeySet set;
    const Json* keys = nullptr;
    try {
        JsonFields top(library, "a key library");
        if (top.requireString("format") != kKeyLibraryFormat)
            throw InputError(std::string("not a key library: field \"format\" must be \"") +
                             kKeyLibraryFormat + "\"");
        if (top.requireInt("version") != kKeyLibraryVersion)
            throw InputError("a key library of version " + std::to_string(kKeyLibraryVersion) +
                             " is expected");
        set.interp = keyMenuIndex(node, KeyMenu::Interp, top.requireString("interp"));
        set.ease = top.requireBool("ease");
        keys = &top.require("keys");
        if (!keys->is_array() || keys->empty())
            throw InputError("field \"keys\" must be an array holding key 0 and the others");
        top.rejectOthers();
    } catch (const Failure& failure) {
        rethrowWithContext(failure, source + ": ");
    }
    for (std::size_t i = 0; i < keys->size(); ++i) {
        try {
            JsonFields f((*keys)[i], "a key");
            KeyRecord k;
            k.driver = readNumberField(f, "driver");
            k.enable = f.requireBool("enable");
            if (i == 0 && !k.enable)
                throw InputError("key 0 is always enabled");
            for (const KeyVectorField& field : kKeyVectorFields)
                k.*field.member = readTriple(f, field.name);
            k.uniformScale = readNumberField(f, "uniformScale");
            k.transformOrder =
                keyMenuIndex(node, KeyMenu::TransformOrder, f.requireString("transformOrder"));
            k.rotateOrder =
                keyMenuIndex(node, KeyMenu::RotateOrder, f.requireString("rotateOrder"));
            f.rejectOthers();
            set.keys.push_back(k);
        } catch (const Failure& failure) {
            rethrowWithContext(failure, source + ": keys[" + std::to_string(i) + "]: ");
        }
    }
    if (set.keys.size() - 1 > static_cast<std::size_t>(OP_Parameters::maxMultiInstances))
        throw InputError(source + ": more keys than a node holds (" +
                         std::to_string(OP_Parameters::maxMultiInstances) + " besides key 0)");
    return set;
}

void exportKeys(const OP_Node& node, const std::string& file) {
    writeFileAtomically(file, formatJson(keyLibrary(node)));
}

void importKeys(OP_Node& node, const std::string& file) {
    writeKeys(node, keysFromLibrary(node, readJsonFile(file), file));
}

} // namespace mhost

#include "json/json.hpp"

#include "support/errors.hpp"
#include "support/file_io.hpp"
#include "support/text.hpp"
#include "json/reader.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <system_error>
#include <vector>

namespace mhost {

Json readJsonValue(JsonReader& reader) {
    switch (reader.peek()) {
    case JsonReader::Kind::Null:
        reader.readNull();
        return nullptr;
    case JsonReader::Kind::Boolean:
        return reader.readBoolean();
    case JsonReader::Kind::Number: {
        const JsonReader::Number n = reader.readNumber();
        if (!n.isInteger)
            return n.value;
        // As nlohmann types them: unsigned when not negative.
        if (!n.isNegative)
            return n.magnitude;
        return static_cast<std::int64_t>(0 - n.magnitude);
    }
    case JsonReader::Kind::String:
        return std::string(reader.readString());
    case JsonReader::Kind::Array: {
        Json array = Json::array();
        auto& elements = array.get_ref<Json::array_t&>();
        reader.beginArray();
        while (reader.nextElement())
            elements.push_back(readJsonValue(reader));
        return array;
    }
    case JsonReader::Kind::Object: {
        Json object = Json::object();
        // The ordered map is a vector of pairs; keys are unique (the reader
        // checks), so append without its linear search.
        auto& members = object.get_ref<Json::object_t&>();
        reader.beginObject();
        std::string_view key;
        while (reader.nextKey(key))
            members.emplace_back(std::string(key), readJsonValue(reader));
        return object;
    }
    }
    return nullptr;
}

Json parseJson(std::string_view text, const std::string& source) {
    JsonReader reader(text, source);
    Json document = readJsonValue(reader);
    reader.expectEnd();
    return document;
}

Json readJsonFile(const std::string& path) {
    return parseJson(readTextFile(path), path == "-" ? "standard input" : path);
}

double shortestDouble(float value) {
    if (!std::isfinite(value))
        return static_cast<double>(value);
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    if (ec != std::errc())
        return static_cast<double>(value);
    double result = 0.0;
    std::from_chars(buffer, end, result);
    return result;
}

Json numberToJson(double value) {
    if (!std::isfinite(value))
        return std::string(nonFiniteText(value));
    return value;
}

bool jsonToNumber(const Json& j, double& out) {
    if (j.is_number()) {
        out = j.get<double>();
        return true;
    }
    return j.is_string() && nonFiniteFromText(j.get_ref<const std::string&>(), out);
}

std::string describeJsonKind(const Json& j) {
    switch (j.type()) {
    case Json::value_t::null:
        return "null";
    case Json::value_t::boolean:
        return "a boolean";
    case Json::value_t::string:
        return "a string";
    case Json::value_t::array:
        return "an array";
    case Json::value_t::object:
        return "an object";
    case Json::value_t::binary:
        return "binary data";
    case Json::value_t::discarded:
        return "nothing";
    default:
        return "a number";
    }
}

namespace {

bool isScalar(const Json& j) {
    return !j.is_array() && !j.is_object();
}

bool isScalarArray(const Json& j) {
    return j.is_array() && std::all_of(j.begin(), j.end(), isScalar);
}

void writeValue(const Json& j, JsonWriter& w) {
    if (j.is_object()) {
        w.beginObject();
        for (const auto& item : j.items()) {
            w.key(item.key());
            writeValue(item.value(), w);
        }
        w.endObject();
    } else if (j.is_array()) {
        w.beginArray(std::all_of(j.begin(), j.end(),
                                 [](const Json& e) { return isScalar(e) || isScalarArray(e); }));
        for (const Json& e : j)
            writeValue(e, w);
        w.endArray();
    } else if (j.is_string()) {
        w.string(j.get_ref<const std::string&>());
    } else if (j.is_number_unsigned()) {
        w.integer(j.get<std::uint64_t>());
    } else if (j.is_number_integer()) {
        w.integer(j.get<std::int64_t>());
    } else if (j.is_number_float()) {
        w.number(j.get<double>());
    } else if (j.is_boolean()) {
        w.boolean(j.get<bool>());
    } else {
        w.null();
    }
}

} // namespace

JsonWriter::JsonWriter(std::string& out) : out_(out) {}

void JsonWriter::indent(std::size_t depth) {
    out_.append(depth * 2, ' ');
}

void JsonWriter::beforeValue() {
    if (levels_.empty())
        return;
    Level& level = levels_.back();
    if (level.isObject)
        return; // key() placed it
    if (level.inlined) {
        out_ += level.empty ? "" : ", ";
    } else {
        out_ += level.empty ? "\n" : ",\n";
        indent(levels_.size());
    }
    level.empty = false;
}

void JsonWriter::beginObject() {
    beforeValue();
    out_ += '{';
    levels_.push_back({true, false, true});
}

void JsonWriter::key(std::string_view key) {
    Level& level = levels_.back();
    out_ += level.empty ? "\n" : ",\n";
    level.empty = false;
    indent(levels_.size());
    string(key);
    out_ += ": ";
}

void JsonWriter::endObject() {
    const bool empty = levels_.back().empty;
    levels_.pop_back();
    if (!empty) {
        out_ += '\n';
        indent(levels_.size());
    }
    out_ += '}';
}

void JsonWriter::beginArray(bool inlined) {
    beforeValue();
    // Inside a line, everything stays on it.
    const bool insideLine = !levels_.empty() && !levels_.back().isObject && levels_.back().inlined;
    out_ += '[';
    levels_.push_back({false, inlined || insideLine, true});
}

void JsonWriter::endArray() {
    const Level level = levels_.back();
    levels_.pop_back();
    if (!level.inlined && !level.empty) {
        out_ += '\n';
        indent(levels_.size());
    }
    out_ += ']';
}

void JsonWriter::null() {
    beforeValue();
    out_ += "null";
}

void JsonWriter::boolean(bool value) {
    beforeValue();
    out_ += value ? "true" : "false";
}

void JsonWriter::integer(std::int64_t value) {
    beforeValue();
    char buffer[24];
    out_.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

void JsonWriter::integer(std::uint64_t value) {
    beforeValue();
    char buffer[24];
    out_.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

void JsonWriter::number(double value) {
    if (!std::isfinite(value)) {
        null(); // as JSON writers do; mhost writes such values as text first
        return;
    }
    beforeValue();
    // The shortest digits that read back as the same double, laid out as
    // nlohmann-json lays them out (files written by earlier versions stay
    // as they were): a '-' for any negative, "0.0" for zero; decimal
    // notation while the point falls within the first 15 places or at most
    // three zeros after it, always with a fraction ("45.0"); otherwise
    // d.ddde+XX, with a sign and at least two exponent digits.
    if (std::signbit(value)) {
        out_ += '-';
        value = -value;
    }
    if (value == 0.0) {
        out_ += "0.0";
        return;
    }
    char text[32];
    const char* const first = text;
    const char* const end =
        std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
    const char* const e = std::find(first, end, 'e');
    char digits[24];
    int k = 1; // the number of significant digits
    digits[0] = text[0];
    for (const char* d = first + 2; d < e; ++d) // past "d."
        digits[k++] = *d;
    int exponent = 0;
    std::from_chars(e + (e[1] == '+' ? 2 : 1), end, exponent);
    const int point = exponent + 1; // where the decimal point falls among the digits
    constexpr int kMaxPoint = 15, kMinPoint = -3;
    if (k <= point && point <= kMaxPoint) {
        out_.append(digits, static_cast<std::size_t>(k));
        out_.append(static_cast<std::size_t>(point - k), '0');
        out_ += ".0";
    } else if (0 < point && point <= kMaxPoint) {
        out_.append(digits, static_cast<std::size_t>(point));
        out_ += '.';
        out_.append(digits + point, static_cast<std::size_t>(k - point));
    } else if (kMinPoint <= point && point <= 0) {
        out_ += "0.";
        out_.append(static_cast<std::size_t>(-point), '0');
        out_.append(digits, static_cast<std::size_t>(k));
    } else {
        out_ += digits[0];
        if (k > 1) {
            out_ += '.';
            out_.append(digits + 1, static_cast<std::size_t>(k - 1));
        }
        out_ += exponent < 0 ? "e-" : "e+";
        if (std::abs(exponent) < 10)
            out_ += '0';
        out_ += std::to_string(std::abs(exponent));
    }
}

void JsonWriter::string(std::string_view text) {
    beforeValue();
    // Most texts need no escape: printable ASCII without quotes or backslashes.
    const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 0x20 && u < 0x7F && c != '"' && c != '\\';
    });
    if (plain) {
        out_ += '"';
        out_ += text;
        out_ += '"';
        return;
    }
    out_ += Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string formatJson(const Json& j) {
    std::string out;
    JsonWriter writer(out);
    writeValue(j, writer);
    return out + "\n";
}

bool jsonToInt(const Json& j, int& out) {
    if (j.is_number_integer()) {
        if (j.is_number_unsigned()) {
            const auto v = j.get<std::uint64_t>();
            if (v > static_cast<std::uint64_t>(std::numeric_limits<int>::max()))
                return false;
            out = static_cast<int>(v);
            return true;
        }
        const auto v = j.get<std::int64_t>();
        if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
            return false;
        out = static_cast<int>(v);
        return true;
    }
    if (j.is_number_float()) {
        const double v = j.get<double>();
        if (!(v == std::floor(v)) || v < std::numeric_limits<int>::min() ||
            v > std::numeric_limits<int>::max())
            return false;
        out = static_cast<int>(v);
        return true;
    }
    return false;
}

JsonFields::JsonFields(const Json& j, const std::string& what) : object_(j) {
    if (!j.is_object())
        throw InputError(what + " must be a JSON object, not " + describeJsonKind(j));
}

const Json* JsonFields::find(const std::string& key) {
    asked_.push_back(key);
    const auto it = object_.find(key);
    return it == object_.end() ? nullptr : &*it;
}

const Json& JsonFields::require(const std::string& key) {
    if (const Json* j = find(key))
        return *j;
    // A misspelling of the missing field is the likelier mistake: name it.
    for (const auto& item : object_.items()) {
        const std::string hint = didYouMean(item.key(), {key});
        if (!hint.empty() && std::find(asked_.begin(), asked_.end(), item.key()) == asked_.end())
            throw InputError("unknown field " + quote(item.key()) + hint);
    }
    throw InputError("missing field " + quote(key));
}

namespace {

[[noreturn]] void wrongKind(const std::string& key, const char* wanted, const Json& j) {
    throw InputError("field " + quote(key) + " must be " + wanted + ", not " + describeJsonKind(j));
}

} // namespace

std::string JsonFields::requireString(const std::string& key) {
    const Json& j = require(key);
    if (!j.is_string())
        wrongKind(key, "a string", j);
    return j.get<std::string>();
}

std::optional<std::string> JsonFields::optionalString(const std::string& key) {
    if (find(key) == nullptr)
        return std::nullopt;
    return requireString(key);
}

double JsonFields::requireNumber(const std::string& key) {
    const Json& j = require(key);
    if (!j.is_number())
        wrongKind(key, "a number", j);
    return j.get<double>();
}

std::optional<double> JsonFields::optionalNumber(const std::string& key) {
    if (find(key) == nullptr)
        return std::nullopt;
    return requireNumber(key);
}

int JsonFields::requireInt(const std::string& key) {
    const Json& j = require(key);
    int value = 0;
    if (!jsonToInt(j, value))
        wrongKind(key, "a whole number", j);
    return value;
}

std::optional<int> JsonFields::optionalInt(const std::string& key) {
    if (find(key) == nullptr)
        return std::nullopt;
    return requireInt(key);
}

bool JsonFields::requireBool(const std::string& key) {
    const Json& j = require(key);
    if (!j.is_boolean())
        wrongKind(key, "true or false", j);
    return j.get<bool>();
}

std::optional<bool> JsonFields::optionalBool(const std::string& key) {
    if (find(key) == nullptr)
        return std::nullopt;
    return requireBool(key);
}

void JsonFields::rejectOthers() const {
    for (const auto& item : object_.items()) {
        if (std::find(asked_.begin(), asked_.end(), item.key()) == asked_.end()) {
            std::vector<std::string> known(asked_.begin(), asked_.end());
            throw InputError("unknown field " + quote(item.key()) + didYouMean(item.key(), known));
        }
    }
}

} // namespace mhost

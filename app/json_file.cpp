#include "json_file.hpp"

#include "errors.hpp"
#include "file_io.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <system_error>
#include <unordered_set>
#include <vector>

namespace mhost {

TextPosition positionOfOffset(std::string_view text, std::size_t offset) {
    TextPosition pos;
    const std::size_t end = std::min(offset, text.size());
    for (std::size_t i = 0; i < end; ++i) {
        if (text[i] == '\n') {
            ++pos.line;
            pos.column = 1;
        } else {
            ++pos.column;
        }
    }
    return pos;
}

namespace {

// nlohmann's messages read "[json.exception.parse_error.101] parse error at
// line 3, column 7: syntax error ..."; keep the part after the position.
std::string parseReason(const std::string& what) {
    std::string reason = what;
    if (const auto bracket = reason.find("] "); bracket != std::string::npos)
        reason = reason.substr(bracket + 2);
    if (const auto column = reason.find("column "); column != std::string::npos) {
        if (const auto colon = reason.find(": ", column); colon != std::string::npos)
            reason = reason.substr(colon + 2);
    }
    return reason;
}

// A character iterator that records how far the parser has read, so that
// the builder below can say where the value it is handed ends.
class TrackingIterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    TrackingIterator(const char* at, const char** cursor) : at_(at), cursor_(cursor) {}
    reference operator*() const { return *at_; }
    TrackingIterator& operator++() {
        *cursor_ = ++at_;
        return *this;
    }
    TrackingIterator operator++(int) {
        TrackingIterator before = *this;
        ++*this;
        return before;
    }
    bool operator==(const TrackingIterator& other) const { return at_ == other.at_; }

private:
    const char* at_;
    const char** cursor_;
};

// Builds the document from nlohmann's SAX events, refusing what the plain
// parser would let through: a key twice in one object, a NUL character in a
// string (texts are handed on as C strings, which would end there), a number
// beyond the double range and nesting deeper than kMaxDepth. Keys are
// appended without the ordered map's linear search for an existing key, so
// large objects load in linear time.
class DocumentBuilder {
public:
    using object_t = Json::object_t;
    static constexpr std::size_t kMaxDepth = 512;
    // Objects with more keys than this find duplicates through a hash set.
    static constexpr std::size_t kLinearKeys = 16;

    DocumentBuilder(std::string_view text, const std::string& source, Json& root)
        : text_(text), source_(source), root_(root), cursor_(text.data()) {}

    const char** cursor() { return &cursor_; }

    bool null() { return add(nullptr); }
    bool boolean(bool v) { return add(v); }
    bool number_integer(Json::number_integer_t v) { return add(v); }
    bool number_unsigned(Json::number_unsigned_t v) { return add(v); }
    bool number_float(Json::number_float_t v, const std::string&) { return add(v); }
    bool string(std::string& v) {
        refuseNul(v, "a text");
        return add(std::move(v));
    }
    bool binary(Json::binary_t&) { return add(nullptr); }

    bool start_object(std::size_t) {
        open(Json::object());
        keys_.emplace_back();
        return true;
    }
    bool key(std::string& k) {
        refuseNul(k, "a key");
        object_t& object = stack_.back()->get_ref<object_t&>();
        std::unordered_set<std::string>& seen = keys_.back();
        bool duplicate = false;
        if (object.size() < kLinearKeys) {
            for (const auto& item : object)
                duplicate = duplicate || item.first == k;
        } else {
            if (seen.empty())
                for (const auto& item : object)
                    seen.insert(item.first);
            duplicate = !seen.insert(k).second;
        }
        if (duplicate)
            fail(stringStart(), "the key " + Json(k).dump() + " appears twice in one object");
        // ordered_map is a vector of pairs; append without its own search.
        object.emplace_back(std::move(k), nullptr);
        pendingValue_ = &object.back().second;
        return true;
    }
    bool end_object() {
        keys_.pop_back();
        stack_.pop_back();
        return true;
    }
    bool start_array(std::size_t) {
        open(Json::array());
        return true;
    }
    bool end_array() {
        stack_.pop_back();
        return true;
    }

    template <class Exception>
    bool parse_error(std::size_t position, const std::string& token, const Exception& error) {
        // position counts the characters read, the one that broke the parse
        // included.
        const std::size_t offset = position > 0 ? position - 1 : 0;
        if (error.id == 406) // a number out of range: point at its first digit
            fail(offset + 1 >= token.size() ? offset + 1 - token.size() : 0,
                 "the number " + token + " is beyond the range of a double");
        fail(offset, parseReason(error.what()));
    }

private:
    template <typename V> bool add(V&& value) {
        place(Json(std::forward<V>(value)));
        return true;
    }

    Json* place(Json value) {
        if (stack_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        Json& top = *stack_.back();
        if (top.is_array()) {
            auto& array = top.get_ref<Json::array_t&>();
            array.push_back(std::move(value));
            return &array.back();
        }
        *pendingValue_ = std::move(value);
        return pendingValue_;
    }

    void open(Json container) {
        // The parser has just read the opening bracket.
        if (stack_.size() >= kMaxDepth)
            fail(offset() - 1, "nesting deeper than " + std::to_string(kMaxDepth) + " levels");
        stack_.push_back(place(std::move(container)));
    }

    void refuseNul(const std::string& s, const char* what) {
        if (s.find('\0') != std::string::npos)
            fail(stringStart(), std::string(what) +
                                    " holds a NUL character (\\u0000), which names and "
                                    "values cannot hold");
    }

    std::size_t offset() const { return static_cast<std::size_t>(cursor_ - text_.data()); }

    // The opening quote of the string token the parser has just read: the
    // last unescaped quote before its closing one.
    std::size_t stringStart() const {
        std::size_t closing = offset() > 0 ? offset() - 1 : 0;
        for (std::size_t i = closing; i-- > 0;) {
            if (text_[i] != '"')
                continue;
            std::size_t backslashes = 0;
            while (backslashes < i && text_[i - 1 - backslashes] == '\\')
                ++backslashes;
            if (backslashes % 2 == 0)
                return i;
        }
        return closing;
    }

    [[noreturn]] void fail(std::size_t at, const std::string& reason) const {
        const TextPosition pos = positionOfOffset(text_, at);
        throw InputError(source_ + ":" + std::to_string(pos.line) + ":" +
                         std::to_string(pos.column) + ": malformed JSON: " + reason);
    }

    std::string_view text_;
    const std::string& source_;
    Json& root_;
    const char* cursor_;
    std::vector<Json*> stack_;
    std::vector<std::unordered_set<std::string>> keys_;
    Json* pendingValue_ = nullptr;
};

} // namespace

Json parseJson(std::string_view text, const std::string& source) {
    Json root;
    DocumentBuilder builder(text, source, root);
    // The parser takes a NUL byte for the end of the text; whatever follows
    // it would be silently dropped.
    if (const auto nul = text.find('\0'); nul != std::string_view::npos) {
        const TextPosition pos = positionOfOffset(text, nul);
        throw InputError(source + ":" + std::to_string(pos.line) + ":" +
                         std::to_string(pos.column) + ": malformed JSON: a NUL byte");
    }
    try {
        Json::sax_parse(TrackingIterator(text.data(), builder.cursor()),
                        TrackingIterator(text.data() + text.size(), builder.cursor()), &builder);
    } catch (const Json::exception& e) {
        // Every parse error goes through parse_error above; anything else
        // the library raises is still a fault of the text.
        throw InputError(source + ": malformed JSON: " + parseReason(e.what()));
    }
    return root;
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
    if (std::isnan(value))
        return "nan";
    if (std::isinf(value))
        return value > 0 ? "inf" : "-inf";
    return value;
}

bool jsonToNumber(const Json& j, double& out) {
    if (j.is_number()) {
        out = j.get<double>();
        return true;
    }
    if (j.is_string()) {
        const auto& s = j.get_ref<const std::string&>();
        if (s == "nan") {
            out = std::numeric_limits<double>::quiet_NaN();
            return true;
        }
        if (s == "inf" || s == "-inf") {
            out = s == "inf" ? std::numeric_limits<double>::infinity()
                             : -std::numeric_limits<double>::infinity();
            return true;
        }
    }
    return false;
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

std::string inlineArray(const Json& j) {
    std::string out = "[";
    for (std::size_t i = 0; i < j.size(); ++i) {
        out += i ? ", " : "";
        out += isScalar(j[i]) ? j[i].dump() : inlineArray(j[i]);
    }
    return out + "]";
}

void writeJson(const Json& j, int depth, std::string& out) {
    const std::string inner(static_cast<std::size_t>(depth + 1) * 2, ' ');
    const std::string outer(static_cast<std::size_t>(depth) * 2, ' ');
    if (j.is_object()) {
        if (j.empty()) {
            out += "{}";
            return;
        }
        out += "{\n";
        bool first = true;
        for (const auto& item : j.items()) {
            out += first ? "" : ",\n";
            first = false;
            out += inner + Json(item.key()).dump() + ": ";
            writeJson(item.value(), depth + 1, out);
        }
        out += "\n" + outer + "}";
    } else if (j.is_array()) {
        const bool flat = std::all_of(
            j.begin(), j.end(), [](const Json& e) { return isScalar(e) || isScalarArray(e); });
        if (flat) {
            out += inlineArray(j);
            return;
        }
        out += "[\n";
        for (std::size_t i = 0; i < j.size(); ++i) {
            out += i ? ",\n" : "";
            out += inner;
            writeJson(j[i], depth + 1, out);
        }
        out += "\n" + outer + "]";
    } else {
        out += j.dump();
    }
}

} // namespace

std::string formatJson(const Json& j) {
    std::string out;
    writeJson(j, 0, out);
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

std::optional<bool> JsonFields::optionalBool(const std::string& key) {
    const Json* j = find(key);
    if (j == nullptr)
        return std::nullopt;
    if (!j->is_boolean())
        wrongKind(key, "true or false", *j);
    return j->get<bool>();
}

void JsonFields::rejectOthers() const {
    for (const auto& item : object_.items()) {
        if (std::find(asked_.begin(), asked_.end(), item.key()) == asked_.end())
            throw InputError("unknown field " + quote(item.key()));
    }
}

} // namespace mhost

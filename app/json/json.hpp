// app/json: JSON as mhost reads and writes it. The document type, whole
// documents, numbers and field checks (this header); the pull reader that
// reports positions (reader.hpp); the writer of mhost's fixed layout. It
// includes app/support only.
//
// Reading JSON with precise error positions, and writing it in mhost's fixed
// layout.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mhost {

// Objects keep their keys in insertion order, so files mhost writes list
// parameters in the node's own order and read back the same way.
using Json = nlohmann::ordered_json;

// Parses text as one JSON document. Anything malformed throws InputError
// "SOURCE:LINE:COLUMN: malformed JSON: reason": a syntax error, bytes after
// the document, a NUL byte, a key twice in one object, a NUL character in a
// string, a number beyond the double range, or nesting deeper than 512.
Json parseJson(std::string_view text, const std::string& source);

class JsonReader;
// The value the reader is at, read whole as a document.
Json readJsonValue(JsonReader& reader);

// Reads (see readTextFile: "-" is standard input, the size is capped) and
// parses a file. A file that cannot be read throws InputError naming it.
Json readJsonFile(const std::string& path);

// The shortest decimal that reads back as the same float, as a double:
// 0.1f becomes 0.1 rather than 0.10000000149011612. Keyframe times are floats.
double shortestDouble(float value);

// A JSON value for a double: the number itself when finite, else the string
// "nan", "inf" or "-inf", which jsonToNumber accepts back.
Json numberToJson(double value);

// Reads a number written by numberToJson. Returns false when j is neither a
// number nor one of the three strings.
bool jsonToNumber(const Json& j, double& out);

// A short description of a JSON value's kind for error messages ("a string").
std::string describeJsonKind(const Json& j);

// Indented JSON text ending in a newline, in the same layout for the same
// value: objects one member per line; arrays of scalars, and arrays whose
// entries are arrays of scalars ([[0, 1], [2, 5]]), on one line.
std::string formatJson(const Json& j);

// Writes JSON text value by value in formatJson's layout (which it is
// also the writer of): objects one member per line, indented two spaces per
// level; an array on one line when beginArray is told so (formatJson tells
// it for arrays of scalars and of arrays of scalars), else one element per
// line. Numbers are written as the shortest digits that read back the same
// (std::to_chars), in nlohmann-json's layout ("45.0", "1e-05"), so files
// read and written again stay byte for byte the same.
class JsonWriter {
public:
    explicit JsonWriter(std::string& out);

    void beginObject();
    void key(std::string_view key);
    void endObject();
    void beginArray(bool inlined);
    void endArray();
    void null();
    void boolean(bool value);
    void integer(std::int64_t value);
    void integer(std::uint64_t value);
    // A finite number (null for any other).
    void number(double value);
    void string(std::string_view text);

private:
    struct Level {
        bool isObject;
        bool inlined;
        bool empty;
    };
    void beforeValue();
    void indent(std::size_t depth);

    std::string& out_;
    std::vector<Level> levels_;
};

// Reads the fields of one JSON object, checking their kinds, and refuses
// fields nobody asked for. Every error is an InputError naming the field.
class JsonFields {
public:
    // InputError when j is not an object; `what` names it ("an action").
    JsonFields(const Json& j, const std::string& what);

    // The field, or nullptr when it is absent.
    const Json* find(const std::string& key);
    const Json& require(const std::string& key);

    std::string requireString(const std::string& key);
    std::optional<std::string> optionalString(const std::string& key);
    double requireNumber(const std::string& key);
    std::optional<double> optionalNumber(const std::string& key);
    // A whole number within int range.
    int requireInt(const std::string& key);
    std::optional<int> optionalInt(const std::string& key);
    bool requireBool(const std::string& key);
    std::optional<bool> optionalBool(const std::string& key);

    // InputError for the first field that was never asked for.
    void rejectOthers() const;

private:
    const Json& object_;
    std::vector<std::string> asked_;
};

// Reads a whole number within int range from j; false otherwise.
bool jsonToInt(const Json& j, int& out);

} // namespace mhost

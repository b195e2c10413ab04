// The JSON reader: what it accepts it reads as nlohmann would (values and
// number types), what it refuses it refuses with the position of the fault,
// and the writer lays documents out as mhost's files have them.
#include "support/errors.hpp"
#include "test_support.hpp"
#include "json/json.hpp"
#include "json/reader.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <string_view>

namespace mhost {
namespace {

std::string failureOf(const std::string& text) {
    try {
        parseJson(text, "t.json");
    } catch (const MalformedJson& e) {
        return e.what();
    }
    ADD_FAILURE() << "accepted: " << text;
    return "";
}

TEST(JsonReader, ReadsValidDocumentsAsNlohmannDoes) {
    const char* documents[] = {
        R"({"a": [1, -2, 3.5, -0, 0.0, 1e2, 1E-2, 2.5e+3, -1.25e-7], "b": {"c": null}})",
        R"([true, false, null, "", "plain", "tab\there", "quote\" slash\/ back\\"])",
        R"(["\u00e9t\u00E9", "日本語", "\ud83d\ude00", "\b\f\n\r", "\u001f"])",
        R"({"big": 18446744073709551615, "low": -9223372036854775808,
            "over": 18446744073709551616, "tiny": 1e-400, "neg": -1})",
        " \n\t\r [ [ ] , { } , [[[ 0 ]]] ] \n",
        R"("just a string")",
        "42",
    };
    for (const char* text : documents) {
        SCOPED_TRACE(text);
        const Json mine = parseJson(text, "t.json");
        const Json theirs = Json::parse(text);
        EXPECT_EQ(mine, theirs);
        // The same kinds of number, so the same text when written again.
        EXPECT_EQ(mine.dump(), theirs.dump());
    }
}

TEST(JsonReader, RefusesMalformedTextNamingWhereItIs) {
    const struct {
        std::string text;
        const char* expected;
    } cases[] = {
        {"01", "t.json:1:1: malformed JSON: a number cannot start with 0"},
        {"[1.]", "t.json:1:4: malformed JSON: expected a digit"},
        {"[.5]", "t.json:1:2: malformed JSON: expected a value, found '.'"},
        {"[-]", "t.json:1:3: malformed JSON: expected a digit"},
        {"[+1]", "t.json:1:2: malformed JSON: expected a value, found '+'"},
        {"[1e]", "t.json:1:4: malformed JSON: expected a digit"},
        {"[1,]", "t.json:1:4: malformed JSON: expected a value, found ']'"},
        {"{\"a\": 1,}", "t.json:1:9: malformed JSON: expected a key (a string), found '}'"},
        {"{a: 1}", "t.json:1:2: malformed JSON: expected a key (a string), found 'a'"},
        {"{\"a\" 1}", "t.json:1:6: malformed JSON: expected ':'"},
        {"[1 2]", "t.json:1:4: malformed JSON: expected ',' or ']'"},
        {"[\"\\x\"]", "t.json:1:3: malformed JSON: unknown escape \\x"},
        {"[\"\\u12g4\"]", "t.json:1:7: malformed JSON: \\u needs four hexadecimal digits"},
        {"[\"\\ud800\"]",
         "t.json:1:3: malformed JSON: a \\u surrogate half without its other half"},
        {"[\"\\udc00\"]", "t.json:1:3: malformed JSON: a \\u surrogate half"},
        {"[\"a\tb\"]", "t.json:1:4: malformed JSON: a control character (the byte 0x09)"},
        {"[\"\xff\"]",
         "t.json:1:3: malformed JSON: a string holds the byte 0xff, which is not UTF-8"},
        {"[\"\xc0\x80\"]", "t.json:1:3: malformed JSON: a string holds the byte 0xc0"},
        {"[1,\n 2,\n nul]", "t.json:3:2: malformed JSON: expected null"},
        {"{\"a\": [1, 2", "t.json:1:12: malformed JSON: the text ends"},
        {"[\"open", "t.json:1:7: malformed JSON: the text ends inside a text"},
        {"[] x", "t.json:1:4: malformed JSON: more after the end of the document: 'x'"},
        {"", "t.json:1:1: malformed JSON: the text ends where a value should be"},
        {"truth", "t.json:1:1: malformed JSON: expected true or false"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(failureOf(c.text).rfind(c.expected, 0), 0u) << failureOf(c.text);
    }
}

TEST(JsonReader, FindsARepeatedKeyAmongManyKeys) {
    // Past a dozen keys the reader looks keys up in a hash table: a repeat is
    // found there as it is among a few.
    std::string text = "{";
    for (int i = 0; i < 40; ++i)
        text += "\"k" + std::to_string(i) + "\": " + std::to_string(i) + ", ";
    const std::size_t at = text.size();
    text += "\"k17\": 0}";
    const std::string message = failureOf(text);
    EXPECT_EQ(message.rfind("t.json:1:" + std::to_string(at + 1) +
                                ": malformed JSON: the key \"k17\" appears twice in one object",
                            0),
              0u)
        << message;
    // Escaped and plain forms of one key are one key.
    EXPECT_NE(failureOf(R"({"t1": 1, "t\u0031": 2})").find("appears twice"), std::string::npos);
    // Identical keys in different objects are fine.
    EXPECT_NO_THROW(parseJson(R"([{"a": 1}, {"a": 2}, {"b": {"a": 3}}])", "t.json"));
}

TEST(JsonReader, ComesBackToAValueWithASecondReader) {
    const std::string source = "t.json";
    const std::string text = R"({"skip": [1, {"deep": true}], "keep": [2, "x"]})";
    JsonReader reader(text, source);
    reader.beginObject();
    std::string_view key;
    std::size_t keep = 0;
    while (reader.nextKey(key)) {
        reader.peek();
        if (key == "keep")
            keep = reader.offset();
        reader.skipValue();
    }
    reader.expectEnd();
    JsonReader again = reader.readerAt(keep);
    EXPECT_EQ(readJsonValue(again), Json::parse(R"([2, "x"])"));
}

// Where an unchecked skip of the value at the start of text stops, read
// byte by byte: the offset, or the offset and reason of its failure.
struct SkipEnd {
    std::size_t at;
    std::string failure;
    bool operator==(const SkipEnd&) const = default;
};

void PrintTo(const SkipEnd& end, std::ostream* out) {
    *out << end.at << (end.failure.empty() ? "" : ", ") << end.failure;
}

SkipEnd skipByBytes(std::string_view text) {
    std::size_t i = text.find_first_not_of(" \n\r\t");
    if (i == std::string_view::npos)
        return {text.size(), ""};
    const auto passString = [&]() -> bool { // i at an opening quote; false at the text's end
        for (++i; i < text.size() && text[i] != '"'; ++i)
            if (text[i] == '\\')
                ++i;
        if (i >= text.size())
            return false;
        ++i;
        return true;
    };
    if (text[i] == '"')
        return passString() ? SkipEnd{i, ""} : SkipEnd{text.size(), "the text ends inside a text"};
    std::size_t depth = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '"') {
            if (!passString())
                return {text.size(), "the text ends inside a text"};
            continue;
        }
        if (c == '{' || c == '[') {
            if (++depth > JsonReader::kMaxDepth)
                return {i, "nesting deeper than 512 levels"};
        } else if (c == '}' || c == ']') {
            if (depth == 0)
                return {i, ""};
            if (--depth == 0)
                return {i + 1, ""};
        } else if (c == ',' && depth == 0) {
            return {i, ""};
        }
        ++i;
    }
    return {text.size(), depth > 0 ? "the text ends inside a value" : ""};
}

SkipEnd skipUnchecked(const std::string& text) {
    const std::string source = "t.json";
    JsonReader reader(text, source);
    try {
        reader.skipValueUnchecked();
        return {reader.offset(), ""};
    } catch (const MalformedJson& e) {
        const std::string message = e.what();
        return {test::offsetOf(text, message, source),
                message.substr(message.find("malformed JSON: ") + 16)};
    }
}

// Values as scene files hold them, long enough to span many 64-byte steps,
// with strings that hold brackets and, with escapes, quotes and backslashes.
std::string randomValue(std::mt19937& random, int depth, bool escapes) {
    const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    const char* strings[] = {R"("t")", R"("a[b{c")",   R"("}]")",     R"("  ,  ")",
                             R"("")",  R"("q\"uote")", R"("back\\")", R"("\\\"")"};
    const auto string = [&] { return std::string(strings[pick(escapes ? 8 : 5)]); };
    if (depth > 0 && (depth > 3 || pick(3) == 0)) {
        switch (pick(4)) {
        case 0:
            return string();
        case 1:
            return "-12.5e3";
        case 2:
            return "true";
        default:
            return std::string(static_cast<std::size_t>(pick(40)), ' ') + "0.0";
        }
    }
    const bool object = pick(2) == 0;
    std::string text = object ? "{" : "[";
    for (int n = pick(10); n >= 0; --n) {
        text += std::string(static_cast<std::size_t>(1 + pick(12)), ' ');
        if (object)
            text += string() + ": ";
        text += randomValue(random, depth + 1, escapes);
        text += n > 0 ? ",\n" : "\n";
    }
    return text + (object ? "}" : "]");
}

TEST(JsonReader, SkipsUncheckedExactlyWhereAByteByByteReadingStops) {
    std::mt19937 random(7);
    for (int round = 0; round < 3000; ++round) {
        std::string text = randomValue(random, 0, round % 2 == 0);
        // Whole, followed by more; cut short; or with one byte changed.
        switch (round % 3) {
        case 0:
            text += ", 1]";
            break;
        case 1:
            text.resize(1 + random() % text.size());
            break;
        default: // not the first, which says what kind of value it is
            if (text.size() > 1)
                text[1 + random() % (text.size() - 1)] = "\"\\{}[],x"[random() % 8];
        }
        ASSERT_EQ(skipUnchecked(text), skipByBytes(text)) << text;
    }
    // Nesting: as deep as allowed, and one level deeper, in long runs of
    // brackets.
    const std::string deepest = std::string(512, '[') + std::string(512, ']');
    EXPECT_EQ(skipUnchecked(deepest), (SkipEnd{1024, ""}));
    const std::string deeper = "[" + deepest + "]";
    EXPECT_EQ(skipUnchecked(deeper), (SkipEnd{512, "nesting deeper than 512 levels"}));
}

TEST(JsonWriter, LaysOutDocumentsAsMhostFilesAre) {
    const Json document = Json::parse(R"({
        "empty object": {}, "empty array": [], "scalars": [1, 2.5, "x", null, true],
        "keys": [[0.0, 1.0], [2.0, "nan"]],
        "mixed": [[[0.0, 1.0]], 0.0], "objects": [{"a": 1}]})");
    EXPECT_EQ(formatJson(document), R"({
  "empty object": {},
  "empty array": [],
  "scalars": [1, 2.5, "x", null, true],
  "keys": [[0.0, 1.0], [2.0, "nan"]],
  "mixed": [
    [[0.0, 1.0]],
    0.0
  ],
  "objects": [
    {
      "a": 1
    }
  ]
}
)");
}

// Numbers come out as nlohmann-json wrote them (files written by earlier
// versions stay byte for byte): zeros, the switch to exponents at both ends,
// two-digit exponents, and decimals as people type them. Where nlohmann's
// digits are not the shortest (its Grisu2 gives 17 digits for some doubles),
// the writer's are shorter and read back the same.
TEST(JsonWriter, WritesNumbersAsNlohmannDoes) {
    std::vector<double> values = {0.0,
                                  -0.0,
                                  1.0,
                                  -1.0,
                                  0.1,
                                  0.5,
                                  45.0,
                                  1e-3,
                                  1e-4,
                                  1e-5,
                                  1.5e-5,
                                  1e15,
                                  1e16,
                                  1.5e16,
                                  123456789012345.0,
                                  1234567890123456.0,
                                  1e100,
                                  1e-100,
                                  std::numeric_limits<double>::max(),
                                  std::numeric_limits<double>::min(),
                                  std::numeric_limits<double>::denorm_min(),
                                  1.0 / 3.0};
    std::mt19937_64 random(15);
    std::uniform_int_distribution<int> whole(-2000000, 2000000);
    std::uniform_int_distribution<int> power(-12, 22);
    for (int i = 0; i < 20000; ++i) {
        values.push_back(whole(random) / 1000.0);
        // The double nearest a short decimal, as a typed value is.
        values.push_back(
            std::stod(std::to_string(whole(random)) + "e" + std::to_string(power(random))));
    }
    int shorter = 0;
    for (const double value : values) {
        std::string written;
        JsonWriter(written).number(value);
        const std::string theirs = Json(value).dump();
        EXPECT_EQ(Json::parse(written).get<double>(), value) << written;
        if (written != theirs && written.size() < theirs.size() &&
            Json::parse(theirs).get<double>() == value) {
            ++shorter;
            continue;
        }
        ASSERT_EQ(written, theirs) << "the double " << value;
    }
    // Grisu2 misses the shortest digits for well under 1% of doubles.
    EXPECT_LT(shorter, static_cast<int>(values.size() / 100)) << "of " << values.size();
}

} // namespace
} // namespace mhost

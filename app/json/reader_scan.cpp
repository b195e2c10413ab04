#include "json/reader.hpp"

#include "support/errors.hpp"
#include "support/text.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mhost {

namespace {

constexpr std::uint64_t kEightBlanks = 0x2020202020202020ull;

bool isSpace(char c) {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void appendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

} // namespace

std::string JsonReader::describeChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7F) {
        char text[8];
        std::snprintf(text, sizeof text, "0x%02x", u);
        return std::string("the byte ") + text;
    }
    return std::string("'") + c + "'";
}

JsonReader JsonReader::readerAt(std::size_t offset) const {
    JsonReader reader(*this);
    reader.seek(offset);
    reader.scopes_.clear();
    reader.savedKeys_.clear();
    return reader;
}

JsonReader::JsonReader(std::string_view text, const std::string& source)
    : text_(text), source_(&source) {
    // A NUL byte ends the text for readers that take C strings: whatever
    // follows it would be silently dropped.
    if (const auto nul = text_.find('\0'); nul != std::string_view::npos)
        fail(nul, "a NUL byte");
}

void JsonReader::fail(std::size_t at, const std::string& reason) const {
    const TextPosition pos = positionOfOffset(text_, at);
    throw MalformedJson(*source_ + ":" + std::to_string(pos.line) + ":" +
                        std::to_string(pos.column) + ": malformed JSON: " + reason);
}

void JsonReader::skipSpace() {
    const char* const data = text_.data();
    const std::size_t size = text_.size();
    // A byte order mark that some editors put first is passed over, as JSON
    // readers may (RFC 8259, 8.1).
    if (pos_ == 0 && size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0)
        pos_ = 3;
    // Written files are indented: runs of spaces are skipped eight at a time.
    while (pos_ < size && isSpace(data[pos_])) {
        ++pos_;
        std::uint64_t eight;
        while (pos_ + 8 <= size && (std::memcpy(&eight, data + pos_, 8), eight == kEightBlanks))
            pos_ += 8;
    }
}

char JsonReader::next() {
    skipSpace();
    return pos_ < text_.size() ? text_[pos_] : '\0';
}

void JsonReader::expect(char c, const char* what) {
    if (next() != c) {
        if (pos_ >= text_.size())
            fail(pos_, std::string("the text ends where ") + what + " should be");
        fail(pos_, std::string("expected ") + what + ", found " + describeChar(text_[pos_]));
    }
    ++pos_;
}

JsonReader::Kind JsonReader::peek() {
    const char c = next();
    switch (c) {
    case 'n':
        return Kind::Null;
    case 't':
    case 'f':
        return Kind::Boolean;
    case '"':
        return Kind::String;
    case '[':
        return Kind::Array;
    case '{':
        return Kind::Object;
    default:
        if (c == '-' || isDigit(c))
            return Kind::Number;
        if (pos_ >= text_.size())
            fail(pos_, "the text ends where a value should be");
        fail(pos_, "expected a value, found " + describeChar(c));
    }
}

void JsonReader::readNull() {
    peek();
    if (text_.substr(pos_, 4) != "null")
        fail(pos_, "expected null");
    pos_ += 4;
}

bool JsonReader::readBoolean() {
    peek();
    if (text_.substr(pos_, 4) == "true") {
        pos_ += 4;
        return true;
    }
    if (text_.substr(pos_, 5) == "false") {
        pos_ += 5;
        return false;
    }
    fail(pos_, "expected true or false");
}

void JsonReader::scanNumber() {
    // The grammar, and the range as readNumber refuses it. Only an exponent
    // or some 309 digits reach beyond a double, so most numbers are passed
    // over without being converted.
    const std::size_t start = pos_;
    readNumberText(start);
    const std::string_view number = text_.substr(start, pos_ - start);
    if (number.size() > 300 || number.find_first_of("eE") != std::string_view::npos) {
        pos_ = start;
        readNumber();
    }
}

JsonReader::Number JsonReader::readNumber() {
    peek();
    const std::size_t start = pos_;
    const std::size_t intStart = readNumberText(start);
    std::size_t at = pos_;
    Number number;
    number.isNegative = text_[start] == '-';
    const bool integer =
        text_.substr(intStart, at - intStart).find_first_of(".eE") == std::string_view::npos;
    const char* first = text_.data() + start;
    const char* last = text_.data() + at;
    if (integer) {
        // Whole numbers that fit 64 bits stay whole numbers.
        const auto [end, ec] = std::from_chars(text_.data() + intStart, last, number.magnitude);
        if (ec == std::errc() && end == last &&
            (!number.isNegative || number.magnitude <= std::uint64_t(1) << 63)) {
            number.isInteger = true;
            number.value = number.isNegative ? -static_cast<double>(number.magnitude)
                                             : static_cast<double>(number.magnitude);
            return number;
        }
    }
    const auto [end, ec] = std::from_chars(first, last, number.value);
    if (ec == std::errc::result_out_of_range) {
        // Too large is an error; too small reads as zero, or the nearest
        // subnormal, as strtod gives it.
        const std::string copy(first, last);
        number.value = std::strtod(copy.c_str(), nullptr);
        if (std::isinf(number.value))
            fail(start, "the number " + copy + " is beyond the range of a double");
    } else if (ec != std::errc() || end != last) {
        fail(start, "malformed number");
    }
    return number;
}

std::size_t JsonReader::readNumberText(std::size_t start) {
    std::size_t at = start;
    const auto digitsFrom = [&](std::size_t from) {
        while (at < text_.size() && isDigit(text_[at]))
            ++at;
        if (at == from)
            fail(at, at < text_.size() ? "expected a digit, found " + describeChar(text_[at])
                                       : "the text ends inside a number");
    };
    if (text_[at] == '-')
        ++at;
    const std::size_t intStart = at;
    digitsFrom(at);
    if (text_[intStart] == '0' && at - intStart > 1)
        fail(intStart, "a number cannot start with 0 followed by digits");
    if (at < text_.size() && text_[at] == '.') {
        ++at;
        digitsFrom(at);
    }
    if (at < text_.size() && (text_[at] == 'e' || text_[at] == 'E')) {
        ++at;
        if (at < text_.size() && (text_[at] == '+' || text_[at] == '-'))
            ++at;
        digitsFrom(at);
    }
    pos_ = at;
    return intStart;
}

std::string_view JsonReader::stringAt(std::size_t quote, bool isKey) {
    std::size_t at = quote + 1;
    const std::size_t size = text_.size();
    // The usual string: plain ASCII, nothing escaped; a view of the text.
    std::size_t plain = at;
#if defined(__SSE2__)
    // Sixteen bytes per step: a signed compare below 0x20 finds the control
    // characters and the bytes from 0x80 up at once.
    for (; plain + 16 <= size; plain += 16) {
        const __m128i bytes =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(text_.data() + plain));
        const __m128i stops = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')),
                                                        _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'))),
                                           _mm_cmplt_epi8(bytes, _mm_set1_epi8(0x20)));
        if (const int mask = _mm_movemask_epi8(stops); mask != 0) {
            plain += static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
            break;
        }
    }
#endif
    while (plain < size) {
        const auto c = static_cast<unsigned char>(text_[plain]);
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80)
            break;
        ++plain;
    }
    if (plain < size && text_[plain] == '"') {
        pos_ = plain + 1;
        return text_.substr(at, plain - at);
    }
    scratch_.assign(text_.data() + at, plain - at);
    at = plain;
    const char* what = isKey ? "a key" : "a text";
    for (;;) {
        if (at >= size)
            fail(at, std::string("the text ends inside ") + what);
        const auto c = static_cast<unsigned char>(text_[at]);
        if (c == '"') {
            pos_ = at + 1;
            return scratch_;
        }
        if (c < 0x20)
            fail(at, "a control character (" + describeChar(static_cast<char>(c)) +
                         ") must be escaped in a string");
        if (c >= 0x80) {
            const std::size_t n = utf8Length(text_, at);
            if (n == 0)
                fail(at, "a string holds " + describeChar(static_cast<char>(c)) +
                             ", which is not UTF-8");
            scratch_.append(text_.data() + at, n);
            at += n;
            continue;
        }
        if (c != '\\') {
            scratch_ += static_cast<char>(c);
            ++at;
            continue;
        }
        // An escape.
        const std::size_t escape = at;
        if (at + 1 >= size)
            fail(at + 1, std::string("the text ends inside ") + what);
        const char kind = text_[at + 1];
        at += 2;
        switch (kind) {
        case '"':
        case '\\':
        case '/':
            scratch_ += kind;
            break;
        case 'b':
            scratch_ += '\b';
            break;
        case 'f':
            scratch_ += '\f';
            break;
        case 'n':
            scratch_ += '\n';
            break;
        case 'r':
            scratch_ += '\r';
            break;
        case 't':
            scratch_ += '\t';
            break;
        case 'u': {
            const auto hex4 = [&](std::size_t from) -> int {
                if (from + 4 > size)
                    fail(from, "\\u needs four hexadecimal digits");
                int value = 0;
                for (std::size_t k = 0; k < 4; ++k) {
                    const int h = hexValue(text_[from + k]);
                    if (h < 0)
                        fail(from + k, "\\u needs four hexadecimal digits");
                    value = value * 16 + h;
                }
                return value;
            };
            std::uint32_t code = static_cast<std::uint32_t>(hex4(at));
            at += 4;
            if (code >= 0xD800 && code <= 0xDBFF) {
                // A high surrogate needs the low one after it.
                if (text_.substr(at, 2) != "\\u")
                    fail(escape, "a \\u surrogate half without its other half");
                const auto low = static_cast<std::uint32_t>(hex4(at + 2));
                if (low < 0xDC00 || low > 0xDFFF)
                    fail(at, "a \\u surrogate half without its other half");
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                at += 6;
            } else if (code >= 0xDC00 && code <= 0xDFFF) {
                fail(escape, "a \\u surrogate half without its other half");
            }
            if (code == 0)
                fail(quote, std::string(what) +
                                " holds a NUL character (\\u0000), which names and values "
                                "cannot hold");
            appendUtf8(scratch_, code);
            break;
        }
        default:
            fail(escape, "unknown escape \\" + std::string(1, kind));
        }
    }
}

std::string_view JsonReader::readString() {
    if (peek() != Kind::String)
        fail(pos_, "expected a string, found " + describeChar(text_[pos_]));
    return stringAt(pos_, false);
}

void JsonReader::expectEnd() {
    skipSpace();
    if (pos_ < text_.size())
        fail(pos_, "more after the end of the document: " + describeChar(text_[pos_]));
}

void JsonReader::seek(std::size_t offset) {
    pos_ = offset;
    depth_ = 0;
}

} // namespace mhost

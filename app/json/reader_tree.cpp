#include "json/reader.hpp"

#include "support/text.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mhost {

namespace {

// Objects with more keys than this find repeated ones through a hash set.
constexpr std::size_t kFewKeys = 12;

} // namespace

void JsonReader::open(bool isObject, bool checkDuplicates) {
    if (depth_ >= kMaxDepth)
        fail(pos_, "nesting deeper than " + std::to_string(kMaxDepth) + " levels");
    ++pos_;
    if (depth_ == scopes_.size())
        scopes_.emplace_back();
    Scope& scope = scopes_[depth_++];
    scope.isObject = isObject;
    scope.first = true;
    scope.checkDuplicates = checkDuplicates;
    scope.keys.clear();
    scope.table.clear();
}

void JsonReader::beginObject(bool checkDuplicates) {
    if (peek() != Kind::Object)
        fail(pos_, "expected an object, found " + describeChar(text_[pos_]));
    open(true, checkDuplicates);
}

void JsonReader::beginArray() {
    if (peek() != Kind::Array)
        fail(pos_, "expected an array, found " + describeChar(text_[pos_]));
    open(false, false);
}

namespace {
std::uint32_t hashKey(std::string_view key) {
    std::uint32_t h = 2166136261u; // FNV-1a
    for (const char c : key)
        h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
    return h;
}
} // namespace

void JsonReader::checkKey(Scope& scope, std::string_view key, std::size_t at) {
    bool repeated = false;
    if (scope.keys.size() < kFewKeys) {
        for (const std::string_view seen : scope.keys)
            repeated = repeated || seen == key;
    } else {
        // Past a few keys, a hash table (kept half empty) finds them.
        if (scope.table.size() < 2 * (scope.keys.size() + 1)) {
            std::size_t size = 32;
            while (size < 4 * (scope.keys.size() + 1))
                size *= 2;
            scope.table.assign(size, -1);
            for (std::size_t i = 0; i < scope.keys.size(); ++i) {
                std::size_t slot = hashKey(scope.keys[i]) & (size - 1);
                while (scope.table[slot] >= 0)
                    slot = (slot + 1) & (size - 1);
                scope.table[slot] = static_cast<int>(i);
            }
        }
        const std::size_t mask = scope.table.size() - 1;
        std::size_t slot = hashKey(key) & mask;
        for (; scope.table[slot] >= 0; slot = (slot + 1) & mask)
            repeated = repeated || scope.keys[static_cast<std::size_t>(scope.table[slot])] == key;
        if (!repeated)
            scope.table[slot] = static_cast<int>(scope.keys.size());
    }
    if (repeated)
        fail(at, "the key " + quote(key) + " appears twice in one object");
    scope.keys.push_back(key);
}

bool JsonReader::nextKey(std::string_view& key) {
    Scope& scope = scopes_[depth_ - 1];
    const char c = next();
    if (c == '}') {
        ++pos_;
        close();
        return false;
    }
    if (!scope.first)
        expect(',', "',' or '}'");
    scope.first = false;
    if (next() != '"') {
        if (pos_ >= text_.size())
            fail(pos_, "the text ends where a key should be");
        fail(pos_, "expected a key (a string), found " + describeChar(text_[pos_]));
    }
    const std::size_t at = pos_;
    key = stringAt(at, true);
    // A key unescaped into the scratch buffer must outlive the next string.
    if (key.data() == scratch_.data())
        key = savedKeys_.emplace_back(key);
    if (scope.checkDuplicates)
        checkKey(scope, key, at);
    expect(':', "':'");
    return true;
}

bool JsonReader::nextElement() {
    Scope& scope = scopes_[depth_ - 1];
    const char c = next();
    if (c == ']') {
        ++pos_;
        close();
        return false;
    }
    if (!scope.first)
        expect(',', "',' or ']'");
    scope.first = false;
    return true;
}

void JsonReader::skipValue() {
    switch (peek()) {
    case Kind::Null:
        readNull();
        return;
    case Kind::Boolean:
        readBoolean();
        return;
    case Kind::Number:
        scanNumber();
        return;
    case Kind::String:
        readString();
        return;
    case Kind::Array:
        beginArray();
        while (nextElement())
            skipValue();
        return;
    case Kind::Object: {
        beginObject();
        std::string_view key;
        while (nextKey(key))
            skipValue();
        return;
    }
    }
}

namespace {

// The offset of the first byte at or after `at` that a skip must look at:
// a quote, a bracket, or with `commas` a comma (size when there is none).
// Skips pass over whole scene files, mostly indentation and numbers, so the
// SSE2 path looks at sixteen bytes per step; '[', ']' and '{', '}' differ by
// the bit 0x20 alone.
std::size_t nextSkipStop(const char* data, std::size_t at, std::size_t size, bool commas) {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i comma = _mm_set1_epi8(commas ? ',' : '"');
    const __m128i opening = _mm_set1_epi8('{');
    const __m128i closing = _mm_set1_epi8('}');
    const __m128i caseBit = _mm_set1_epi8(0x20);
    for (; at + 16 <= size; at += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
        const __m128i folded = _mm_or_si128(bytes, caseBit);
        const __m128i hits = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, comma)),
            _mm_or_si128(_mm_cmpeq_epi8(folded, opening), _mm_cmpeq_epi8(folded, closing)));
        if (const int mask = _mm_movemask_epi8(hits); mask != 0)
            return at + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
#endif
    for (; at < size; ++at) {
        const char c = data[at];
        if (c == '"' || (c == ',' && commas) || c == '[' || c == ']' || c == '{' || c == '}')
            return at;
    }
    return size;
}

// The offset just past the string whose opening quote is at `quote`, by
// its quotes and escapes alone; npos when it does not end.
std::size_t skipString(const char* data, std::size_t quote, std::size_t size) {
    std::size_t at = quote + 1;
    for (;;) {
#if defined(__SSE2__)
        for (; at + 16 <= size; at += 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
            const __m128i stops = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')),
                                               _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\')));
            if (const int mask = _mm_movemask_epi8(stops); mask != 0) {
                at += static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
                break;
            }
        }
#endif
        while (at < size && data[at] != '"' && data[at] != '\\')
            ++at;
        if (at >= size)
            return std::string_view::npos;
        if (data[at] == '"')
            return at + 1;
        at += 2; // an escape: whatever follows the backslash is not the end
    }
}

#if defined(__SSE2__)
// Sixty-four bytes at once, each class of byte a skip looks at as a mask
// (bit i for byte i).
struct ByteClasses {
    std::uint64_t quotes = 0, backslashes = 0, opening = 0, closing = 0;
};

ByteClasses classify(const char* data) {
    ByteClasses classes;
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i opening = _mm_set1_epi8('{');
    const __m128i closing = _mm_set1_epi8('}');
    const __m128i caseBit = _mm_set1_epi8(0x20);
    for (int i = 0; i < 4; ++i) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i));
        const __m128i folded = _mm_or_si128(bytes, caseBit);
        const auto bits = [i](__m128i hits) {
            return std::uint64_t(static_cast<unsigned>(_mm_movemask_epi8(hits))) << (16 * i);
        };
        classes.quotes |= bits(_mm_cmpeq_epi8(bytes, quote));
        classes.backslashes |= bits(_mm_cmpeq_epi8(bytes, backslash));
        classes.opening |= bits(_mm_cmpeq_epi8(folded, opening));
        classes.closing |= bits(_mm_cmpeq_epi8(folded, closing));
    }
    return classes;
}

// Bit i set when an odd number of bits 0..i are: with the quotes' mask,
// the bytes from an opening quote up to (not including) its closing one.
std::uint64_t prefixXor(std::uint64_t bits) {
    for (int shift = 1; shift < 64; shift *= 2)
        bits ^= bits << shift;
    return bits;
}
#endif

} // namespace

// A scene's parameters are objects of a kilobyte or two, stopped at every
// quote by the loop below. Here sixty-four bytes are looked at in one step,
// as the simdjson library does (written here: simdjson is a parser of its
// own, and this skip must stop exactly where this reader's checked reading
// of the value ends later): the quotes' running parity marks the bytes
// inside strings, and a block whose closing brackets outside strings are
// fewer than the depth cannot hold the container's end. A block with a
// backslash, one that would nest too deep, and the text's last bytes go to
// the loop, which resumes from the state here: it stops where it would
// have from the start.
bool JsonReader::skipContainerFast(std::size_t& depth) {
#if defined(__SSE2__)
    const char* const data = text_.data();
    const std::size_t size = text_.size();
    std::size_t at = pos_;
    std::uint64_t inString = 0; // all ones inside a string at the block's start
    for (; at + 64 <= size; at += 64) {
        const ByteClasses classes = classify(data + at);
        if (classes.backslashes != 0)
            break;
        const std::uint64_t strings = prefixXor(classes.quotes) ^ inString;
        const std::uint64_t opening = classes.opening & ~strings;
        const std::uint64_t closing = classes.closing & ~strings;
        const auto opens = static_cast<std::size_t>(std::popcount(opening));
        const auto closes = static_cast<std::size_t>(std::popcount(closing));
        if (depth + opens > kMaxDepth)
            break;
        inString = std::uint64_t(0) - (strings >> 63);
        if (closes < depth) {
            depth = depth + opens - closes;
            continue;
        }
        for (std::uint64_t brackets = opening | closing; brackets != 0; brackets &= brackets - 1) {
            const int bit = std::countr_zero(brackets);
            if ((opening >> bit) & 1) {
                ++depth;
            } else if (--depth == 0) {
                pos_ = at + static_cast<std::size_t>(bit) + 1;
                return true;
            }
        }
    }
    // The loop takes over at the block's start, past the string it is in.
    pos_ = at;
    if (inString != 0)
        passString(at - 1);
#else
    (void)depth;
#endif
    return false;
}

void JsonReader::passString(std::size_t quote) {
    const std::size_t end = skipString(text_.data(), quote, text_.size());
    if (end == std::string_view::npos)
        fail(text_.size(), "the text ends inside a text");
    pos_ = end;
}

void JsonReader::skipValueUnchecked() {
    const std::size_t size = text_.size();
    const Kind kind = peek();
    if (kind == Kind::String) {
        passString(pos_);
        return;
    }
    std::size_t depth = 0;
    if ((kind == Kind::Object || kind == Kind::Array) && skipContainerFast(depth))
        return;
    // Inside brackets, commas do not matter.
    while ((pos_ = nextSkipStop(text_.data(), pos_, size, depth == 0)) < size) {
        const char c = text_[pos_];
        if (c == '"') {
            passString(pos_);
            continue;
        }
        if (c == '[' || c == '{') {
            if (++depth > kMaxDepth)
                fail(pos_, "nesting deeper than " + std::to_string(kMaxDepth) + " levels");
        } else if (c == ']' || c == '}') {
            if (depth == 0)
                return; // the end of what holds this value
            --depth;
        } else if (depth == 0) {
            return; // a ',' after this value
        }
        ++pos_;
        if (depth == 0 && (c == ']' || c == '}'))
            return;
    }
    if (depth > 0)
        fail(pos_, "the text ends inside a value");
}

void JsonReader::expectMemberEnd(std::size_t end) {
    skipSpace();
    if (pos_ == end)
        return;
    if (pos_ >= text_.size())
        fail(pos_, "the text ends where ',' or '}' should be");
    fail(pos_, "expected ',' or '}', found " + describeChar(text_[pos_]));
}

void JsonReader::checkDocument() {
    seek(0);
    skipValue();
    expectEnd();
    seek(0);
}

} // namespace mhost

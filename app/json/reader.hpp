// JsonReader: a strict, fast reader of JSON text that hands out one value
// at a time, and says where in the text anything is wrong.
//
// Every JSON mhost reads goes through it: scripts and small documents as a
// whole (parseJson in json/json.hpp builds them from it), scene files value
// by value straight into the scene, without a document in between (a scene
// of a hundred thousand nodes is two hundred megabytes of text).
//
// Besides what JSON's grammar refuses, it refuses what mhost would otherwise
// pass on wrongly: a NUL byte in the text (where readers that take it for the
// end would stop), a NUL character in a string (names and values are handed
// on as C strings), a key twice in one object, a number beyond the double
// range, and nesting deeper than kMaxDepth. Strings must be UTF-8; a byte
// order mark before the document is passed over.
//
// Every failure throws MalformedJson (an InputError) "SOURCE:LINE:COLUMN:
// malformed JSON: reason", the position that of the offending character
// (the end of the text counting as one past its last character).
//
// json/reader_scan.cpp reads the values themselves (white space, words,
// numbers, strings); json/reader_tree.cpp the nesting (objects, arrays,
// their keys) and the skipping of whole values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace mhost {

class JsonReader {
public:
    static constexpr std::size_t kMaxDepth = 512;

    // source names the text in messages and must outlive the reader.
    JsonReader(std::string_view text, const std::string& source);
    // Another reader of the same text, for returning to values while this
    // one continues; it starts at offset with nothing open.
    JsonReader readerAt(std::size_t offset) const;

    enum class Kind { Null, Boolean, Number, String, Array, Object };

    // The kind of the next value, white space skipped. Fails where no value
    // can start.
    Kind peek();
    // The offset of the next value (after peek) or of what is read next.
    std::size_t offset() const { return pos_; }

    void readNull();
    bool readBoolean();
    // A number and how it was written: as an integer (no fraction or
    // exponent) that fits in 64 bits, or otherwise.
    struct Number {
        double value = 0.0;
        bool isInteger = false;
        bool isNegative = false;
        std::uint64_t magnitude = 0; // of an integer
    };
    Number readNumber();
    // A string, unescaped: a view that stays valid until the next read.
    std::string_view readString();

    // Opens an object: then nextKey() until it says there is no more.
    // With checkDuplicates off, the caller is responsible for repeated keys.
    void beginObject(bool checkDuplicates = true);
    // The next key of the innermost open object, positioned on its value; or
    // false at the object's end (which closes it). The key's view lives
    // until the object closes.
    bool nextKey(std::string_view& key);
    // Opens an array: then nextElement() until it says there is no more.
    void beginArray();
    // Whether another element follows (positioned on it); false at the
    // array's end (which closes it).
    bool nextElement();

    // Reads past one value of any kind, checking it.
    void skipValue();
    // Reads past one value by its brackets and quotes alone, for a value
    // that will be read (and checked) later: neither its strings nor its
    // numbers and words are checked. It stops at the ',' or closing bracket
    // after a number or word, and after a closing bracket; the reader that
    // reads the value later must end where it stopped (expectMemberEnd).
    void skipValueUnchecked();
    // Fails unless only white space is left.
    void expectEnd();
    // Reads the whole text as one document, checking every part of it as
    // skipValue does, then comes back to its start.
    void checkDocument();
    // The reader's position once past white space.
    std::size_t offsetAfterSpace() {
        skipSpace();
        return pos_;
    }
    // For a value skipped unchecked and read again later: fails unless the
    // reader, past white space, is at end, where the skip stopped (a
    // member's ',' or its object's '}'). Without it, "1 2" would read as 1.
    void expectMemberEnd(std::size_t end);

    // Starts reading afresh at offset (a value's offset from earlier): a
    // reader can return to a value it skipped.
    void seek(std::size_t offset);
    // Passes over the value the reader is at to end, where
    // skipValueUnchecked would stop (found by an earlier reading of the same
    // text); what is open stays open.
    void skipValueTo(std::size_t end) { pos_ = end; }

    [[noreturn]] void fail(std::size_t at, const std::string& reason) const;
    const std::string& source() const { return *source_; }

private:
    // skipValueUnchecked's way through an array or object, the reader at its
    // opening bracket: true when past its end; else false, with the reader
    // and depth where the byte-by-byte way goes on (never inside a string).
    bool skipContainerFast(std::size_t& depth);
    // Moves past the string whose opening quote is at `quote` (or whose text
    // goes on from quote + 1), by its quotes and escapes alone; fails at the
    // text's end.
    void passString(std::size_t quote);
    // An open object or array. Scopes are kept when they close, so that
    // their key lists keep their capacity for the next object at that depth.
    struct Scope {
        bool isObject = false;
        bool first = true;
        bool checkDuplicates = true;
        std::vector<std::string_view> keys;
        // When there are many keys: an open-addressing table of indices
        // into keys (-1 empty), a power of two in size.
        std::vector<int> table;
    };

    void skipSpace();
    char next(); // the next character, white space skipped, not consumed
    void expect(char c, const char* what);
    void open(bool isObject, bool checkDuplicates);
    void checkKey(Scope& scope, std::string_view key, std::size_t at);
    void close() { --depth_; }
    // Reads past a number without converting it.
    void scanNumber();
    // Reads past the number that starts at start; returns where its
    // integer digits start.
    std::size_t readNumberText(std::size_t start);
    std::string_view stringAt(std::size_t quote, bool isKey);
    // A character as messages show it: 'c', or "the byte 0xNN" for a control
    // character or a byte outside ASCII.
    static std::string describeChar(char c);

    std::string_view text_;
    const std::string* source_;
    std::size_t pos_ = 0;
    std::vector<Scope> scopes_;
    std::size_t depth_ = 0;             // scopes_[0, depth_) are open
    std::string scratch_;               // the last unescaped string
    std::deque<std::string> savedKeys_; // escaped keys, while their object is open
};

} // namespace mhost

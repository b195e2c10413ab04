// Fuzz target: the JSON reader against nlohmann-json's strict parser. Any
// bytes: the reader accepts exactly what nlohmann accepts, and reads the same
// values, apart from what it refuses on purpose: a NUL byte or a \u0000 in a
// string, a key twice in one object, and nesting deeper than
// JsonReader::kMaxDepth (both refuse numbers beyond the double range). What
// it refuses it refuses with a position no later than where nlohmann stopped.
#include "support/errors.hpp"
#include "json/json.hpp"
#include "json/reader.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Which of the reader's own refusals apply to a text, as nlohmann sees it.
class Refusals : public nlohmann::json_sax<nlohmann::ordered_json> {
public:
    bool repeatedKey = false;
    bool nulCharacter = false;
    std::size_t maxDepth = 0;

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t& text) override {
        nulCharacter = nulCharacter || text.find('\0') != string_t::npos;
        return true;
    }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override {
        open(true);
        return true;
    }
    bool key(string_t& key) override {
        nulCharacter = nulCharacter || key.find('\0') != string_t::npos;
        repeatedKey = repeatedKey || !keys_.back().insert(key).second;
        return true;
    }
    bool end_object() override {
        keys_.pop_back();
        return true;
    }
    bool start_array(std::size_t) override {
        open(false);
        return true;
    }
    bool end_array() override {
        keys_.pop_back();
        return true;
    }
    bool parse_error(std::size_t position, const std::string&,
                     const nlohmann::detail::exception&) override {
        errorAt = position;
        return false;
    }
    std::size_t errorAt = 0; // nlohmann's count of bytes read at the error

private:
    void open(bool) {
        keys_.emplace_back();
        maxDepth = std::max(maxDepth, keys_.size());
    }
    std::vector<std::set<std::string>> keys_;
};

[[noreturn]] void fault(const char* what, std::string_view text, const std::string& detail) {
    std::fprintf(stderr, "%s\n%s\ninput (%zu bytes): %.*s\n", what, detail.c_str(), text.size(),
                 static_cast<int>(std::min<std::size_t>(text.size(), 400)), text.data());
    std::abort();
}

// The offset a "SOURCE:LINE:COL: malformed JSON" message points at.
std::size_t offsetOf(std::string_view text, const std::string& message) {
    const std::size_t first = message.find(':');
    const std::size_t second = message.find(':', first + 1);
    const int line = std::atoi(message.c_str() + first + 1);
    const int column = std::atoi(message.c_str() + second + 1);
    std::size_t offset = 0;
    for (int l = 1; l < line && offset < text.size(); ++offset)
        if (text[offset] == '\n')
            ++l;
    return offset + static_cast<std::size_t>(column - 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using mhost::Json;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    bool mineAccepts = true;
    std::string refusal;
    Json mine;
    try {
        mine = mhost::parseJson(text, "fuzz");
    } catch (const mhost::MalformedJson& e) {
        mineAccepts = false;
        refusal = e.what();
        if (refusal.rfind("fuzz:", 0) != 0 ||
            refusal.find(": malformed JSON: ") == std::string::npos)
            fault("a refusal without a position", text, refusal);
    }

    // nlohmann stops at a NUL byte as at the end of its input.
    if (text.find('\0') != std::string_view::npos) {
        if (mineAccepts)
            fault("a NUL byte was accepted", text, "");
        return 0;
    }
    Refusals refusals;
    const bool theirsAccepts = nlohmann::ordered_json::sax_parse(text, &refusals);
    const bool purposeful = refusals.repeatedKey || refusals.nulCharacter ||
                            refusals.maxDepth > mhost::JsonReader::kMaxDepth;
    if (!theirsAccepts) {
        if (mineAccepts)
            fault("accepted what nlohmann refuses", text, mine.dump());
        // The fault is found no later than nlohmann finds it.
        if (offsetOf(text, refusal) > refusals.errorAt)
            fault("refused later than nlohmann", text,
                  refusal + " (nlohmann at byte " + std::to_string(refusals.errorAt) + ")");
        return 0;
    }
    if (purposeful) {
        if (mineAccepts)
            fault("accepted a repeated key, a NUL character or deep nesting", text, mine.dump());
        return 0;
    }
    if (!mineAccepts)
        fault("refused what nlohmann accepts", text, refusal);
    const std::string theirs = Json::parse(text).dump();
    if (mine.dump() != theirs)
        fault("read other values than nlohmann", text, mine.dump() + "\nnlohmann: " + theirs);
    return 0;
}

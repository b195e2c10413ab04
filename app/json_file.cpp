#include "json_file.hpp"

#include "errors.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

} // namespace

Json parseJson(std::string_view text, const std::string& source) {
    try {
        return Json::parse(text.begin(), text.end());
    } catch (const Json::parse_error& e) {
        // e.byte counts from 1 and names the character that broke the parse.
        const std::size_t offset = e.byte > 0 ? e.byte - 1 : 0;
        const TextPosition pos = positionOfOffset(text, offset);
        throw InputError(source + ":" + std::to_string(pos.line) + ":" +
                         std::to_string(pos.column) + ": malformed JSON: " + parseReason(e.what()));
    }
}

Json readJsonFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw InputError(path + ": cannot read: " + std::strerror(errno));
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad())
        throw InputError(path + ": cannot read: " + std::strerror(errno));
    return parseJson(buffer.str(), path);
}

void writeFileAtomically(const std::string& path, std::string_view content) {
    namespace fs = std::filesystem;
    const fs::path target(path);
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string pattern = (folder / ("." + target.filename().string() + ".XXXXXX")).string();

    const int fd = ::mkstemp(pattern.data());
    if (fd < 0)
        throw RunError(path + ": cannot write: " + std::strerror(errno));
    const auto fail = [&](const char* what) {
        const int saved = errno;
        ::close(fd);
        ::unlink(pattern.c_str());
        throw RunError(path + ": cannot write (" + what + "): " + std::strerror(saved));
    };

    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("write");
        }
        done += static_cast<std::size_t>(n);
    }
    // mkstemp creates the file readable by its owner only; give it the usual
    // permissions of a new file.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd, 0666 & ~mask) != 0)
        fail("chmod");
    if (::fsync(fd) != 0)
        fail("sync");
    if (::close(fd) != 0) {
        const int saved = errno;
        ::unlink(pattern.c_str());
        throw RunError(path + ": cannot write (close): " + std::strerror(saved));
    }
    if (std::rename(pattern.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(pattern.c_str());
        throw RunError(path + ": cannot write (rename): " + std::strerror(saved));
    }
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
    throw InputError("missing field \"" + key + "\"");
}

namespace {

[[noreturn]] void wrongKind(const std::string& key, const char* wanted, const Json& j) {
    throw InputError("field \"" + key + "\" must be " + wanted + ", not " + describeJsonKind(j));
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
            throw InputError("unknown field \"" + item.key() + "\"");
    }
}

} // namespace mhost

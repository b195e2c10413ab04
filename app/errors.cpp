#include "errors.hpp"

#include <algorithm>

#include <cstdio>

namespace mhost {

std::size_t utf8Length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned min = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    unsigned code = lead & (0x3F >> (length - 1));
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
    if (code < min || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return 0;
    return length;
}

std::string quote(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        char escape[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (const std::size_t n = utf8Length(text, i); n > 0) {
            out.append(text.substr(i, n));
            i += n;
            continue;
        } else {
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        }
        ++i;
    }
    return out + "\"";
}

std::string didYouMean(std::string_view name, const std::vector<std::string>& candidates) {
    // Levenshtein distance, one row at a time.
    const auto distance = [](std::string_view a, std::string_view b) {
        std::vector<std::size_t> row(b.size() + 1);
        for (std::size_t j = 0; j <= b.size(); ++j)
            row[j] = j;
        for (std::size_t i = 1; i <= a.size(); ++i) {
            std::size_t diagonal = row[0];
            row[0] = i;
            for (std::size_t j = 1; j <= b.size(); ++j) {
                const std::size_t above = row[j];
                row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
                diagonal = above;
            }
        }
        return row[b.size()];
    };
    const std::string* best = nullptr;
    std::size_t bestDistance = std::max<std::size_t>(1, name.size() / 3) + 1;
    for (const std::string& candidate : candidates) {
        const std::size_t d = distance(name, candidate);
        if (d < bestDistance) {
            bestDistance = d;
            best = &candidate;
        }
    }
    return best ? " (did you mean " + quote(*best) + "?)" : "";
}

} // namespace mhost

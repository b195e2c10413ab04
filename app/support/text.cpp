#include "support/text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <system_error>

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

std::string_view nonFiniteText(double value) {
    if (std::isnan(value))
        return "nan";
    if (std::isinf(value))
        return value > 0 ? "inf" : "-inf";
    return {};
}

bool nonFiniteFromText(std::string_view text, double& out) {
    if (text == "nan")
        out = std::numeric_limits<double>::quiet_NaN();
    else if (text == "inf" || text == "-inf")
        out = text == "inf" ? std::numeric_limits<double>::infinity()
                            : -std::numeric_limits<double>::infinity();
    else
        return false;
    return true;
}

std::string formatFixed(double value, int decimals) {
    if (!std::isfinite(value))
        return std::string(nonFiniteText(value));
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    std::string text = buffer;
    if (text.find_first_not_of("-0.") == std::string::npos && text.front() == '-')
        text.erase(0, 1);
    return text;
}

std::string formatShortest(double value) {
    std::string text;
    appendShortest(text, value);
    return text;
}

void appendShortest(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out += nonFiniteText(value);
        return;
    }
    // 32 bytes hold any double's shortest form ("-2.2250738585072014e-308").
    char buffer[32];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    if (ec != std::errc())
        throw std::logic_error("to_chars needs more room for a double");
    out.append(buffer, end);
}

std::string alignColumns(const std::vector<std::vector<std::string>>& rows,
                         const std::vector<bool>& leftAligned) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (std::size_t c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row[c].size());
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            if (c > 0)
                line += ' ';
            const std::size_t pad = widths[c] - row[c].size();
            const bool left = c < leftAligned.size() && leftAligned[c];
            if (!left)
                line.append(pad, ' ');
            line += row[c];
            if (left && c + 1 < row.size())
                line.append(pad, ' ');
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out += line + '\n';
    }
    return out;
}

std::string escapeXml(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        const std::size_t length = static_cast<unsigned char>(c) < 0x80 ? 1 : utf8Length(text, i);
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        else if (length == 0 || (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t'))
            out += '?'; // not allowed in XML 1.0
        else
            out.append(text.substr(i, length));
        i += length ? length : 1;
    }
    return out;
}

std::string fillMarkers(std::string_view text,
                        const std::vector<std::pair<std::string_view, std::string_view>>& parts) {
    std::string out;
    std::size_t from = 0;
    for (const auto& [marker, content] : parts) {
        const std::size_t at = text.find(marker, from);
        if (at == std::string_view::npos)
            throw std::logic_error("a page lacks the marker " + std::string(marker));
        out.append(text.substr(from, at - from));
        out.append(content);
        from = at + marker.size();
    }
    out.append(text.substr(from));
    return out;
}

bool endsWithNoCase(std::string_view text, std::string_view end) {
    if (text.size() < end.size())
        return false;
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    const std::string_view tail = text.substr(text.size() - end.size());
    for (std::size_t i = 0; i < end.size(); ++i)
        if (lower(tail[i]) != lower(end[i]))
            return false;
    return true;
}

std::string_view utf8Prefix(std::string_view text, std::size_t bytes) {
    std::size_t keep = 0;
    while (keep < text.size()) {
        const std::size_t length = std::max<std::size_t>(utf8Length(text, keep), 1);
        if (keep + length > bytes)
            break;
        keep += length;
    }
    return text.substr(0, keep);
}

} // namespace mhost

// Text helpers every layer uses: quoting names for messages, suggesting a
// close name, UTF-8, positions in a text, numbers as mhost prints them, XML
// escapes and aligned columns. Only the standard library is below it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mhost {

// Line and column (both from 1) of the byte at `offset` in text. An offset
// past the end names the position just after the last character.
struct TextPosition {
    int line = 1;
    int column = 1;
};
TextPosition positionOfOffset(std::string_view text, std::size_t offset);

// text in double quotes for a message, as JSON writes a string: quotes,
// backslashes and control characters escaped, so that a name holding a
// newline or an escape sequence cannot garble what is printed. Bytes that
// are not UTF-8 are shown as \xNN.
std::string quote(std::string_view text);

// " (did you mean "type"?)" naming the candidate closest to a misspelt
// name, or "" when none is close (at most a third of the name's letters
// wrong, by edit distance).
std::string didYouMean(std::string_view name, const std::vector<std::string>& candidates);

// Length of the well-formed UTF-8 sequence that starts at text[i] (1 to 4),
// or 0 when none does there.
std::size_t utf8Length(std::string_view text, std::size_t i);

// The longest start of text of at most `bytes` bytes that ends where a
// character ends (a byte that is not UTF-8 counts as one character): a name
// cut short to fit a limit.
std::string_view utf8Prefix(std::string_view text, std::size_t bytes);

// Text for XML and HTML content and attribute values: the five markup
// characters escaped, and characters XML 1.0 does not allow (control
// characters, broken UTF-8) as "?".
std::string escapeXml(std::string_view text);

// "nan", "inf" or "-inf" for a value that is not finite, the one spelling
// of such values in every file and report mhost writes; "" for a finite one.
std::string_view nonFiniteText(double value);
// The value nonFiniteText spells as text; false for any other text.
bool nonFiniteFromText(std::string_view text, double& out);

// Fixed-point text with `decimals` digits, without a minus sign on zero.
std::string formatFixed(double value, int decimals);

// The shortest text that reads back as the same double.
std::string formatShortest(double value);
// The same appended to out, for writers of many numbers.
void appendShortest(std::string& out, double value);

// Columns of text padded to a common width each: right-aligned, or left-
// aligned for the columns listed in leftAligned. Lines carry no trailing
// blanks.
std::string alignColumns(const std::vector<std::vector<std::string>>& rows,
                         const std::vector<bool>& leftAligned);

// Whether text ends in `end`, ASCII letters compared in either case (a
// file name's extension: ".GLB" is ".glb").
bool endsWithNoCase(std::string_view text, std::string_view end);

// The text with each marker replaced once, in order; what is put in is
// never searched again, so content cannot inject a marker. std::logic_error
// when a marker is missing (a page built without it).
std::string fillMarkers(std::string_view text,
                        const std::vector<std::pair<std::string_view, std::string_view>>& parts);

} // namespace mhost

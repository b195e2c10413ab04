// PRM_Default: the factory default of one parameter component.
//
// A template points at an array of defaults, one per component (a missing
// array means 0 for every component). For a folder switcher the array holds
// one entry per folder: the number of templates the folder encloses (float)
// and the folder's label (string).
#pragma once

// How a default string is read.
enum CH_StringMeaning {
    CH_STRING_LITERAL = 0,       // plain text
    CH_EXPRESSION_IN_QUOTES = 1, // text that would be an expression if unquoted
    CH_EXPRESSION = 2,           // an expression
    CH_STRING_LABEL = 3,         // a label shown to users (folder names)
};

class PRM_Default {
public:
    constexpr PRM_Default(double value = 0.0, const char* text = nullptr,
                          CH_StringMeaning meaning = CH_STRING_LITERAL)
        : myFloat(value), myString(text), myMeaning(meaning) {}

    constexpr double getFloat() const { return myFloat; }
    constexpr int getOrdinal() const { return static_cast<int>(myFloat); }
    constexpr const char* getString() const { return myString; }
    constexpr CH_StringMeaning getStringMeaning() const { return myMeaning; }

private:
    double myFloat;
    const char* myString;
    CH_StringMeaning myMeaning;
};

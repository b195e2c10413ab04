// UT_String: the host's owned text string.
//
// Holds a copy of the text it is given, or no text at all (a null string).
// Comparison with text is whole-string equality; a null string equals only a
// null pointer, and an empty string equals only "".
#pragma once

#include <string>

class UT_String {
public:
    UT_String() = default;
    UT_String(const char* text) { *this = text; }

    UT_String& operator=(const char* text) {
        myIsNull = (text == nullptr);
        myText = text ? text : "";
        return *this;
    }

    // Whole-string equality with text.
    bool operator==(const char* text) const {
        if (myIsNull || text == nullptr)
            return myIsNull && text == nullptr;
        return myText == text;
    }
    bool operator!=(const char* text) const { return !(*this == text); }

    bool isNull() const { return myIsNull; }
    // The text, or nullptr for a null string.
    const char* c_str() const { return myIsNull ? nullptr : myText.c_str(); }
    std::size_t length() const { return myText.size(); }

private:
    std::string myText;
    bool myIsNull = true;
};

// PRM_Type: the type of a parameter, as a record of two flag words.
//
// The basic word says what the parameter holds (a float, an ordinal menu
// index, a toggle, a button, ...); the option word carries modifiers such as
// invisibility. Types combine word by word: a type whose words are the
// bitwise OR of two types' words has both types' properties, which is how a
// plug-in makes an invisible variant of a built-in type.
#pragma once

#include <cstdint>

class PRM_Type {
public:
    // Basic-word bits.
    enum : std::uint32_t {
        BASIC_FLOAT = 1u << 0,      // real-valued components
        BASIC_ORDINAL = 1u << 1,    // integer components: menu index or toggle
        BASIC_STRING = 1u << 2,     // text components
        BASIC_TOGGLE = 1u << 3,     // with BASIC_ORDINAL: an on/off switch
        BASIC_CALLBACK = 1u << 4,   // a button: pressing it runs the callback
        BASIC_SEPARATOR = 1u << 5,  // a visual separator, holds no value
        BASIC_SWITCHER = 1u << 6,   // folder tabs; components count folders
        BASIC_TERMINATOR = 1u << 7, // ends a template list
    };
    // Option-word bits.
    enum : std::uint32_t {
        OPT_INVISIBLE = 1u << 0, // exists, evaluates and saves, but is never shown
        OPT_JOIN_NEXT = 1u << 1, // shown on one row with the next parameter
        OPT_SLIDER = 1u << 2,    // a float shown with a free-ranging slider
    };

    constexpr PRM_Type() = default;
    constexpr PRM_Type(std::uint32_t basic, std::uint32_t options)
        : myBasic(basic), myOptions(options) {}

    constexpr std::uint32_t basicWord() const { return myBasic; }
    constexpr std::uint32_t optionWord() const { return myOptions; }

    constexpr bool isFloat() const { return myBasic & BASIC_FLOAT; }
    constexpr bool isOrdinal() const { return myBasic & BASIC_ORDINAL; }
    constexpr bool isString() const { return myBasic & BASIC_STRING; }
    constexpr bool isToggle() const { return myBasic & BASIC_TOGGLE; }
    constexpr bool isButton() const { return myBasic & BASIC_CALLBACK; }
    constexpr bool isSeparator() const { return myBasic & BASIC_SEPARATOR; }
    constexpr bool isSwitcher() const { return myBasic & BASIC_SWITCHER; }
    constexpr bool isTerminator() const { return myBasic & BASIC_TERMINATOR; }
    constexpr bool isInvisible() const { return myOptions & OPT_INVISIBLE; }
    // True for types whose components hold a value (not buttons, separators,
    // switchers or terminators).
    constexpr bool holdsValue() const {
        return (myBasic & (BASIC_FLOAT | BASIC_ORDINAL | BASIC_STRING)) &&
               !(myBasic & (BASIC_CALLBACK | BASIC_SEPARATOR | BASIC_SWITCHER | BASIC_TERMINATOR));
    }

    constexpr bool operator==(const PRM_Type& o) const {
        return myBasic == o.myBasic && myOptions == o.myOptions;
    }

    // A short name of the basic type for listings: "float", "int", "toggle",
    // "menu" (an ordinal with a menu is reported by the caller), "string",
    // "button", "separator", "switcher", "terminator".
    const char* describe() const;

private:
    std::uint32_t myBasic = 0;
    std::uint32_t myOptions = 0;
};

// Extended type: how a value is presented beyond its basic type.
enum PRM_TypeExtended {
    PRM_TYPE_TOP = 0,      // no extension
    PRM_TYPE_ANGLE = 1,    // a rotation in degrees
    PRM_TYPE_COLOR = 2,    // an RGB colour
    PRM_TYPE_OBJ_PATH = 3, // a path to an object node
};

// Built-in types.
inline constexpr PRM_Type PRM_FLT{PRM_Type::BASIC_FLOAT, 0};
inline constexpr PRM_Type PRM_FLT_J{PRM_Type::BASIC_FLOAT, PRM_Type::OPT_SLIDER};
inline constexpr PRM_Type PRM_INT{PRM_Type::BASIC_ORDINAL, 0};
inline constexpr PRM_Type PRM_ORD{PRM_Type::BASIC_ORDINAL, 0};
inline constexpr PRM_Type PRM_TOGGLE{PRM_Type::BASIC_ORDINAL | PRM_Type::BASIC_TOGGLE, 0};
inline constexpr PRM_Type PRM_STRING{PRM_Type::BASIC_STRING, 0};
inline constexpr PRM_Type PRM_CALLBACK{PRM_Type::BASIC_CALLBACK, 0};
inline constexpr PRM_Type PRM_SEPARATOR{PRM_Type::BASIC_SEPARATOR, 0};
inline constexpr PRM_Type PRM_SWITCHER{PRM_Type::BASIC_SWITCHER, 0};
inline constexpr PRM_Type PRM_LIST_TERMINATOR{PRM_Type::BASIC_TERMINATOR, 0};
// Not a type of its own: OR it into another type to hide that parameter.
inline constexpr PRM_Type PRM_TYPE_INVISIBLE{0, PRM_Type::OPT_INVISIBLE};

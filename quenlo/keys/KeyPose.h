// What one key stores: its pose and the two order menus, described once as a
// table of fields that every operation on a key walks.
//
// The key commands read a key dummy into a key transform, store it into a
// key, push a key onto the dummy and reset a key; the keyed transform reads
// a key's pose. All five walk keyFields below, so a field is added by adding
// its row.
#pragma once

#include "QuenloTokens.h"

#include <array>
#include <cstddef>

// One key's pose as the keyed transform blends it. A new pose is the
// identity: every field at the identity value of its row in keyFields.
struct QuenloPose {
    constexpr QuenloPose();

    std::array<float, 3> translate;
    std::array<float, 3> rotate; // degrees
    std::array<float, 3> scale;
    std::array<float, 3> pivot;
    float uniformScale;
};

// What the key commands copy between a key and the key dummy: the pose and
// the two order menu indices.
struct QuenloKeyTransform {
    int xformOrder = 0;  // index into PRMtrsMenu
    int rotateOrder = 0; // index into PRMxyzMenu
    QuenloPose pose;
};

namespace quenlo {

// One field of a key. Exactly one of order, vector and scalar is set: it
// says where the field's value lives in a key transform.
struct KeyField {
    const char* keyToken;   // the key's parameter ("#" stands for the key number)
    const char* dummyToken; // the key dummy's parameter it is copied to and from
    int components;
    float identity;                           // its value in the identity pose (Reset transform)
    int QuenloKeyTransform::*order = nullptr; // a menu index, read and written as an integer
    std::array<float, 3> QuenloPose::*vector = nullptr;
    float QuenloPose::*scalar = nullptr;

    constexpr bool isOrder() const { return order != nullptr; }
    // Component c of a pose field.
    constexpr float& value(QuenloPose& pose, int c) const {
        return vector ? (pose.*vector)[static_cast<std::size_t>(c)] : pose.*scalar;
    }
    constexpr float value(const QuenloPose& pose, int c) const {
        return vector ? (pose.*vector)[static_cast<std::size_t>(c)] : pose.*scalar;
    }
};

// The fields in key order: the order in which a key is stored, pushed onto
// the dummy, reset and read. (The dummy is read in its own order; see
// OBJ_Quenlo::readDummyTransform.)
inline constexpr KeyField keyFields[] = {
    {token::xOrd, token::dummy::xOrd, 1, 0.0f, &QuenloKeyTransform::xformOrder},
    {token::rOrd, token::dummy::rOrd, 1, 0.0f, &QuenloKeyTransform::rotateOrder},
    {token::translate, token::dummy::translate, 3, 0.0f, nullptr, &QuenloPose::translate},
    {token::rotate, token::dummy::rotate, 3, 0.0f, nullptr, &QuenloPose::rotate},
    {token::scale, token::dummy::scale, 3, 1.0f, nullptr, &QuenloPose::scale},
    {token::uniformScale, token::dummy::uniformScale, 1, 1.0f, nullptr, nullptr,
     &QuenloPose::uniformScale},
    {token::pivot, token::dummy::pivot, 3, 0.0f, nullptr, &QuenloPose::pivot},
};

} // namespace quenlo

constexpr QuenloPose::QuenloPose() : translate{}, rotate{}, scale{}, pivot{}, uniformScale{} {
    for (const quenlo::KeyField& field : quenlo::keyFields) {
        if (field.isOrder())
            continue;
        for (int c = 0; c < field.components; ++c)
            field.value(*this, c) = field.identity;
    }
}

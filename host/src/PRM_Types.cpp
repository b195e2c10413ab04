// Small parameter records: types, names, menus, ranges and spare data.
#include "PRM/PRM_ChoiceList.h"
#include "PRM/PRM_Name.h"
#include "PRM/PRM_Range.h"
#include "PRM/PRM_SpareData.h"
#include "PRM/PRM_Type.h"

#include <cstring>

const char* PRM_Type::describe() const {
    if (isTerminator())
        return "terminator";
    if (isSwitcher())
        return "switcher";
    if (isSeparator())
        return "separator";
    if (isButton())
        return "button";
    if (isToggle())
        return "toggle";
    if (isOrdinal())
        return "int";
    if (isString())
        return "string";
    if (isFloat())
        return "float";
    return "none";
}

namespace {
std::unique_ptr<char[]> copyText(const char* text) {
    if (!text)
        return nullptr;
    std::size_t n = std::strlen(text) + 1;
    auto copy = std::make_unique<char[]>(n);
    std::memcpy(copy.get(), text, n);
    return copy;
}
} // namespace

PRM_Name::PRM_Name(const char* token, const char* label, int flags)
    : myToken(token), myLabel(label), myFlags(flags) {}

PRM_Name::PRM_Name(const PRM_Name& other)
    : myToken(other.myToken), myLabel(other.myLabel), myFlags(other.myFlags) {
    if (other.isHardened())
        harden();
}

PRM_Name& PRM_Name::operator=(const PRM_Name& other) {
    if (this == &other)
        return *this;
    // Copy the other's strings before releasing ours: they may be the same.
    auto token = copyText(other.myToken);
    auto label = copyText(other.myLabel);
    myFlags = other.myFlags;
    if (other.isHardened()) {
        myOwnToken = std::move(token);
        myOwnLabel = std::move(label);
        myToken = myOwnToken.get();
        myLabel = myOwnLabel.get();
    } else {
        myOwnToken.reset();
        myOwnLabel.reset();
        myToken = other.myToken;
        myLabel = other.myLabel;
    }
    return *this;
}

PRM_Name::~PRM_Name() = default;

void PRM_Name::harden() {
    if (isHardened())
        return;
    myOwnToken = copyText(myToken);
    myOwnLabel = copyText(myLabel);
    myToken = myOwnToken.get();
    myLabel = myOwnLabel.get();
    // A name with neither string stays unhardened; that is harmless since it
    // refers to nothing.
}

int PRM_ChoiceList::getCount() const {
    int n = 0;
    if (myItems)
        while (myItems[n].getToken())
            ++n;
    return n;
}

const PRM_Name* PRM_ChoiceList::getItem(int i) const {
    return (i >= 0 && i < getCount()) ? &myItems[i] : nullptr;
}

double PRM_Range::clampUserValue(double value) const {
    if (myMinFlag == PRM_RANGE_RESTRICTED && value < myMin)
        value = myMin;
    if (myMaxFlag == PRM_RANGE_RESTRICTED && value > myMax)
        value = myMax;
    return value;
}

const char* PRM_SpareData::getValue(const char* key) const {
    if (!key || !myTokens)
        return nullptr;
    for (const PRM_SpareToken* t = myTokens; t->key; ++t)
        if (std::strcmp(t->key, key) == 0)
            return t->value;
    return nullptr;
}

// PRM_Name: the token and label of a parameter or menu item.
//
// The token is the parameter's persistent name (saved with scenes, used to
// evaluate it); the label is what users see. A name normally only points at
// strings owned elsewhere (usually string literals). harden() makes it own
// copies of both, so it stays valid after the original strings go away.
// A name whose token is null ends a menu's item list.
#pragma once

#include <memory>

class PRM_Name {
public:
    // flags: host presentation flags, kept and copied but not interpreted by
    // the parameter library.
    PRM_Name(const char* token = nullptr, const char* label = nullptr, int flags = 0);
    PRM_Name(const PRM_Name& other);
    PRM_Name& operator=(const PRM_Name& other);
    ~PRM_Name();

    // Makes this name own copies of its token and label. Idempotent.
    void harden();
    bool isHardened() const { return myOwnToken != nullptr || myOwnLabel != nullptr; }

    const char* getToken() const { return myToken; }
    const char* getLabel() const { return myLabel; }
    int getFlags() const { return myFlags; }

private:
    const char* myToken;
    const char* myLabel;
    int myFlags;
    std::unique_ptr<char[]> myOwnToken;
    std::unique_ptr<char[]> myOwnLabel;
};

// A small object type used by the host's own tests: a few plain parameters
// with callbacks, a key-0-style "t0" block and a multi-parameter "count"
// whose members carry "#" tokens, all after the host's object templates.
#pragma once

#include "OBJ/OBJ_Null.h"
#include "OP/OP_OperatorTable.h"
#include "PRM/PRM_Shared.h"

#include <string>
#include <vector>

namespace hosttest {

// Every callback run, in order.
struct CallbackRecord {
    OP_Node* node;
    int index;
    float time;
    std::string token;
    // The value of "gain" as the callback saw it.
    double gainSeen;
};
std::vector<CallbackRecord>& callbackLog();

// A null whose refreshEnableStates disables "gain" while "mute" is on and
// counts its calls.
class TestObject : public OBJ_Null {
public:
    using OBJ_Null::OBJ_Null;
    int refreshEnableStates() override;
    int refreshCount = 0;
};

// Registers the type "testobj" in table.
void registerTestType(OP_OperatorTable& table);

} // namespace hosttest

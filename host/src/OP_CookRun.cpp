#include "OP_CookRun.h"

#include "OBJ/OBJ_Node.h"

namespace {
unsigned long lastRun = 0;
} // namespace

OP_CookRun::OP_CookRun(float time) : myContext(time), myId(++lastRun) {}

UT_ErrorSeverity OP_CookRun::cook(OBJ_Node& node) {
    return node.cookChain(myContext, myId);
}

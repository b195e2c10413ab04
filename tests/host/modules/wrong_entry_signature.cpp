// Must not compile: newObjectOperator defined with a reference where
// OP/OP_Module.h declares a pointer. The test that compiles this file
// expects the compiler to name the conflict.
#include "OP/OP_Module.h"

MORVANE_MODULE_EXPORT void newObjectOperator(OP_OperatorTable& table) {
    (void)table;
}

// The object table of the unit tests: the host's own types and the quenlo
// type, registered straight from the module's code (no loader).
#pragma once

#include "OP/OP_OperatorTable.h"
#include "plugin/QuenloRegistration.h"

namespace quenlo_test {

inline OP_OperatorTable& unitTable() {
    static OP_OperatorTable instance;
    static const bool registered = [] {
        OBJinstallHostOperators(instance);
        quenlo::registerOperator(&instance);
        return true;
    }();
    (void)registered;
    return instance;
}

} // namespace quenlo_test

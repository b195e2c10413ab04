// The module's entry points, looked up by name by the host's loader. They
// are the only symbols the module exports.
#include "OP/OP_Module.h"
#include "plugin/QuenloRegistration.h"

namespace {

constexpr char buildTag[] = "3f9a0c57d2e14b8ba6c03e7d915f2a48c0b7e6d3a1f58c294e07b6a3d5c1f8e2"
                            "b94a7d06e3c5f1a82d7b0e4c69a3f15d8e2b7c04a96f3e1d5b28c7a0e49f6d31"
                            "c8b5a2e07f4d19c6b3e8a5d201f7c4b9e6a07d";

} // namespace

// The host interface version the module was built for: the SDK's own.
MORVANE_MODULE_EXPORT void MorvaneDSOVersion(const char** version) {
    *version = OP_DSO_INTERFACE_VERSION;
}

MORVANE_MODULE_EXPORT void MorvaneGetTagInfo(const char** tag) {
    *tag = buildTag;
}

MORVANE_MODULE_EXPORT void newObjectOperator(OP_OperatorTable* table) {
    quenlo::registerOperator(table);
}

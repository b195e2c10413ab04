// OP_Module: the three entry points every module defines.
//
// The host finds them by name with dlsym, so they have C linkage and are the
// module's only exported symbols. Define each with MORVANE_MODULE_EXPORT:
//
//   #include <OP/OP_Module.h>
//
//   MORVANE_MODULE_EXPORT void MorvaneDSOVersion(const char** version) {
//       *version = OP_DSO_INTERFACE_VERSION;
//   }
//   MORVANE_MODULE_EXPORT void MorvaneGetTagInfo(const char** tag) {
//       *tag = "my-module 1.2 (built 2026-12-08)";
//   }
//   MORVANE_MODULE_EXPORT void newObjectOperator(OP_OperatorTable* table) {
//       table->addOperator(new OP_Operator(...));
//   }
//
// The declarations below fix each signature: a definition that differs
// ("void newObjectOperator(OP_OperatorTable& table)", a missing const) is a
// compile error, not a module the host refuses at load time.
//
// [host thread] The host calls them once each, at load, in this order, on
// its one thread; the module's static objects are built by then and each
// call runs to completion. An exception that escapes one fails the load (see
// OP_DSOLoader.h).
#pragma once

#include "OP/OP_DSOLoader.h" // OP_DSO_INTERFACE_VERSION

class OP_OperatorTable;

// Exports a function under its plain C name, visible even when the module
// is built with hidden visibility (as morvane_add_module builds it).
#define MORVANE_MODULE_EXPORT extern "C" __attribute__((visibility("default")))

// Stores the host interface version the module was built for; the host
// loads the module only when it is OP_DSO_INTERFACE_VERSION ("9.0").
// *version must stay valid for the life of the process (a literal).
MORVANE_MODULE_EXPORT void MorvaneDSOVersion(const char** version);

// Stores a build tag: text that identifies this build of the module,
// shown by `mhost info`. *tag must stay valid for the life of the process.
MORVANE_MODULE_EXPORT void MorvaneGetTagInfo(const char** tag);

// Registers the module's object types with table->addOperator. The table
// owns each OP_Operator; its templates must outlive the process's use of
// the module (static data of the module).
MORVANE_MODULE_EXPORT void newObjectOperator(OP_OperatorTable* table);

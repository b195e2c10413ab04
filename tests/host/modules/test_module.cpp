// Small modules the loader tests load. One source, three builds:
//   TEST_MODULE_GOOD         a well-formed module registering "testmod"
//   TEST_MODULE_OLD_VERSION  reports interface version "8.5"
//   TEST_MODULE_NO_REGISTER  lacks newObjectOperator
#include "OBJ/OBJ_Null.h"
#include "OP/OP_OperatorTable.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT void MorvaneDSOVersion(const char** version) {
#ifdef TEST_MODULE_OLD_VERSION
    *version = "8.5";
#else
    *version = "9.0";
#endif
}

EXPORT void MorvaneGetTagInfo(const char** tag) { *tag = "test-module-tag"; }

#ifndef TEST_MODULE_NO_REGISTER
namespace {
OP_TemplatePair pair(OBJ_Null::getTemplateList());
}
EXPORT void newObjectOperator(OP_OperatorTable* table) {
    table->addOperator(new OP_Operator("testmod", "Test Module", OBJ_Null::myConstructor, &pair,
                                       0, 1));
}
#endif

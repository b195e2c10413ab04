// Small modules the loader tests load. One source, several builds:
//   TEST_MODULE_GOOD         a well-formed module registering "testmod"
//   TEST_MODULE_OLD_VERSION  reports interface version "8.5"
//   TEST_MODULE_NO_REGISTER  lacks newObjectOperator
//   TEST_MODULE_THROWS       registers "throwmod", then throws "boom"
//   TEST_MODULE_MARKER       a good module that, once mapped, creates the file
//                            named by $TEST_MODULE_MARKER: proof that it was
//                            mapped at all
#include "OBJ/OBJ_Null.h"
#include "OP/OP_Module.h"
#include "OP/OP_OperatorTable.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

MORVANE_MODULE_EXPORT void MorvaneDSOVersion(const char** version) {
#ifdef TEST_MODULE_OLD_VERSION
    *version = "8.5";
#else
    *version = "9.0";
#endif
}

MORVANE_MODULE_EXPORT void MorvaneGetTagInfo(const char** tag) { *tag = "test-module-tag"; }

#ifndef TEST_MODULE_NO_REGISTER
namespace {
OP_TemplatePair pair(OBJ_Null::getTemplateList());
}
MORVANE_MODULE_EXPORT void newObjectOperator(OP_OperatorTable* table) {
#ifdef TEST_MODULE_THROWS
    table->addOperator(new OP_Operator("throwmod", "Throwing Module", OBJ_Null::myConstructor,
                                       &pair, 0, 1));
    throw std::runtime_error("boom");
#elif defined(TEST_MODULE_MARKER)
    table->addOperator(new OP_Operator("markermod", "Marker Module", OBJ_Null::myConstructor,
                                       &pair, 0, 1));
#else
    table->addOperator(new OP_Operator("testmod", "Test Module", OBJ_Null::myConstructor, &pair,
                                       0, 1));
#endif
}
#endif

#ifdef TEST_MODULE_MARKER
__attribute__((constructor)) static void leaveMarker() {
    if (const char* marker = std::getenv("TEST_MODULE_MARKER"))
        if (std::FILE* f = std::fopen(marker, "w"))
            std::fclose(f);
}
#endif

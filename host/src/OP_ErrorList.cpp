// OP_Parameters' error list: what a cook found wrong with the node.
#include "OP/OP_Parameters.h"

#include <algorithm>
#include <string>
#include <utility>

UT_ErrorSeverity OP_Parameters::error() const {
    UT_ErrorSeverity worst = UT_ERROR_NONE;
    for (const OP_ErrorEntry& e : myErrors)
        worst = std::max(worst, e.severity);
    return worst;
}

void OP_Parameters::addError(UT_ErrorSeverity severity, int code, const char* message) {
    std::string text = message ? message : "";
    for (const OP_ErrorEntry& e : myErrors)
        if (e.severity == severity && e.code == code && e.message == text)
            return;
    myErrors.push_back(OP_ErrorEntry{severity, code, std::move(text)});
}

void OP_Parameters::clearErrors() {
    myErrors.clear();
}

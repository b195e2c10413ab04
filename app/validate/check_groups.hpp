// The checks of `mhost validate`, by the file that holds them; the table in
// validate/checks.cpp gives each its name, its sentence and its place.
#pragma once

#include "validate/check.hpp"

namespace mhost::validation {

// What a module declares (validate/checks_declared.cpp).
void checkLoads(Subject& s);
void checkRegistration(Subject& s);
void checkTemplates(Subject& s);

// Nodes made and destroyed (validate/checks_lifetime.cpp).
void checkCreateDestroy(Subject& s);

// Cooks (validate/checks_cooking.cpp).
void checkDefaults(Subject& s);
void checkRandomValues(Subject& s);
void checkHostileValues(Subject& s);
void checkButtons(Subject& s);
void checkUserEdits(Subject& s);

// A node's state and nothing else (validate/checks_consistency.cpp).
void checkRoundTrip(Subject& s);
void checkDeterminism(Subject& s);
void checkTimeIndependence(Subject& s);

} // namespace mhost::validation

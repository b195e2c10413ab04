// Whether a piece of text lies in read-only memory (the host's own, inside
// the library): a string literal of the host, a module or the program. Text
// there cannot be rewritten, so what it names can be remembered by address.
#pragma once

// Whether address lies in a read-only segment of a loaded object. The
// segments are read once and again after UT_rescanReadOnlyMemory; an object
// loaded in between is simply not known (its text is checked each time).
// Objects are assumed to stay loaded: the host never unloads a module.
bool UT_isReadOnlyAddress(const void* address);

// Reads the loaded objects' segments again (after a module was loaded).
void UT_rescanReadOnlyMemory();

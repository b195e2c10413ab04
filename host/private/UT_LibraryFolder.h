// Where the SDK library lies, for a host that keeps files beside it (the
// default module folder, the host program's HTTP server). Host-private: not
// installed, and nothing a module calls.
#pragma once

#include <filesystem>

// The folder of the SDK library as mapped into this process, its links
// followed, wherever a build or an install (moved or not) put it; empty
// when the system cannot say. [any thread]
std::filesystem::path UT_libraryFolder();

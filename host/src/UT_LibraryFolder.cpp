#include "UT_LibraryFolder.h"

#include <dlfcn.h>
#include <system_error>

std::filesystem::path UT_libraryFolder() {
    // The file this function's own code was mapped from.
    Dl_info info{};
    if (!dladdr(reinterpret_cast<const void*>(&UT_libraryFolder), &info) || !info.dli_fname)
        return {};
    std::error_code ec;
    std::filesystem::path file = std::filesystem::canonical(info.dli_fname, ec);
    return ec ? std::filesystem::path(info.dli_fname).parent_path() : file.parent_path();
}

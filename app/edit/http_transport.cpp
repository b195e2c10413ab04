#include "edit/http_transport.hpp"

#include "support/errors.hpp"

#include <UT_LibraryFolder.h>

#include <mutex>
#include <string>

#include <dlfcn.h>

namespace mhost {

std::unique_ptr<HttpTransport> makeHttpTransport() {
    using Factory = HttpTransport* (*)();
    static std::once_flag loaded;
    static Factory factory = nullptr;
    static std::string failure;
    std::call_once(loaded, [] {
        // Beside the SDK library in the build, an install, the packages and
        // the wheel alike. Never closed: the transports it makes run its code.
        const std::string path = (UT_libraryFolder() / "mhost" / "libmhost_http.so").string();
        void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library)
            factory = reinterpret_cast<Factory>(::dlsym(library, kHttpTransportFactory));
        if (!factory) {
            const char* why = ::dlerror();
            failure = why ? why : path + ": no HTTP server in it";
        }
    });
    if (!factory)
        throw RunError("cannot serve the editing session: " + failure);
    return std::unique_ptr<HttpTransport>(factory());
}

} // namespace mhost

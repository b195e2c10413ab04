#include "edit/http_transport.hpp"

#include "support/errors.hpp"

#include <climits>
#include <mutex>
#include <string>

#include <dlfcn.h>

namespace mhost {

namespace {

// The folder the loader found the SDK library in, which holds the mhost
// folder in the build, an install, the packages and the wheel alike; "" if
// none. Not the run path: a sanitizer's dlopen looks in its own.
std::string sdkFolder() {
    void* sdk = ::dlopen(MHOST_SDK_SONAME, RTLD_LAZY | RTLD_NOLOAD);
    if (!sdk)
        return {};
    char origin[PATH_MAX] = {};
    const bool found = ::dlinfo(sdk, RTLD_DI_ORIGIN, origin) == 0;
    ::dlclose(sdk);
    return found ? origin : std::string();
}

} // namespace

std::unique_ptr<HttpTransport> makeHttpTransport() {
    using Factory = HttpTransport* (*)();
    static std::once_flag loaded;
    static Factory factory = nullptr;
    static std::string failure;
    std::call_once(loaded, [] {
        const std::string path = sdkFolder() + "/mhost/libmhost_http.so";
        // Never closed: the transports it makes run its code.
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

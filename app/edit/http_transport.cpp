#include "edit/http_transport.hpp"

#include "support/errors.hpp"

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
        // By name: the loader looks in mhost's run path, which holds the
        // mhost folder of its library folder, in the build and installed.
        // Never closed: the transports it makes run its code.
        void* library = ::dlopen("libmhost_http.so", RTLD_NOW | RTLD_LOCAL);
        if (library)
            factory = reinterpret_cast<Factory>(::dlsym(library, kHttpTransportFactory));
        if (!factory) {
            const char* why = ::dlerror();
            failure = why ? why : "libmhost_http.so: no HTTP server in it";
        }
    });
    if (!factory)
        throw RunError("cannot serve the editing session: " + failure);
    return std::unique_ptr<HttpTransport>(factory());
}

} // namespace mhost

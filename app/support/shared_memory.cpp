#include "support/shared_memory.hpp"

#include "support/private_memory.hpp"

#include <algorithm>

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

namespace mhost {

SharedMemory::SharedMemory(std::size_t bytes, const std::string& what, bool asFile) : size_(bytes) {
    const std::size_t length = std::max<std::size_t>(bytes, 1);
    if (asFile) {
        // A file reserves nothing up front, where anonymous memory is refused
        // at once when it exceeds what the system has: refused as it would be.
        refuseBeyondTheSystem(what, bytes);
        // Without memfd (an old kernel, a filter), or where the file cannot
        // take the size, the memory is anonymous. A file-size limit counts
        // the file, and going past it would raise SIGXFSZ in a program that
        // has not ignored it: checked first.
        struct rlimit limit {};
        const bool fits = ::getrlimit(RLIMIT_FSIZE, &limit) == 0 &&
                          (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= length);
        fd_ = fits ? ::memfd_create("mhost shared memory", MFD_CLOEXEC) : -1;
        if (fd_ >= 0 && ::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    void* p = MAP_FAILED;
    if (fd_ >= 0) {
        p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (p == MAP_FAILED) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    if (p == MAP_FAILED)
        p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        memoryRefused(what, bytes);
    data_ = static_cast<char*>(p);
}

SharedMemory::~SharedMemory() {
    ::munmap(data_, std::max<std::size_t>(size_, 1));
    if (fd_ >= 0)
        ::close(fd_);
}

void SharedMemory::populateBytes(std::size_t first, std::size_t bytes) const {
    faultInPages(data_, size_, first, bytes, false);
}

} // namespace mhost

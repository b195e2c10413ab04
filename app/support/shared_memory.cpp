#include "support/shared_memory.hpp"

#include "support/errors.hpp"
#include "support/private_memory.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

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
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t from = first / page * page;
    const std::size_t end = std::min(size_, first + bytes);
    if (end <= from)
        return;
    // Kernels before 5.14 lack MADV_POPULATE_WRITE: reading each page faults
    // it in instead (shared memory is allocated on a read fault too), and
    // keeps what another process may have written there.
    if (::madvise(data_ + from, end - from, MADV_POPULATE_WRITE) != 0)
        for (std::size_t b = from; b < end; b += page)
            (void)static_cast<volatile char*>(data_)[b];
}

} // namespace mhost

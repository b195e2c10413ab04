#include "support/shared_memory.hpp"

#include "support/errors.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <unistd.h>

namespace mhost {

namespace {
// Faults in n bytes of pages from p (page-aligned). Kernels before 5.14 lack
// MADV_POPULATE_WRITE: reading each page faults it in instead (shared memory
// is allocated on a read fault too), and keeps what another process may have
// written there.
void populatePages(char* p, std::size_t n, std::size_t page) {
    if (::madvise(p, n, MADV_POPULATE_WRITE) != 0)
        for (std::size_t b = 0; b < n; b += page)
            (void)static_cast<volatile char*>(p)[b];
}

[[noreturn]] void refused(const std::string& what, std::size_t bytes) {
    throw RunError(what + " needs " + std::to_string(bytes >> 20) +
                   " MiB of memory, which the system refused: " + std::strerror(errno));
}
} // namespace

SharedMemory::SharedMemory(std::size_t bytes, const std::string& what, bool asFile) : size_(bytes) {
    const std::size_t length = std::max<std::size_t>(bytes, 1);
    if (asFile) {
        // A file reserves nothing up front, where anonymous memory is refused
        // at once when it exceeds what the system has: refused as it would be.
        struct sysinfo system {};
        if (::sysinfo(&system) == 0 &&
            bytes / system.mem_unit > system.totalram + system.totalswap) {
            errno = ENOMEM;
            refused(what, bytes);
        }
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
        refused(what, bytes);
    data_ = static_cast<char*>(p);
}

SharedMemory::~SharedMemory() {
    ::munmap(data_, std::max<std::size_t>(size_, 1));
    if (fd_ >= 0)
        ::close(fd_);
}

void SharedMemory::closeFile() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void SharedMemory::populate(std::size_t share, std::size_t shares,
                            const std::function<void()>& interrupt) const {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t pages = (size_ + page - 1) / page;
    const std::size_t first = pages * share / shares, end = pages * (share + 1) / shares;
    char* const p = data_ + first * page;
    const std::size_t bytes = (end - first) * page;
    constexpr std::size_t kSlice = std::size_t(32) << 20;
    for (std::size_t at = 0; at < bytes; at += kSlice) {
        if (interrupt)
            interrupt();
        populatePages(p + at, std::min(kSlice, bytes - at), page);
    }
}

void SharedMemory::populateBytes(std::size_t first, std::size_t bytes) const {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t from = first / page * page;
    const std::size_t end = std::min(size_, first + bytes);
    if (end > from)
        populatePages(data_ + from, end - from, page);
}

} // namespace mhost

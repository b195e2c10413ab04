#include "support/shared_memory.hpp"

#include "support/errors.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/mman.h>
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
} // namespace

SharedMemory::SharedMemory(std::size_t bytes, const std::string& what) : size_(bytes) {
    void* const p = ::mmap(nullptr, std::max<std::size_t>(bytes, 1), PROT_READ | PROT_WRITE,
                           MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        throw RunError(what + " needs " + std::to_string(bytes >> 20) +
                       " MiB of memory, which the system refused: " + std::strerror(errno));
    data_ = static_cast<char*>(p);
}

SharedMemory::~SharedMemory() {
    ::munmap(data_, std::max<std::size_t>(size_, 1));
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

#include "support/private_memory.hpp"

#include "support/errors.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <sys/mman.h>
#include <sys/sysinfo.h>
#include <unistd.h>

namespace mhost {

namespace {
constexpr std::size_t kHugePage = std::size_t(2) << 20;

std::size_t pageSize() {
    return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}
} // namespace

void memoryRefused(const std::string& what, std::size_t bytes) {
    throw RunError(what + " needs " + std::to_string(bytes >> 20) +
                   " MiB of memory, which the system refused: " + std::strerror(errno));
}

void refuseBeyondTheSystem(const std::string& what, std::size_t bytes) {
    struct sysinfo system {};
    if (::sysinfo(&system) == 0 && bytes / system.mem_unit > system.totalram + system.totalswap) {
        errno = ENOMEM;
        memoryRefused(what, bytes);
    }
}

PrivateMemory::PrivateMemory(std::size_t bytes, const std::string& what) : size_(bytes) {
    refuseBeyondTheSystem(what, bytes);
    // 2 MiB aligned, so that every 2 MiB of it can be one huge page: mapped
    // with a huge page more and trimmed.
    const std::size_t length =
        (std::max<std::size_t>(bytes, 1) + kHugePage - 1) / kHugePage * kHugePage;
    void* p = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED)
        memoryRefused(what, bytes);
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
    if (aligned > start)
        ::munmap(p, aligned - start);
    if (start + kHugePage > aligned)
        ::munmap(reinterpret_cast<void*>(aligned + length), start + kHugePage - aligned);
    data_ = reinterpret_cast<char*>(aligned);
    mapped_ = length;
    ::madvise(data_, mapped_, MADV_HUGEPAGE); // a hint: without it, 4 KiB pages
}

PrivateMemory::~PrivateMemory() {
    ::munmap(data_, mapped_);
}

void faultInPages(char* data, std::size_t size, std::size_t first, std::size_t bytes, bool writes) {
    const std::size_t page = pageSize();
    const std::size_t from = first / page * page;
    const std::size_t end = std::min(size, first + bytes);
    if (end <= from || ::madvise(data + from, end - from, MADV_POPULATE_WRITE) == 0)
        return;
    for (std::size_t b = from; b < end; b += page) {
        auto* at = reinterpret_cast<volatile char*>(data + b);
        if (writes)
            *at = *at;
        else
            (void)*at;
    }
}

void PrivateMemory::populate(std::size_t first, std::size_t bytes) const {
    faultInPages(data_, mapped_, first, bytes, true);
}

} // namespace mhost

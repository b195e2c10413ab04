#include "UT_ReadOnlyMemory.h"

#include <algorithm>
#include <cstdint>
#include <link.h>
#include <utility>
#include <vector>

namespace {

using Range = std::pair<std::uintptr_t, std::uintptr_t>; // [first, last)

struct Segments {
    bool scanned = false;
    std::vector<Range> ranges; // sorted, disjoint
};

Segments& segments() {
    static Segments* instance = new Segments; // never destroyed: used until exit
    return *instance;
}

int collect(dl_phdr_info* info, std::size_t, void* data) {
    auto& ranges = *static_cast<std::vector<Range>*>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        // Loaded and not writable: text and read-only data.
        if (header.p_type != PT_LOAD || (header.p_flags & PF_W) != 0)
            continue;
        const std::uintptr_t first = info->dlpi_addr + header.p_vaddr;
        ranges.emplace_back(first, first + header.p_memsz);
    }
    return 0;
}

} // namespace

void UT_rescanReadOnlyMemory() {
    Segments& s = segments();
    s.ranges.clear();
    dl_iterate_phdr(collect, &s.ranges);
    std::sort(s.ranges.begin(), s.ranges.end());
    s.scanned = true;
}

bool UT_isReadOnlyAddress(const void* address) {
    Segments& s = segments();
    if (!s.scanned)
        UT_rescanReadOnlyMemory();
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    // The last range starting at or before the address.
    auto it = std::upper_bound(s.ranges.begin(), s.ranges.end(), Range{at, UINTPTR_MAX});
    return it != s.ranges.begin() && at < std::prev(it)->second;
}

// What a page of fresh memory costs this machine, as the bakes map it: the
// result matrices in shared memory (4 KiB pages), a worker's own memory
// (private, 4 KiB), and the host's node chunks (private, 2 MiB pages asked
// for with madvise). Each run maps 64 MiB, pre-faults it with
// MADV_POPULATE_WRITE, as the bakes do, and times the first write of a word
// a page (BM_FirstWrite), then a second pass over the same pages
// (BM_SecondWrite). per_page is the wall time a 4 KiB page.
//
// On a VM that keeps page tables of its own for the guest's (shadow paging),
// the first write to each mapped page traps to the hypervisor even after
// the pre-fault; 2 MiB pages take one such trap for 512 pages.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

#include <sys/mman.h>

namespace {

constexpr std::size_t kBytes = std::size_t(64) << 20;
constexpr std::size_t kPage = 4096;

enum Kind : int { kShared, kPrivate, kPrivateHuge };

// A mapping of kBytes of the given kind, pre-faulted; unmapped on exit.
class Mapping {
public:
    explicit Mapping(Kind kind) {
        const int sharing = kind == kShared ? MAP_SHARED : MAP_PRIVATE;
        // Twice the size for huge pages, so that a 2 MiB-aligned run fits.
        mapped_ = kind == kPrivateHuge ? 2 * kBytes : kBytes;
        void* p = ::mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, sharing | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            return;
        base_ = static_cast<char*>(p);
        data_ = base_;
        if (kind == kPrivateHuge) {
            constexpr std::uintptr_t kHuge = std::uintptr_t(2) << 20;
            data_ = reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(base_) + kHuge - 1) &
                                            ~(kHuge - 1));
            ::madvise(data_, kBytes, MADV_HUGEPAGE);
        }
        if (::madvise(data_, kBytes, MADV_POPULATE_WRITE) != 0)
            for (std::size_t b = 0; b < kBytes; b += kPage)
                static_cast<volatile char*>(data_)[b] = 0;
    }
    ~Mapping() {
        if (base_)
            ::munmap(base_, mapped_);
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    char* data() const { return data_; }

private:
    char* base_ = nullptr;
    char* data_ = nullptr;
    std::size_t mapped_ = 0;
};

double writePages(char* data) {
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t b = 0; b < kBytes; b += kPage)
        static_cast<volatile std::uint64_t*>(static_cast<void*>(data + b))[0] = b;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void pageCounters(benchmark::State& state) {
    state.counters["per_page"] = benchmark::Counter(static_cast<double>(kBytes / kPage),
                                                    benchmark::Counter::kIsIterationInvariantRate |
                                                        benchmark::Counter::kInvert);
}

void BM_FirstWrite(benchmark::State& state) {
    // Manual time: the mapping, its pre-fault and its unmapping are not timed.
    for (auto _ : state) {
        Mapping mapping(static_cast<Kind>(state.range(0)));
        if (!mapping.data()) {
            state.SkipWithError("the system refused the mapping");
            break;
        }
        state.SetIterationTime(writePages(mapping.data()));
    }
    pageCounters(state);
}

void BM_SecondWrite(benchmark::State& state) {
    Mapping mapping(static_cast<Kind>(state.range(0)));
    if (!mapping.data()) {
        state.SkipWithError("the system refused the mapping");
        return;
    }
    writePages(mapping.data());
    for (auto _ : state)
        state.SetIterationTime(writePages(mapping.data()));
    pageCounters(state);
}

void kinds(benchmark::internal::Benchmark* b) {
    b->ArgNames({"kind"})->Arg(kShared)->Arg(kPrivate)->Arg(kPrivateHuge);
    b->UseManualTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_FirstWrite)->Apply(kinds)->Iterations(5);
BENCHMARK(BM_SecondWrite)->Apply(kinds);

} // namespace

BENCHMARK_MAIN();

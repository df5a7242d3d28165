// Block pool against malloc/free for the per-frame pattern of the playback
// pipeline: each frame takes an 80-byte record, a payload of 1 KB to 600 KB
// and a 3 MB picture on one thread and gives them back on another.
#include "blockpool/blockpool.h"

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t kRecordSize = 80;
constexpr size_t kPictureSize = 3 * 1024 * 1024;
constexpr int kFramesPerIteration = 64;
constexpr size_t kQueueDepth = 8;

struct Frame {
    void *record;
    void *payload;
    size_t payloadSize;
    void *picture;
};

struct PoolAllocator {
    PoolAllocator() { InitPool(&pool); }
    ~PoolAllocator() { DestroyPool(&pool); }
    void *Alloc(size_t n) { return AllocBlock(&pool, n); }
    void Free(void *p, size_t n) { FreeBlock(&pool, p, n); }
    BlockPool pool;
};

struct HeapAllocator {
    void *Alloc(size_t n) { return std::malloc(n); }
    void Free(void *p, size_t) { std::free(p); }
};

// The decoder and demuxer write every block they get; touching one byte per
// page charges the page faults a fresh allocation brings.
void Touch(void *p, size_t n) {
    auto *bytes = static_cast<volatile unsigned char *>(p);
    for (size_t i = 0; i < n; i += 4096)
        bytes[i] = 1;
    bytes[n - 1] = 1;
}

template <class Allocator> void BM_FramePattern(benchmark::State &state) {
    Allocator allocator;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<Frame> queue;
    bool done = false;

    std::thread consumer([&] {
        for (;;) {
            Frame f;
            {
                std::unique_lock<std::mutex> guard(lock);
                changed.wait(guard, [&] { return done || !queue.empty(); });
                if (queue.empty())
                    return;
                f = queue.front();
                queue.pop_front();
            }
            changed.notify_all();
            allocator.Free(f.picture, kPictureSize);
            allocator.Free(f.payload, f.payloadSize);
            allocator.Free(f.record, kRecordSize);
        }
    });

    std::mt19937 rng(42);
    std::uniform_int_distribution<size_t> payloadSizes(1024, 600 * 1024);
    for (auto _ : state) {
        for (int i = 0; i < kFramesPerIteration; ++i) {
            Frame f;
            f.record = allocator.Alloc(kRecordSize);
            f.payloadSize = payloadSizes(rng);
            f.payload = allocator.Alloc(f.payloadSize);
            f.picture = allocator.Alloc(kPictureSize);
            if (!f.record || !f.payload || !f.picture) {
                state.SkipWithError("allocation failed");
                break;
            }
            Touch(f.record, kRecordSize);
            Touch(f.payload, f.payloadSize);
            Touch(f.picture, kPictureSize);
            std::unique_lock<std::mutex> guard(lock);
            changed.wait(guard, [&] { return queue.size() < kQueueDepth; });
            queue.push_back(f);
            guard.unlock();
            changed.notify_all();
        }
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        done = true;
    }
    changed.notify_all();
    consumer.join();
    state.SetItemsProcessed(state.iterations() * kFramesPerIteration);
}

BENCHMARK_TEMPLATE(BM_FramePattern, HeapAllocator)->Name("FramePattern/malloc")->UseRealTime()->MinTime(2.0);
BENCHMARK_TEMPLATE(BM_FramePattern, PoolAllocator)->Name("FramePattern/pool")->UseRealTime()->MinTime(2.0);

// Prints the console report and, at the end, each pool figure against its
// malloc reference from the same run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Plain text: the report is read in logs as often as on a terminal.
    RatioReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                m_time[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto heap = Find("FramePattern/malloc");
        auto pool = Find("FramePattern/pool");
        if (heap == m_time.end() || pool == m_time.end()) {
            std::printf("ratio: not measured\n");
            return;
        }
        double ratio = pool->second / heap->second;
        std::printf("per-frame time: pool %.1f us, malloc %.1f us, pool/malloc ratio %.3f (%s)\n",
                    pool->second / kFramesPerIteration / 1000.0, heap->second / kFramesPerIteration / 1000.0,
                    ratio, ratio <= 1.0 ? "pool not slower" : "POOL SLOWER");
    }

private:
    std::map<std::string, double>::const_iterator Find(const std::string &prefix) const {
        auto it = m_time.lower_bound(prefix);
        return it != m_time.end() && it->first.compare(0, prefix.size(), prefix) == 0 ? it : m_time.end();
    }

    std::map<std::string, double> m_time;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

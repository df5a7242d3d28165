// Processor-load sampler: the total processor time in percent, sampled on a
// timer-queue timer first after 100 ms and then every 1000 ms.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/timers.h"

namespace platform {

// Where the samples come from: the Performance Data Helper counter on
// Windows, /proc/stat elsewhere. Tests supply their own.
class ICpuLoadSource {
public:
    virtual ~ICpuLoadSource() = default;
    virtual bool Open() = 0;
    virtual void Close() = 0;
    // Takes a new sample; false when the collection failed.
    virtual bool Collect() = 0;
    // The last sample as a whole percentage; false when it cannot be given.
    virtual bool Format(int32_t &percent) = 0;
};

class CCpuLoadSampler {
public:
    static constexpr uint32_t kFirstSampleMs = 100;
    static constexpr uint32_t kPeriodMs = 1000;

    CCpuLoadSampler();
    ~CCpuLoadSampler(); // stops

    // Starts sampling from the given source, or from the system's when null
    // (the sampler does not take ownership). The load is -1 until the first
    // sample; false when the source cannot be opened or the timer started.
    bool Start(ICpuLoadSource *source = nullptr);
    // Stops sampling and sets the load to 0.
    void Stop();
    // One sample now: a failed collection keeps the previous value; a value
    // that cannot be formatted gives -1.
    void SampleNow();
    int32_t Load() const { return m_load.load(std::memory_order_relaxed); }

private:
    static void OnTimer(void *context);

    std::atomic<int32_t> m_load{-1};
    ICpuLoadSource *m_source = nullptr;
    ICpuLoadSource *m_ownSource = nullptr;
    CTimerQueueTimer m_timer;
};

// The system's own source (PDH on Windows, /proc/stat elsewhere).
ICpuLoadSource *CreateSystemCpuLoadSource();

} // namespace platform

// The processor load from /proc/stat: the share of busy time between two
// readings of the total line.
#include "platform/cpuload.h"

#include <cstdio>
#include <new>

namespace platform {
namespace {

class CProcStatSource final : public ICpuLoadSource {
public:
    bool Open() override {
        // The first reading is the base of the first sample, so that the
        // sampler's first tick already gives a value.
        m_readings = 0;
        return Collect();
    }

    void Close() override { m_readings = 0; }

    bool Collect() override {
        uint64_t busy, total;
        if (!ReadTotals(busy, total))
            return false;
        m_prevBusy = m_busy;
        m_prevTotal = m_total;
        m_busy = busy;
        m_total = total;
        ++m_readings;
        return true;
    }

    bool Format(int32_t &percent) override {
        if (m_readings < 2 || m_total <= m_prevTotal || m_busy < m_prevBusy)
            return false;
        uint64_t busy = m_busy - m_prevBusy;
        uint64_t total = m_total - m_prevTotal;
        percent = int32_t(busy >= total ? 100 : busy * 100 / total);
        return true;
    }

private:
    // "cpu  user nice system idle iowait irq softirq steal guest guest_nice",
    // in clock ticks since boot. Guest time is already part of user time.
    static bool ReadTotals(uint64_t &busy, uint64_t &total) {
        FILE *file = std::fopen("/proc/stat", "re");
        if (!file)
            return false;
        unsigned long long v[8] = {};
        int fields = std::fscanf(file, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2],
                                 &v[3], &v[4], &v[5], &v[6], &v[7]);
        std::fclose(file);
        if (fields < 4)
            return false;
        uint64_t idle = v[3] + v[4];
        total = 0;
        for (unsigned long long value : v)
            total += value;
        busy = total - idle;
        return true;
    }

    int m_readings = 0;
    uint64_t m_busy = 0;
    uint64_t m_total = 0;
    uint64_t m_prevBusy = 0;
    uint64_t m_prevTotal = 0;
};

} // namespace

ICpuLoadSource *CreateSystemCpuLoadSource() {
    return new (std::nothrow) CProcStatSource;
}

} // namespace platform

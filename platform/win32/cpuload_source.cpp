// The processor load from the Performance Data Helper's total processor-time
// counter.
#include <new>

#include "platform/cpuload.h"
#include "qvtypes.h" // <windows.h>

#include <pdh.h>

namespace platform {

namespace {

class CPdhCpuLoadSource final : public ICpuLoadSource {
public:
    ~CPdhCpuLoadSource() override { Close(); }

    bool Open() override {
        Close();
        if (PdhOpenQueryW(nullptr, 0, &m_query) != ERROR_SUCCESS) {
            m_query = nullptr;
            return false;
        }
        // The English names: the plain call takes the paths in the system's
        // display language and fails on a localised one. Newer systems may
        // offer only the processor-information object.
        if (PdhAddEnglishCounterW(m_query, L"\\Processor(_Total)\\% Processor Time", 0, &m_counter) !=
                ERROR_SUCCESS &&
            PdhAddEnglishCounterW(m_query, L"\\Processor Information(_Total)\\% Processor Time", 0,
                                  &m_counter) != ERROR_SUCCESS) {
            Close();
            return false;
        }
        // A rate counter needs two collections; this first one lets the
        // first sample already give a value.
        PdhCollectQueryData(m_query);
        return true;
    }

    void Close() override {
        if (m_query) {
            PdhCloseQuery(m_query); // frees its counters too
            m_query = nullptr;
        }
        m_counter = nullptr;
    }

    bool Collect() override { return m_query && PdhCollectQueryData(m_query) == ERROR_SUCCESS; }

    bool Format(int32_t &percent) override {
        if (!m_counter)
            return false;
        PDH_FMT_COUNTERVALUE value{};
        if (PdhGetFormattedCounterValue(m_counter, PDH_FMT_LONG | PDH_FMT_NOSCALE, nullptr, &value) !=
            ERROR_SUCCESS)
            return false;
        // CStatus holds a PDH status code; the error codes have the top bit set.
        if (static_cast<LONG>(value.CStatus) < 0)
            return false;
        percent = value.longValue;
        return true;
    }

private:
    PDH_HQUERY m_query = nullptr;
    PDH_HCOUNTER m_counter = nullptr;
};

} // namespace

ICpuLoadSource *CreateSystemCpuLoadSource() {
    return new (std::nothrow) CPdhCpuLoadSource;
}

} // namespace platform

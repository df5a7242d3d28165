// The processor-load sampler, the same on every system: a timer-queue timer
// drives one sample of the system's source per tick.
#include "platform/cpuload.h"

namespace platform {

CCpuLoadSampler::CCpuLoadSampler() = default;

CCpuLoadSampler::~CCpuLoadSampler() {
    Stop();
}

bool CCpuLoadSampler::Start(ICpuLoadSource *source) {
    Stop();
    if (!source) {
        m_ownSource = CreateSystemCpuLoadSource();
        source = m_ownSource;
    }
    if (!source || !source->Open()) {
        delete m_ownSource;
        m_ownSource = nullptr;
        return false;
    }
    m_source = source;
    m_load.store(-1, std::memory_order_relaxed);
    if (!m_timer.Start(OnTimer, this, kFirstSampleMs, kPeriodMs)) {
        m_source->Close();
        m_source = nullptr;
        delete m_ownSource;
        m_ownSource = nullptr;
        return false;
    }
    return true;
}

void CCpuLoadSampler::Stop() {
    // The timer goes first, waiting out a sample in progress, so that no
    // tick touches the source once it is closed.
    m_timer.Stop();
    if (m_source) {
        m_source->Close();
        m_source = nullptr;
        delete m_ownSource;
        m_ownSource = nullptr;
    }
    m_load.store(0, std::memory_order_relaxed);
}

void CCpuLoadSampler::SampleNow() {
    if (!m_source || !m_source->Collect())
        return;
    int32_t percent;
    m_load.store(m_source->Format(percent) ? percent : -1, std::memory_order_relaxed);
}

void CCpuLoadSampler::OnTimer(void *context) {
    static_cast<CCpuLoadSampler *>(context)->SampleNow();
}

} // namespace platform

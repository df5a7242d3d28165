#include "vdec/cudaspeed.h"

#include <atomic>
#include <cstring>

#include "platform/system.h"

namespace {

uint32_t &Field(uint8_t *pRecord, size_t offset) {
    return *reinterpret_cast<uint32_t *>(pRecord + offset);
}

} // namespace

CCudaSpeedRecord::CCudaSpeedRecord() : m_pRecord(nullptr) {}

CCudaSpeedRecord::~CCudaSpeedRecord() {
    Detach();
}

bool CCudaSpeedRecord::Attach(const char *mappingName, const char *mutexName) {
    if (m_pRecord)
        return true;
    bool created = false;
    if (!m_memory.Open(mappingName, kCudaSpeedMappedSize, &created))
        return false;
    m_pRecord = static_cast<uint8_t *>(m_memory.Data());
    uint32_t count = std::atomic_ref<uint32_t>(Field(m_pRecord, kCudaSpeedOffsetAttached)).fetch_add(1) + 1;
    // A record nobody else holds starts afresh. (A POSIX block outlives its
    // processes; with no decoder attached it counts as released.)
    if (created || count == 1) {
        QV_WCHAR *pName = reinterpret_cast<QV_WCHAR *>(m_pRecord + kCudaSpeedOffsetMutexName);
        size_t i = 0;
        for (; mutexName[i] && i + 1 < kCudaSpeedMutexNameUnits; ++i)
            pName[i] = QV_WCHAR(static_cast<unsigned char>(mutexName[i]));
        pName[i] = 0;
        SetSpeed(0);
    }
    return true;
}

void CCudaSpeedRecord::Detach() {
    if (!m_pRecord)
        return;
    std::atomic_ref<uint32_t>(Field(m_pRecord, kCudaSpeedOffsetAttached)).fetch_sub(1);
    m_pRecord = nullptr;
    m_memory.Close();
}

bool CCudaSpeedRecord::IsAttached() const {
    return m_pRecord != nullptr;
}

uint32_t CCudaSpeedRecord::Speed() const {
    return m_pRecord ? LoadU32(m_pRecord, kCudaSpeedOffsetSpeed) : 0;
}

void CCudaSpeedRecord::SetSpeed(uint32_t speed) {
    if (m_pRecord)
        std::atomic_ref<uint32_t>(Field(m_pRecord, kCudaSpeedOffsetSpeed)).store(speed);
}

uint32_t CCudaSpeedRecord::AttachedCount() const {
    return m_pRecord ? LoadU32(m_pRecord, kCudaSpeedOffsetAttached) : 0;
}

std::string CCudaSpeedRecord::MutexName() const {
    std::string name;
    if (!m_pRecord)
        return name;
    QV_WCHAR units[kCudaSpeedMutexNameUnits];
    std::memcpy(units, m_pRecord + kCudaSpeedOffsetMutexName, sizeof units);
    size_t length = 0;
    while (length < kCudaSpeedMutexNameUnits && units[length])
        ++length;
    if (length == kCudaSpeedMutexNameUnits || !platform::WideToUtf8(units, length, name))
        name.clear(); // not terminated inside the record, or not text
    return name;
}

uint32_t CCudaSpeedRecord::LoadU32(const void *pRecord, size_t offset) {
    auto *pBytes = static_cast<uint8_t *>(const_cast<void *>(pRecord));
    return std::atomic_ref<uint32_t>(Field(pBytes, offset)).load();
}

// The machine-wide decode-speed record of the hardware decoders: every
// process on the machine maps the same small block, so that once the card is
// known to be slow, new decoders everywhere fall back to software.
//
// Layout: offset 0, u32 speed in pictures per second (0 = not measured);
// offset 4, the NUL-terminated UTF-16 name of the mutex that guards the speed
// (at most 260 code units); offset 524, u32 number of attached decoders,
// changed only atomically.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/shared.h"

constexpr const char *kCudaSpeedMappingName = "QVCudaDecodeSpeedFileMapping";
constexpr const char *kCudaSpeedMutexName = "QVCudaDecodeSpeedMutex";
constexpr size_t kCudaSpeedRecordSize = 524;
constexpr size_t kCudaSpeedOffsetSpeed = 0;
constexpr size_t kCudaSpeedOffsetMutexName = 4;
constexpr size_t kCudaSpeedMutexNameUnits = 260;
constexpr size_t kCudaSpeedOffsetAttached = 524;
// Windows maps whole pages, so the count just past the record is shared.
// POSIX shared memory shares only the bytes inside the object's size, so
// there the object is made large enough to hold the count too.
#ifdef _WIN32
constexpr size_t kCudaSpeedMappedSize = kCudaSpeedRecordSize;
#else
constexpr size_t kCudaSpeedMappedSize = kCudaSpeedOffsetAttached + 4;
#endif

class CCudaSpeedRecord {
public:
    CCudaSpeedRecord();
    ~CCudaSpeedRecord(); // detaches
    CCudaSpeedRecord(const CCudaSpeedRecord &) = delete;
    CCudaSpeedRecord &operator=(const CCudaSpeedRecord &) = delete;

    // Maps the record and counts this decoder in; the first decoder writes
    // the mutex name and a speed of 0. Nothing when already attached.
    bool Attach(const char *mappingName, const char *mutexName);
    // Counts this decoder out and unmaps.
    void Detach();
    bool IsAttached() const;

    uint32_t Speed() const;
    void SetSpeed(uint32_t speed);
    uint32_t AttachedCount() const;
    // The mutex name stored in the record, as UTF-8; empty when unusable.
    std::string MutexName() const;

    // Raw access for the helpers that read another decoder's record.
    static uint32_t LoadU32(const void *pRecord, size_t offset);

private:
    platform::CNamedSharedMemory m_memory;
    uint8_t *m_pRecord;
};

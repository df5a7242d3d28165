// The sound device on ALSA. ALSA has no looping buffer with notifications, so
// the buffer lives here: a feeder thread hands it to the PCM a period at a
// time from the play cursor, wrapping at its end and replaying whatever is
// there (as a looping hardware buffer would), applies the volume on the way,
// and signals the notification event when the cursor passes an offset.
//
// The feeder paces itself by the clock as well as by the PCM: a device that
// takes data faster than it plays it (the null device does) still sees the
// cursor move at the playing rate.
#include "audio/sound.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "platform/thread.h"

namespace {

using Clock = std::chrono::steady_clock;

// DirectSound's frequency limits, also applied to whatever the device allows.
constexpr uint32_t kMinFrequency = 100;
constexpr uint32_t kMaxFrequency = 200000;
// The feeder hands over this much at a time and keeps at most kLeadPeriods
// of it ahead of the clock; the PCM may hold kLatencyUs.
constexpr uint32_t kPeriodsPerSecond = 50;
constexpr uint32_t kLeadPeriods = 3;
constexpr unsigned kLatencyUs = 100000;

constexpr GUID kDefaultPlayback = {
    0xDEF00000, 0x9C6D, 0x47ED, {0xAA, 0xF1, 0x4D, 0xDA, 0x8F, 0x2B, 0x5C, 0x03}};
constexpr GUID kDefaultVoicePlayback = {
    0xDEF00002, 0x9C6D, 0x47ED, {0xAA, 0xF1, 0x4D, 0xDA, 0x8F, 0x2B, 0x5C, 0x03}};

bool SameGuid(const GUID &a, const GUID &b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

class CAlsaSoundDevice final : public CSoundDevice {
public:
    ~CAlsaSoundDevice() override {
        StopFeeder();
        ClosePcm();
    }

    int32_t Open(const GUID *pDevice, const WAVEFORMATEX &format, uint32_t nBufferBytes) override {
        if (format.nChannels == 0 || format.nSamplesPerSec == 0 || format.nBlockAlign == 0)
            return SOUND_E_BAD_FORMAT;
        if (format.wBitsPerSample == 8)
            m_pcmFormat = SND_PCM_FORMAT_U8;
        else if (format.wBitsPerSample == 16)
            m_pcmFormat = SND_PCM_FORMAT_S16_LE;
        else
            return SOUND_E_BAD_FORMAT;
        m_format = format;
        m_name = SoundDeviceName(pDevice);
        try {
            m_ring.assign(nBufferBytes, 0);
        } catch (const std::bad_alloc &) {
            return SOUND_E_FAIL;
        }
        const int32_t result = OpenPcm();
        if (result != SOUND_OK)
            return result;
        return StartFeeder() ? SOUND_OK : SOUND_E_FAIL;
    }

    int32_t SetNotifications(platform::CEvent &event, const uint32_t *pOffsets, uint32_t nCount) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pEvent = &event;
        m_offsets.assign(pOffsets, pOffsets + nCount);
        return SOUND_OK;
    }

    int32_t GetStatus(uint32_t *pStatus) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        *pStatus = (m_bPlaying ? SOUND_DEVICE_PLAYING : 0) | (m_bLost ? SOUND_DEVICE_LOST : 0);
        return SOUND_OK;
    }

    int32_t GetPlayCursor(uint32_t *pOffset) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        *pOffset = m_nPlay;
        return SOUND_OK;
    }

    int32_t Write(uint32_t nOffset, const uint8_t *pData, uint32_t nLength) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        const uint32_t size = static_cast<uint32_t>(m_ring.size());
        if (nOffset >= size || nLength > size)
            return SOUND_E_INVALID_VALUE;
        const uint32_t first = std::min(nLength, size - nOffset);
        std::memcpy(m_ring.data() + nOffset, pData, first);
        std::memcpy(m_ring.data(), pData + first, nLength - first);
        return SOUND_OK;
    }

    int32_t Play() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bLost)
            return SOUND_E_FAIL;
        if (!m_bPlaying) {
            m_bPlaying = true;
            m_bClockStarted = false;
            ++m_nGeneration;
            m_changed.notify_all();
        }
        return SOUND_OK;
    }

    int32_t Stop() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bPlaying = false;
        ++m_nGeneration;
        m_changed.notify_all();
        return SOUND_OK;
    }

    int32_t SetPlayCursor(uint32_t nOffset) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (nOffset >= m_ring.size())
            return SOUND_E_INVALID_VALUE;
        m_nPlay = nOffset;
        ++m_nGeneration;
        return SOUND_OK;
    }

    int32_t Restore() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_bLost)
                return SOUND_OK;
        }
        StopFeeder();
        ClosePcm();
        const int32_t result = OpenPcm();
        if (result != SOUND_OK)
            return result;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bLost = false;
            m_bPlaying = false;
        }
        return StartFeeder() ? SOUND_OK : SOUND_E_FAIL;
    }

    int32_t SetVolume(int32_t nAttenuation) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_nGain = SoundAttenuationToGain(nAttenuation);
        return SOUND_OK;
    }

    int32_t SetFrequency(uint32_t nFrequency) override {
        if (nFrequency != 0 && (nFrequency < m_nMinRate || nFrequency > m_nMaxRate))
            return SOUND_E_INVALID_VALUE;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_nFrequency = nFrequency;
        m_changed.notify_all();
        return SOUND_OK;
    }

    int32_t GetFrequency(uint32_t *pFrequency) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        *pFrequency = m_nFrequency ? m_nFrequency : m_format.nSamplesPerSec;
        return SOUND_OK;
    }

    int32_t GetFrequencyRange(uint32_t *pMin, uint32_t *pMax) override {
        *pMin = m_nMinRate;
        *pMax = m_nMaxRate;
        return SOUND_OK;
    }

private:
    int32_t OpenPcm() {
        snd_pcm_t *pcm = nullptr;
        // Opened without blocking so that a busy device fails at once instead
        // of hanging the caller; the feeder then writes blocking.
        int err = snd_pcm_open(&pcm, m_name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
        if (err < 0)
            return err;
        err = snd_pcm_nonblock(pcm, 0);
        // The rates the device takes in this format bound the speed changes.
        snd_pcm_hw_params_t *params = nullptr;
        if (err >= 0)
            err = snd_pcm_hw_params_malloc(&params);
        if (err >= 0) {
            unsigned minRate = 0, maxRate = 0;
            int dir = 0;
            err = snd_pcm_hw_params_any(pcm, params);
            if (err >= 0)
                err = snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED);
            if (err >= 0)
                err = snd_pcm_hw_params_set_format(pcm, params, m_pcmFormat);
            if (err >= 0)
                err = snd_pcm_hw_params_set_channels(pcm, params, m_format.nChannels);
            if (err >= 0)
                err = snd_pcm_hw_params_set_rate_resample(pcm, params, 1);
            if (err >= 0)
                err = snd_pcm_hw_params_get_rate_min(params, &minRate, &dir);
            if (err >= 0)
                err = snd_pcm_hw_params_get_rate_max(params, &maxRate, &dir);
            snd_pcm_hw_params_free(params);
            m_nMinRate = std::max<uint32_t>(minRate, kMinFrequency);
            m_nMaxRate = std::min<uint32_t>(maxRate, kMaxFrequency);
            if (m_nMaxRate < m_nMinRate)
                m_nMaxRate = m_nMinRate;
        }
        if (err >= 0)
            err = Configure(pcm, m_format.nSamplesPerSec);
        if (err < 0) {
            snd_pcm_close(pcm);
            return err;
        }
        m_pcm = pcm;
        m_nAppliedRate = m_format.nSamplesPerSec;
        return SOUND_OK;
    }

    int Configure(snd_pcm_t *pcm, uint32_t nRate) {
        return snd_pcm_set_params(pcm, m_pcmFormat, SND_PCM_ACCESS_RW_INTERLEAVED, m_format.nChannels, nRate,
                                  1, kLatencyUs);
    }

    void ClosePcm() {
        if (m_pcm) {
            snd_pcm_close(m_pcm);
            m_pcm = nullptr;
        }
    }

    bool StartFeeder() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bQuit = false;
        }
        return m_thread.Start(FeederMain, this);
    }

    void StopFeeder() {
        if (!m_thread.Started())
            return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bQuit = true;
            m_changed.notify_all();
        }
        m_thread.Join(platform::kInfinite);
    }

    static uint32_t FeederMain(void *pContext) {
        static_cast<CAlsaSoundDevice *>(pContext)->Feed();
        return 0;
    }

    // Copies nBytes from the play cursor, wrapping, scaled by the volume.
    void TakeChunk(uint32_t nBytes) {
        const uint32_t size = static_cast<uint32_t>(m_ring.size());
        m_chunk.resize(nBytes);
        const uint32_t first = std::min(nBytes, size - m_nPlay);
        std::memcpy(m_chunk.data(), m_ring.data() + m_nPlay, first);
        std::memcpy(m_chunk.data() + first, m_ring.data(), nBytes - first);
        ApplySoundGain(m_chunk.data(), nBytes, m_format.wBitsPerSample, m_nGain);
    }

    // Moves the cursor over nBytes and signals the event when it passed one
    // of the notification offsets.
    void Advance(uint32_t nBytes) {
        const uint32_t size = static_cast<uint32_t>(m_ring.size());
        bool bPassed = false;
        for (uint32_t offset : m_offsets) {
            const uint32_t distance = (offset % size + size - m_nPlay) % size;
            if ((distance != 0 && distance <= nBytes) || (distance == 0 && nBytes >= size))
                bPassed = true;
        }
        m_nPlay = static_cast<uint32_t>((static_cast<uint64_t>(m_nPlay) + nBytes) % size);
        if (bPassed && m_pEvent)
            m_pEvent->Set();
    }

    void Feed() {
        std::unique_lock<std::mutex> lock(m_mutex);
        bool bRunning = false; // the PCM holds data
        Clock::time_point start;
        uint64_t nFramesSent = 0;
        while (!m_bQuit) {
            if (!m_bPlaying || m_bLost) {
                if (bRunning) {
                    lock.unlock();
                    snd_pcm_drop(m_pcm);
                    snd_pcm_prepare(m_pcm);
                    lock.lock();
                    bRunning = false;
                }
                if (!m_bQuit && (!m_bPlaying || m_bLost))
                    m_changed.wait(lock);
                continue;
            }
            const uint32_t nRate = m_nFrequency ? m_nFrequency : m_format.nSamplesPerSec;
            if (nRate != m_nAppliedRate) {
                lock.unlock();
                snd_pcm_drop(m_pcm);
                const int err = Configure(m_pcm, nRate);
                lock.lock();
                bRunning = false;
                if (err < 0) {
                    m_bLost = true;
                    m_bPlaying = false;
                    continue;
                }
                m_nAppliedRate = nRate;
                m_bClockStarted = false;
            }
            if (!m_bClockStarted) {
                start = Clock::now();
                nFramesSent = 0;
                m_bClockStarted = true;
            }
            const uint32_t nPeriodFrames = std::max<uint32_t>(1, nRate / kPeriodsPerSecond);
            const uint64_t nLeadFrames = static_cast<uint64_t>(nPeriodFrames) * kLeadPeriods;
            if (nFramesSent > nLeadFrames) {
                const auto due =
                    start + std::chrono::microseconds((nFramesSent - nLeadFrames) * 1000000 / nRate);
                if (Clock::now() < due) {
                    m_changed.wait_until(lock, due);
                    continue;
                }
            }
            const uint32_t size = static_cast<uint32_t>(m_ring.size());
            uint32_t nBytes = std::min(nPeriodFrames * m_format.nBlockAlign, std::max<uint32_t>(size / 4, 1));
            const uint32_t nFrames = std::max<uint32_t>(1, nBytes / m_format.nBlockAlign);
            nBytes = nFrames * m_format.nBlockAlign;
            TakeChunk(nBytes);
            const uint64_t generation = m_nGeneration;
            lock.unlock();
            snd_pcm_sframes_t written = snd_pcm_writei(m_pcm, m_chunk.data(), nFrames);
            if (written < 0)
                written = snd_pcm_recover(m_pcm, static_cast<int>(written), 1);
            lock.lock();
            if (written < 0) {
                // The device has gone: the buffer reports itself lost until
                // restored.
                m_bLost = true;
                m_bPlaying = false;
                continue;
            }
            bRunning = true;
            if (generation != m_nGeneration || !m_bPlaying)
                continue; // stopped or moved meanwhile: the chunk does not count
            Advance(nBytes);
            nFramesSent += nFrames;
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    platform::CThread m_thread;
    snd_pcm_t *m_pcm = nullptr;
    std::string m_name;
    WAVEFORMATEX m_format{};
    snd_pcm_format_t m_pcmFormat = SND_PCM_FORMAT_S16_LE;
    std::vector<uint8_t> m_ring;
    std::vector<uint8_t> m_chunk; // the feeder's own
    platform::CEvent *m_pEvent = nullptr;
    std::vector<uint32_t> m_offsets;
    uint32_t m_nPlay = 0;
    uint32_t m_nFrequency = 0; // 0: the format's own rate
    uint32_t m_nAppliedRate = 0;
    uint32_t m_nMinRate = kMinFrequency;
    uint32_t m_nMaxRate = kMaxFrequency;
    uint32_t m_nGain = SOUND_GAIN_UNITY;
    uint64_t m_nGeneration = 0;
    bool m_bPlaying = false;
    bool m_bLost = false;
    bool m_bQuit = false;
    bool m_bClockStarted = false;
};

} // namespace

std::string SoundDeviceName(const GUID *pDevice) {
    if (!pDevice || SameGuid(*pDevice, kDefaultPlayback) || SameGuid(*pDevice, kDefaultVoicePlayback))
        return "default";
    static const uint8_t zero[8] = {};
    if (pDevice->Data1 == SOUND_ALSA_GUID_TAG && std::memcmp(pDevice->Data4, zero, sizeof(zero)) == 0)
        return "plughw:" + std::to_string(pDevice->Data2) + "," + std::to_string(pDevice->Data3);
    char name[64];
    std::snprintf(name, sizeof(name), "qvsound-%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  static_cast<unsigned>(pDevice->Data1), pDevice->Data2, pDevice->Data3, pDevice->Data4[0],
                  pDevice->Data4[1], pDevice->Data4[2], pDevice->Data4[3], pDevice->Data4[4],
                  pDevice->Data4[5], pDevice->Data4[6], pDevice->Data4[7]);
    return name;
}

CSoundDevice *CreatePlatformSoundDevice() {
    return new (std::nothrow) CAlsaSoundDevice;
}

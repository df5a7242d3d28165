#include "audio/sound.h"

#include <cmath>
#include <new>

namespace {

// Largest buffer a device is asked for (DirectSound's own limit).
constexpr uint64_t kMaxBufferBytes = 0x0FFFFFFF;

} // namespace

int32_t SoundVolumeToAttenuation(uint32_t nVolume) {
    if (nVolume == 0)
        return SOUND_ATTENUATION_SILENT;
    if (nVolume >= SOUND_VOLUME_MAX)
        return SOUND_ATTENUATION_NONE;
    const double attenuation =
        std::trunc(1000.0 * std::log10(static_cast<double>(nVolume) / SOUND_VOLUME_MAX));
    if (attenuation < SOUND_ATTENUATION_SILENT)
        return SOUND_ATTENUATION_SILENT;
    return attenuation > 0 ? SOUND_ATTENUATION_NONE : static_cast<int32_t>(attenuation);
}

uint32_t SoundAttenuationToGain(int32_t nAttenuation) {
    if (nAttenuation <= SOUND_ATTENUATION_SILENT)
        return 0;
    if (nAttenuation >= SOUND_ATTENUATION_NONE)
        return SOUND_GAIN_UNITY;
    return static_cast<uint32_t>(std::lround(SOUND_GAIN_UNITY * std::pow(10.0, nAttenuation / 2000.0)));
}

void ApplySoundGain(uint8_t *pData, uint32_t nBytes, uint32_t nBitsPerSample, uint32_t nGain) {
    if (nGain >= SOUND_GAIN_UNITY)
        return;
    if (nBitsPerSample == 16) {
        for (uint32_t i = 0; i + 1 < nBytes; i += 2) {
            const int16_t sample = static_cast<int16_t>(pData[i] | (pData[i + 1] << 8));
            const int32_t scaled =
                static_cast<int32_t>(static_cast<int64_t>(sample) * nGain / SOUND_GAIN_UNITY);
            pData[i] = static_cast<uint8_t>(scaled & 0xFF);
            pData[i + 1] = static_cast<uint8_t>((scaled >> 8) & 0xFF);
        }
    } else if (nBitsPerSample == 8) {
        for (uint32_t i = 0; i < nBytes; ++i) {
            const int32_t centred = static_cast<int32_t>(pData[i]) - 128;
            pData[i] = static_cast<uint8_t>(128 + static_cast<int64_t>(centred) * nGain / SOUND_GAIN_UNITY);
        }
    }
}

uint32_t SoundSpeedToFrequency(float fSpeed, uint32_t nSamplesPerSec, uint32_t nMin, uint32_t nMax) {
    if (std::fabs(1.0f - fSpeed) < SOUND_SPEED_EPSILON)
        return 0;
    const double scaled = static_cast<double>(nSamplesPerSec) * fSpeed + 0.5;
    uint32_t nFrequency = scaled <= 0              ? 0
                          : scaled >= 4294967295.0 ? 0xFFFFFFFFu
                                                   : static_cast<uint32_t>(scaled);
    if (nFrequency < nMin)
        nFrequency = nMin;
    if (nFrequency > nMax)
        nFrequency = nMax;
    return nFrequency;
}

CSoundManager::CSoundManager(CSoundDevice *pDevice)
    : m_pDevice(pDevice ? pDevice : CreatePlatformSoundDevice()) {}

CSoundManager::~CSoundManager() {
    // A handler that is running finishes before anything it uses goes away;
    // no lock is held here, so it cannot be waiting for this thread.
    m_wait.Unregister();
    delete m_pDevice;
    m_pDevice = nullptr;
    m_bOpen = false;
}

int32_t CSoundManager::Open(const SOUND_SETTING &setting) {
    if (!m_pDevice)
        return SOUND_E_FAIL;
    platform::CLockGuard guard(m_lock);
    m_format = setting.wfx;
    const uint64_t bytesPerSecond = m_format.nAvgBytesPerSec;
    uint64_t bufferBytes = setting.dwBufferTime * bytesPerSecond / 1000;
    if (bufferBytes < SOUND_BUFFER_BYTES_MIN)
        bufferBytes = SOUND_BUFFER_BYTES_MIN;
    if (bufferBytes > kMaxBufferBytes)
        return SOUND_E_INVALID_VALUE;
    m_nBufferBytes = static_cast<uint32_t>(bufferBytes);
    m_nNotifyStep = m_nBufferBytes / 4;
    m_nThreshold = static_cast<uint32_t>(setting.dwStartThreshold * bytesPerSecond / 1000);

    int32_t result = m_pDevice->Open(setting.pDeviceGuid, m_format, m_nBufferBytes);
    if (result != SOUND_OK)
        return result;
    if (!m_event.Valid() || !m_wait.Register(m_event, NotificationCallback, this))
        return SOUND_E_FAIL;
    const uint32_t offsets[SOUND_NOTIFY_COUNT] = {0, m_nNotifyStep, 2 * m_nNotifyStep, 3 * m_nNotifyStep};
    result = m_pDevice->SetNotifications(m_event, offsets, SOUND_NOTIFY_COUNT);
    if (result != SOUND_OK)
        return result;
    m_nWrite = 0;
    m_nWrittenBytes = 0;
    m_fSpeed = 1.0f;
    m_nVolume = 0;
    result = m_pDevice->SetVolume(SOUND_ATTENUATION_SILENT);
    if (result != SOUND_OK)
        return result;
    m_bOpen = true;
    return SOUND_OK;
}

int32_t CSoundManager::Rewind() {
    m_pDevice->Stop();
    m_nWrite = 0;
    return m_pDevice->SetPlayCursor(0);
}

int32_t CSoundManager::Write(const uint8_t *pData, uint32_t nLength) {
    if (!m_bOpen)
        return SOUND_E_FAIL;
    platform::CLockGuard guard(m_lock);
    uint32_t status = 0;
    int32_t result = m_pDevice->GetStatus(&status);
    if (result != SOUND_OK)
        return result;
    if (status & SOUND_DEVICE_LOST) {
        result = m_pDevice->Restore();
        if (result != SOUND_OK)
            return result;
        result = Rewind();
        if (result != SOUND_OK)
            return result;
        status = 0;
    }
    const bool bPlaying = (status & SOUND_DEVICE_PLAYING) != 0;
    uint32_t cursor = 0;
    if (bPlaying) {
        result = m_pDevice->GetPlayCursor(&cursor);
        if (result != SOUND_OK)
            return result;
        if (m_nBufferBytes - Queued(cursor) <= static_cast<uint64_t>(m_nNotifyStep) + nLength)
            return SOUND_E_NO_ROOM;
    }
    if (nLength > m_nBufferBytes)
        return SOUND_E_INVALID_VALUE;
    if (!bPlaying) {
        result = m_pDevice->GetPlayCursor(&cursor);
        if (result != SOUND_OK)
            return result;
        const uint32_t queued = Queued(cursor);
        // A stopped buffer takes what a playing one would: with more queued,
        // the first notifications after the start (one comes as it starts)
        // would read the queue as overtaken and throw it away, and a block
        // that does not fit would overwrite queued data. What is queued is
        // played instead, so that room comes for a retry; a block that can
        // never fit is refused.
        if (m_nBufferBytes - queued <= static_cast<uint64_t>(m_nNotifyStep) + nLength) {
            if (queued == 0)
                return SOUND_E_INVALID_VALUE;
            result = m_pDevice->Play();
            return result != SOUND_OK ? result : SOUND_E_NO_ROOM;
        }
    }
    result = m_pDevice->Write(m_nWrite, pData, nLength);
    if (result != SOUND_OK)
        return result;
    m_nWrite = static_cast<uint32_t>((static_cast<uint64_t>(m_nWrite) + nLength) % m_nBufferBytes);
    m_nWrittenBytes += nLength;
    if (!bPlaying) {
        result = m_pDevice->GetPlayCursor(&cursor);
        if (result != SOUND_OK)
            return result;
        if (Queued(cursor) >= m_nThreshold)
            return m_pDevice->Play();
    }
    return SOUND_OK;
}

void CSoundManager::NotificationCallback(void *pContext) {
    static_cast<CSoundManager *>(pContext)->OnNotification();
}

void CSoundManager::OnNotification() {
    // The wait is registered while Open still runs (under the lock).
    platform::CLockGuard guard(m_lock);
    if (!m_bOpen)
        return;
    uint32_t status = 0;
    if (m_pDevice->GetStatus(&status) != SOUND_OK || (status & SOUND_DEVICE_LOST) ||
        !(status & SOUND_DEVICE_PLAYING))
        return;
    uint32_t cursor = 0;
    if (m_pDevice->GetPlayCursor(&cursor) != SOUND_OK)
        return;
    // Writes never queue more than 3Q while playing, so more means that the
    // play cursor has run past the written data, and none at all that it has
    // just reached its end; either way what follows is old data: stop, and
    // start again from the beginning once the threshold is queued anew.
    // (Data that ends on a quarter mark shows 0 queued at that mark and 3Q,
    // 2Q, Q at the next ones: without the first test it would play forever.)
    const uint32_t queued = Queued(cursor);
    if (queued == 0 || queued > 3 * m_nNotifyStep)
        Rewind();
}

int32_t CSoundManager::Stop() {
    if (!m_bOpen)
        return SOUND_OK;
    platform::CLockGuard guard(m_lock);
    Rewind();
    return SOUND_OK;
}

int32_t CSoundManager::GetStatus(SOUND_STATUS *pStatus) {
    pStatus->dwSize = SOUND_STATUS_SIZE;
    pStatus->bPlaying = 0;
    pStatus->dwQueuedBytes = 0;
    pStatus->dwQueuedTime = 0;
    pStatus->dwReserved[0] = 0;
    pStatus->dwReserved[1] = 0;
    if (!m_bOpen)
        return SOUND_OK;
    platform::CLockGuard guard(m_lock);
    uint32_t status = 0;
    if (m_pDevice->GetStatus(&status) == SOUND_OK)
        pStatus->bPlaying = (status & SOUND_DEVICE_PLAYING) ? 1 : 0;
    uint32_t cursor = 0;
    if (m_pDevice->GetPlayCursor(&cursor) == SOUND_OK) {
        pStatus->dwQueuedBytes = Queued(cursor);
        // A format without a byte rate cannot be opened by a device; guard
        // the division all the same.
        if (m_format.nAvgBytesPerSec)
            pStatus->dwQueuedTime = static_cast<uint32_t>(static_cast<uint64_t>(pStatus->dwQueuedBytes) *
                                                          1000 / m_format.nAvgBytesPerSec);
    }
    return SOUND_OK;
}

int32_t CSoundManager::SetVolume(uint32_t nVolume) {
    if (!m_bOpen)
        return SOUND_E_FAIL;
    platform::CLockGuard guard(m_lock);
    m_nVolume = nVolume;
    return m_pDevice->SetVolume(SoundVolumeToAttenuation(nVolume));
}

int32_t CSoundManager::SetSpeed(float fSpeed) {
    if (!m_bOpen)
        return SOUND_E_FAIL;
    platform::CLockGuard guard(m_lock);
    uint32_t nFrequency = 0;
    if (std::fabs(1.0f - fSpeed) >= SOUND_SPEED_EPSILON) {
        uint32_t nMin = 0, nMax = 0;
        const int32_t result = m_pDevice->GetFrequencyRange(&nMin, &nMax);
        if (result != SOUND_OK)
            return result;
        nFrequency = SoundSpeedToFrequency(fSpeed, m_format.nSamplesPerSec, nMin, nMax);
    }
    const int32_t result = m_pDevice->SetFrequency(nFrequency);
    if (result != SOUND_OK)
        return result;
    m_fSpeed = fSpeed;
    return SOUND_OK;
}

uint32_t CSoundManager::WriteOffset() {
    platform::CLockGuard guard(m_lock);
    return m_nWrite;
}

uint64_t CSoundManager::WrittenBytes() {
    platform::CLockGuard guard(m_lock);
    return m_nWrittenBytes;
}

int32_t CSoundManager::GetFrequency(uint32_t *pFrequency) {
    if (!m_bOpen)
        return SOUND_E_FAIL;
    platform::CLockGuard guard(m_lock);
    return m_pDevice->GetFrequency(pFrequency);
}

// Flat entry points.

int32_t CreateSoundOutputOnDevice(const SOUND_SETTING *pSetting, CSoundDevice *pDevice,
                                  CSoundManager **ppManager) {
    struct DeviceOwner {
        CSoundDevice *p;
        ~DeviceOwner() { delete p; }
    } owner{pDevice};
    if (!pSetting || !ppManager)
        return SOUND_E_NULL_POINTER;
    *ppManager = nullptr;
    if (pSetting->dwSize < SOUND_SETTING_SIZE)
        return SOUND_E_BAD_SIZE;
    if (pSetting->dwBufferTime < SOUND_BUFFER_TIME_MIN || pSetting->dwBufferTime > SOUND_BUFFER_TIME_MAX ||
        pSetting->dwStartThreshold > SOUND_START_THRESHOLD_MAX)
        return SOUND_E_INVALID_VALUE;
    if (pSetting->wfx.wFormatTag != SOUND_FORMAT_TAG)
        return SOUND_E_BAD_FORMAT;
    try {
        if (!owner.p) {
            owner.p = CreatePlatformSoundDevice();
            if (!owner.p)
                return SOUND_E_FAIL;
        }
        CSoundManager *pManager = new (std::nothrow) CSoundManager(owner.p);
        if (!pManager)
            return SOUND_E_FAIL;
        owner.p = nullptr;
        const int32_t result = pManager->Open(*pSetting);
        if (result != SOUND_OK) {
            delete pManager;
            return result;
        }
        *ppManager = pManager;
        return SOUND_OK;
    } catch (...) {
        return SOUND_E_FAIL;
    }
}

int32_t CreateSoundOutput(const SOUND_SETTING *pSetting, CSoundManager **ppManager) {
    return CreateSoundOutputOnDevice(pSetting, nullptr, ppManager);
}

int32_t SetSoundVolume(CSoundManager *pManager, uint32_t nVolume) {
    if (!pManager)
        return SOUND_E_INVALID_OBJECT;
    if (nVolume > SOUND_VOLUME_MAX)
        return SOUND_E_BAD_VOLUME;
    try {
        return pManager->SetVolume(nVolume);
    } catch (...) {
        return SOUND_E_FAIL;
    }
}

int32_t SetSoundSpeed(CSoundManager *pManager, float fSpeed) {
    if (!pManager)
        return SOUND_E_INVALID_OBJECT;
    // Written so that a NaN is refused too.
    if (!(fSpeed >= SOUND_SPEED_MIN && fSpeed <= SOUND_SPEED_MAX))
        return SOUND_E_BAD_SPEED;
    try {
        return pManager->SetSpeed(fSpeed);
    } catch (...) {
        return SOUND_E_FAIL;
    }
}

int32_t WriteSound(CSoundManager *pManager, const SOUND_INPUT *pInput) {
    if (!pManager)
        return SOUND_E_INVALID_OBJECT;
    if (!pInput)
        return SOUND_E_NULL_POINTER;
    if (pInput->dwSize < SOUND_INPUT_SIZE)
        return SOUND_E_BAD_SIZE;
    if (pInput->dwLength == 0)
        return SOUND_E_INVALID_VALUE;
    if (!pInput->pData)
        return SOUND_E_NULL_POINTER;
    try {
        return pManager->Write(pInput->pData, pInput->dwLength);
    } catch (...) {
        return SOUND_E_FAIL;
    }
}

int32_t StopSoundOutput(CSoundManager *pManager) {
    if (!pManager)
        return SOUND_E_INVALID_OBJECT;
    try {
        return pManager->Stop();
    } catch (...) {
        return SOUND_E_FAIL;
    }
}

int32_t GetSoundStatus(CSoundManager *pManager, SOUND_STATUS *pStatus) {
    if (!pManager)
        return SOUND_E_INVALID_OBJECT;
    if (!pStatus)
        return SOUND_E_NULL_POINTER;
    if (pStatus->dwSize < SOUND_STATUS_SIZE)
        return SOUND_E_BAD_SIZE;
    try {
        return pManager->GetStatus(pStatus);
    } catch (...) {
        return SOUND_E_FAIL;
    }
}

void DestroySoundOutput(CSoundManager *pManager) {
    try {
        delete pManager;
    } catch (...) {
    }
}

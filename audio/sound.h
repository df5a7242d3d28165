// Sound output of one player: decoded PCM queued into a looping streaming
// buffer that starts once enough is queued, is followed through notifications
// at each quarter, and stops and rewinds when it runs dry.
//
// The flat functions check, in this order, the manager, each pointer, each
// record's size and each value, and only then call the manager; nothing
// throws. The buffer itself is a CSoundDevice: DirectSound 8 on Windows
// (sound_win32.cpp), ALSA elsewhere (sound_alsa.cpp).
#pragma once

#include <cstdint>
#include <string>

#include <qvsound.h>

#include "platform/sync.h"
#include "platform/timers.h"

// Status bits of CSoundDevice::GetStatus (as the DirectSound buffer reports
// them).
constexpr uint32_t SOUND_DEVICE_PLAYING = 0x1;
constexpr uint32_t SOUND_DEVICE_LOST = 0x2;

// One looping buffer of a fixed size on a sound device. Offsets are bytes
// from the start of the buffer. Every call returns 0 or a failure code that
// the manager passes on unchanged. Calls come from the manager under its lock,
// so an implementation needs no lock of its own for them.
class CSoundDevice {
public:
    virtual ~CSoundDevice() = default;

    // Opens the device (null: the default one) and creates the buffer of
    // nBufferBytes in the given format, stopped, play cursor at 0.
    virtual int32_t Open(const GUID *pDevice, const WAVEFORMATEX &format, uint32_t nBufferBytes) = 0;
    // Signals pEvent each time the play cursor reaches one of the offsets.
    virtual int32_t SetNotifications(platform::CEvent &event, const uint32_t *pOffsets, uint32_t nCount) = 0;
    virtual int32_t GetStatus(uint32_t *pStatus) = 0;
    virtual int32_t GetPlayCursor(uint32_t *pOffset) = 0;
    // Copies nLength bytes (at most the buffer size) to nOffset, wrapping to
    // the start of the buffer at its end.
    virtual int32_t Write(uint32_t nOffset, const uint8_t *pData, uint32_t nLength) = 0;
    virtual int32_t Play() = 0; // looping, from the play cursor
    virtual int32_t Stop() = 0; // keeps the play cursor
    virtual int32_t SetPlayCursor(uint32_t nOffset) = 0;
    virtual int32_t Restore() = 0;
    virtual int32_t SetVolume(int32_t nAttenuation) = 0;   // hundredths of a decibel, -10000..0
    virtual int32_t SetFrequency(uint32_t nFrequency) = 0; // 0: the format's own rate
    virtual int32_t GetFrequency(uint32_t *pFrequency) = 0;
    // Smallest and largest frequency the device plays a buffer at.
    virtual int32_t GetFrequencyRange(uint32_t *pMin, uint32_t *pMax) = 0;
};

// The device of this platform; null when out of memory.
CSoundDevice *CreatePlatformSoundDevice();

#ifndef _WIN32
// ALSA PCM name of a sound device GUID:
//   null, DSDEVID_DefaultPlayback, DSDEVID_DefaultVoicePlayback -> "default"
//   Data1 SOUND_ALSA_GUID_TAG ("ALSA"), Data2 card, Data3 device, Data4 all
//   zero                                                  -> "plughw:card,device"
//   any other GUID {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}  -> "qvsound-xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx"
//     (lower case): a PCM that the ALSA configuration defines for that GUID.
std::string SoundDeviceName(const GUID *pDevice);
constexpr uint32_t SOUND_ALSA_GUID_TAG = 0x414C5341;
#endif

// Attenuation in hundredths of a decibel for a volume on the linear
// 0..65535 scale: 1000 * log10(v / 65535) truncated toward zero, and
// SOUND_ATTENUATION_SILENT for 0 or anything lower.
int32_t SoundVolumeToAttenuation(uint32_t nVolume);

// Sample gain in 1/65536 steps for an attenuation in hundredths of a
// decibel: 0 at SOUND_ATTENUATION_SILENT or below, SOUND_GAIN_UNITY at 0 or
// above. Where the device has no volume of its own, the samples are scaled.
constexpr uint32_t SOUND_GAIN_UNITY = 65536;
uint32_t SoundAttenuationToGain(int32_t nAttenuation);
// Scales nBytes of PCM in place: 16-bit little-endian signed or 8-bit
// unsigned samples; other sample sizes are left as they are.
void ApplySoundGain(uint8_t *pData, uint32_t nBytes, uint32_t nBitsPerSample, uint32_t nGain);

// Buffer frequency for a speed factor: 0 (the format's own rate) when the
// factor is within SOUND_SPEED_EPSILON of 1, else the scaled rate rounded
// and clamped to nMin..nMax.
uint32_t SoundSpeedToFrequency(float fSpeed, uint32_t nSamplesPerSec, uint32_t nMin, uint32_t nMax);

class CSoundManager {
public:
    // Takes ownership of the device (null: CreatePlatformSoundDevice).
    explicit CSoundManager(CSoundDevice *pDevice = nullptr);
    virtual ~CSoundManager();
    CSoundManager(const CSoundManager &) = delete;
    CSoundManager &operator=(const CSoundManager &) = delete;

    // pSetting is checked by CreateSoundOutput.
    int32_t Open(const SOUND_SETTING &setting);
    int32_t SetVolume(uint32_t nVolume);
    int32_t SetSpeed(float fSpeed);
    int32_t Write(const uint8_t *pData, uint32_t nLength);
    int32_t Stop();
    int32_t GetStatus(SOUND_STATUS *pStatus);

    // What the notification wait runs at each quarter of the buffer; public
    // so that tests can run it at a moment of their choosing.
    void OnNotification();

    // Sizes and state, for the player's diagnostics and the tests.
    uint32_t BufferBytes() const { return m_nBufferBytes; }
    uint32_t NotifyStep() const { return m_nNotifyStep; }
    uint32_t StartThreshold() const { return m_nThreshold; }
    uint32_t WriteOffset();
    // Bytes taken by Write since the output was opened: a writer that lost
    // or repeated a block shows here even where the device's output cannot
    // be read back.
    uint64_t WrittenBytes();
    float Speed() const { return m_fSpeed; }
    uint32_t Volume() const { return m_nVolume; }
    int32_t GetFrequency(uint32_t *pFrequency);

private:
    static void NotificationCallback(void *pContext);
    uint32_t Queued(uint32_t nPlayCursor) const {
        return (m_nWrite + m_nBufferBytes - nPlayCursor % m_nBufferBytes) % m_nBufferBytes;
    }
    int32_t Rewind();

    CSoundDevice *m_pDevice;
    WAVEFORMATEX m_format{};
    platform::CEvent m_event{false, false};
    platform::CThreadPoolWait m_wait;
    // Writer, control calls and the notification handler all change the
    // buffer and the write offset; one lock keeps each step whole.
    platform::CLock m_lock;
    uint32_t m_nBufferBytes = 0; // B
    uint32_t m_nNotifyStep = 0;  // Q = B / 4
    uint32_t m_nThreshold = 0;   // T
    uint32_t m_nWrite = 0;       // W, 0..B-1
    uint64_t m_nWrittenBytes = 0;
    float m_fSpeed = 1.0f;
    uint32_t m_nVolume = 0;
    bool m_bOpen = false;
};

// Checks the setting, creates the manager on the platform's device and opens
// it; on failure nothing is left and *ppManager is null.
int32_t CreateSoundOutput(const SOUND_SETTING *pSetting, CSoundManager **ppManager);
// The same on a device of the caller's (taken over in every case).
int32_t CreateSoundOutputOnDevice(const SOUND_SETTING *pSetting, CSoundDevice *pDevice,
                                  CSoundManager **ppManager);
int32_t SetSoundVolume(CSoundManager *pManager, uint32_t nVolume); // 0..65535
int32_t SetSoundSpeed(CSoundManager *pManager, float fSpeed);      // 0.5..2.0
int32_t WriteSound(CSoundManager *pManager, const SOUND_INPUT *pInput);
int32_t StopSoundOutput(CSoundManager *pManager);
int32_t GetSoundStatus(CSoundManager *pManager, SOUND_STATUS *pStatus);
void DestroySoundOutput(CSoundManager *pManager); // null is fine

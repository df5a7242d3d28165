// The sound device on Windows: a DirectSound 8 secondary buffer, with
// dsound.dll loaded at run time so that a machine without it only loses
// sound.
#include "audio/sound.h"

#include <windows.h>

#include <dsound.h>

#include <new>

namespace {

// Kept here rather than taken from dxguid, which would tie the library to
// the DirectSound import libraries.
constexpr GUID kIidDirectSoundBuffer8 = {
    0x6825A449, 0x7524, 0x4D82, {0x92, 0x0F, 0x50, 0xE3, 0x6A, 0xB3, 0xAB, 0x1E}};
constexpr GUID kIidDirectSoundNotify = {
    0xB0210783, 0x89CD, 0x11D0, {0xAF, 0x08, 0x00, 0xA0, 0xC9, 0x25, 0xCD, 0x16}};

// Frequency and volume control, position notification, global focus,
// accurate play cursor, location chosen at play time.
constexpr DWORD kBufferFlags = DSBCAPS_CTRLFREQUENCY | DSBCAPS_CTRLVOLUME | DSBCAPS_CTRLPOSITIONNOTIFY |
                               DSBCAPS_GLOBALFOCUS | DSBCAPS_GETCURRENTPOSITION2 | DSBCAPS_LOCDEFER;
static_assert(kBufferFlags == 0x581A0, "secondary buffer flags");

using DirectSoundCreate8Fn = HRESULT(WINAPI *)(LPCGUID, LPDIRECTSOUND8 *, LPUNKNOWN);

class CDirectSoundDevice final : public CSoundDevice {
public:
    CDirectSoundDevice() {
        m_hModule = LoadLibraryW(L"dsound.dll");
        if (m_hModule)
            m_pfnCreate = reinterpret_cast<DirectSoundCreate8Fn>(
                reinterpret_cast<void *>(GetProcAddress(m_hModule, "DirectSoundCreate8")));
    }

    ~CDirectSoundDevice() override {
        if (m_pNotify)
            m_pNotify->Release();
        if (m_pBuffer)
            m_pBuffer->Release();
        if (m_pSound)
            m_pSound->Release();
        m_pNotify = nullptr;
        m_pBuffer = nullptr;
        m_pSound = nullptr;
        m_pfnCreate = nullptr;
        if (m_hModule)
            FreeLibrary(m_hModule);
        m_hModule = nullptr;
    }

    int32_t Open(const GUID *pDevice, const WAVEFORMATEX &format, uint32_t nBufferBytes) override {
        if (!m_pfnCreate)
            return SOUND_E_NOT_AVAILABLE;
        m_format = format;
        HRESULT hr = m_pfnCreate(pDevice, &m_pSound, nullptr);
        if (FAILED(hr)) {
            m_pSound = nullptr;
            return hr;
        }
        hr = m_pSound->SetCooperativeLevel(GetDesktopWindow(), DSSCL_NORMAL);
        if (FAILED(hr))
            return hr;
        DSBUFFERDESC desc = {};
        desc.dwSize = sizeof(desc);
        desc.dwFlags = kBufferFlags;
        desc.dwBufferBytes = nBufferBytes;
        desc.lpwfxFormat = &m_format;
        IDirectSoundBuffer *pPlain = nullptr;
        hr = m_pSound->CreateSoundBuffer(&desc, &pPlain, nullptr);
        if (FAILED(hr))
            return hr;
        hr = pPlain->QueryInterface(kIidDirectSoundBuffer8, reinterpret_cast<void **>(&m_pBuffer));
        pPlain->Release();
        if (FAILED(hr)) {
            m_pBuffer = nullptr;
            return hr;
        }
        hr = m_pBuffer->QueryInterface(kIidDirectSoundNotify, reinterpret_cast<void **>(&m_pNotify));
        if (FAILED(hr)) {
            m_pNotify = nullptr;
            return hr;
        }
        return SOUND_OK;
    }

    int32_t SetNotifications(platform::CEvent &event, const uint32_t *pOffsets, uint32_t nCount) override {
        DSBPOSITIONNOTIFY positions[SOUND_NOTIFY_COUNT];
        if (nCount > SOUND_NOTIFY_COUNT)
            return SOUND_E_INVALID_VALUE;
        for (uint32_t i = 0; i < nCount; ++i) {
            positions[i].dwOffset = pOffsets[i];
            positions[i].hEventNotify = reinterpret_cast<HANDLE>(event.NativeHandle());
        }
        return m_pNotify->SetNotificationPositions(nCount, positions);
    }

    int32_t GetStatus(uint32_t *pStatus) override {
        DWORD status = 0;
        const HRESULT hr = m_pBuffer->GetStatus(&status);
        if (FAILED(hr))
            return hr;
        *pStatus = ((status & DSBSTATUS_PLAYING) ? SOUND_DEVICE_PLAYING : 0) |
                   ((status & DSBSTATUS_BUFFERLOST) ? SOUND_DEVICE_LOST : 0);
        return SOUND_OK;
    }

    int32_t GetPlayCursor(uint32_t *pOffset) override {
        DWORD play = 0, write = 0;
        const HRESULT hr = m_pBuffer->GetCurrentPosition(&play, &write);
        if (FAILED(hr))
            return hr;
        *pOffset = play;
        return SOUND_OK;
    }

    int32_t Write(uint32_t nOffset, const uint8_t *pData, uint32_t nLength) override {
        void *pFirst = nullptr, *pSecond = nullptr;
        DWORD nFirst = 0, nSecond = 0;
        HRESULT hr = m_pBuffer->Lock(nOffset, nLength, &pFirst, &nFirst, &pSecond, &nSecond, 0);
        if (FAILED(hr))
            return hr;
        // The two parts together are what was asked for; bound each copy by
        // the length all the same.
        if (nFirst > nLength)
            nFirst = nLength;
        CopyMemory(pFirst, pData, nFirst);
        if (pSecond) {
            if (nSecond > nLength - nFirst)
                nSecond = nLength - nFirst;
            CopyMemory(pSecond, pData + nFirst, nSecond);
        }
        hr = m_pBuffer->Unlock(pFirst, nFirst, pSecond, nSecond);
        return FAILED(hr) ? hr : SOUND_OK;
    }

    int32_t Play() override { return Result(m_pBuffer->Play(0, 0, DSBPLAY_LOOPING)); }
    int32_t Stop() override { return Result(m_pBuffer->Stop()); }
    int32_t SetPlayCursor(uint32_t nOffset) override {
        return Result(m_pBuffer->SetCurrentPosition(nOffset));
    }
    int32_t Restore() override { return Result(m_pBuffer->Restore()); }
    int32_t SetVolume(int32_t nAttenuation) override { return Result(m_pBuffer->SetVolume(nAttenuation)); }
    int32_t SetFrequency(uint32_t nFrequency) override { return Result(m_pBuffer->SetFrequency(nFrequency)); }

    int32_t GetFrequency(uint32_t *pFrequency) override {
        DWORD frequency = 0;
        const HRESULT hr = m_pBuffer->GetFrequency(&frequency);
        if (FAILED(hr))
            return hr;
        *pFrequency = frequency;
        return SOUND_OK;
    }

    int32_t GetFrequencyRange(uint32_t *pMin, uint32_t *pMax) override {
        DSCAPS caps = {};
        caps.dwSize = sizeof(caps);
        static_assert(sizeof(DSCAPS) == 96, "capability record");
        const HRESULT hr = m_pSound->GetCaps(&caps);
        if (FAILED(hr))
            return hr;
        *pMin = caps.dwMinSecondarySampleRate;
        *pMax = caps.dwMaxSecondarySampleRate;
        return SOUND_OK;
    }

private:
    static int32_t Result(HRESULT hr) { return FAILED(hr) ? hr : SOUND_OK; }

    HMODULE m_hModule = nullptr;
    DirectSoundCreate8Fn m_pfnCreate = nullptr;
    WAVEFORMATEX m_format = {};
    IDirectSound8 *m_pSound = nullptr;
    IDirectSoundBuffer8 *m_pBuffer = nullptr;
    IDirectSoundNotify *m_pNotify = nullptr;
};

} // namespace

CSoundDevice *CreatePlatformSoundDevice() {
    return new (std::nothrow) CDirectSoundDevice;
}

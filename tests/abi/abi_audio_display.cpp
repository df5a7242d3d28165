// Layout checks of the audio, voice, sound, display and OSD records.
//
// The 32-bit DLL must match its clients byte for byte, so there every size and
// field offset is pinned. The 64-bit and Linux builds let pointer fields grow;
// there each record must still hold its fields in order at their natural
// places, with nothing inserted, and records without pointers keep their
// 32-bit size exactly. Compiling this file is the test.

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "qvaudio.h"
#include "qvdisplay.h"
#include "qvosd.h"
#include "qvsound.h"
#include "qvtypes.h"
#include "qvvoice.h"

namespace {

constexpr std::size_t QvAlignUp(std::size_t n, std::size_t a) {
    return (n + a - 1) / a * a;
}

} // namespace

#define QV_FIELD_SIZE(T, f) sizeof(T::f)

// Exact layout (32-bit Windows).
#define QV_SIZE(T, n) static_assert(sizeof(T) == (n), #T " size")
#define QV_AT(T, f, n) static_assert(offsetof(T, f) == (n), #T "::" #f " offset")

// Natural layout (every target).
#define QV_FIRST(T, f) static_assert(offsetof(T, f) == 0, #T "::" #f " starts the record")
#define QV_NEXT(T, prev, f)                                                                                  \
    static_assert(offsetof(T, f) ==                                                                          \
                      QvAlignUp(offsetof(T, prev) + QV_FIELD_SIZE(T, prev), alignof(decltype(T::f))),        \
                  #T "::" #f " follows " #prev " at its natural place")
#define QV_LAST(T, f)                                                                                        \
    static_assert(sizeof(T) == QvAlignUp(offsetof(T, f) + QV_FIELD_SIZE(T, f), alignof(T)),                  \
                  #T " ends after " #f)
#define QV_U32(T, f) static_assert(QV_FIELD_SIZE(T, f) == 4, #T "::" #f " is 32 bits")
#define QV_U16(T, f) static_assert(QV_FIELD_SIZE(T, f) == 2, #T "::" #f " is 16 bits")
#define QV_U8(T, f) static_assert(QV_FIELD_SIZE(T, f) == 1, #T "::" #f " is 8 bits")
#define QV_U64(T, f) static_assert(QV_FIELD_SIZE(T, f) == 8, #T "::" #f " is 64 bits")
#define QV_BYTES(T, f, n) static_assert(QV_FIELD_SIZE(T, f) == (n), #T "::" #f " width")
#define QV_PTR(T, f) static_assert(QV_FIELD_SIZE(T, f) == sizeof(void *), #T "::" #f " is pointer-sized")
#define QV_PLAIN(T)                                                                                          \
    static_assert(std::is_standard_layout_v<T> && std::is_trivially_copyable_v<T>, #T " is a plain C "       \
                                                                                      "record")

// ---------------------------------------------------------------- audio

QV_PLAIN(ADEC_OUTPUT);
QV_FIRST(ADEC_OUTPUT, dwSize);
QV_NEXT(ADEC_OUTPUT, dwSize, wChannels);
QV_NEXT(ADEC_OUTPUT, wChannels, wBitsPerSample);
QV_NEXT(ADEC_OUTPUT, wBitsPerSample, dwSamplesPerSec);
QV_NEXT(ADEC_OUTPUT, dwSamplesPerSec, dwReserved);
QV_NEXT(ADEC_OUTPUT, dwReserved, pBuffer);
QV_NEXT(ADEC_OUTPUT, pBuffer, dwBufferSize);
QV_LAST(ADEC_OUTPUT, dwBufferSize);
QV_U32(ADEC_OUTPUT, dwSize);
QV_U16(ADEC_OUTPUT, wChannels);
QV_U16(ADEC_OUTPUT, wBitsPerSample);
QV_U32(ADEC_OUTPUT, dwSamplesPerSec);
QV_BYTES(ADEC_OUTPUT, dwReserved, 12);
QV_PTR(ADEC_OUTPUT, pBuffer);
QV_U32(ADEC_OUTPUT, dwBufferSize);

QV_PLAIN(ADEC_STATUS);
QV_FIRST(ADEC_STATUS, dwSize);
QV_NEXT(ADEC_STATUS, dwSize, dwFrameCount);
QV_NEXT(ADEC_STATUS, dwFrameCount, ullDecodeTime);
QV_NEXT(ADEC_STATUS, ullDecodeTime, dwCodecType);
QV_NEXT(ADEC_STATUS, dwCodecType, dwReserved);
QV_LAST(ADEC_STATUS, dwReserved);
QV_U32(ADEC_STATUS, dwSize);
QV_U32(ADEC_STATUS, dwFrameCount);
QV_U64(ADEC_STATUS, ullDecodeTime);
QV_U32(ADEC_STATUS, dwCodecType);
QV_U32(ADEC_STATUS, dwReserved);
QV_SIZE(ADEC_STATUS, ADEC_STATUS_SIZE); // no pointers: same size everywhere
QV_AT(ADEC_STATUS, ullDecodeTime, 8);
QV_AT(ADEC_STATUS, dwCodecType, 16);

// ---------------------------------------------------------------- voice

QV_PLAIN(HI_VOICE_FRAME_HEADER);
QV_SIZE(HI_VOICE_FRAME_HEADER, HI_VOICE_FRAME_HEADER_SIZE);
QV_AT(HI_VOICE_FRAME_HEADER, byReserved0, 0);
QV_AT(HI_VOICE_FRAME_HEADER, byFrameType, 1);
QV_AT(HI_VOICE_FRAME_HEADER, byLength, 2);
QV_AT(HI_VOICE_FRAME_HEADER, byReserved1, 3);

// ---------------------------------------------------------------- sound

QV_PLAIN(SOUND_SETTING);
QV_FIRST(SOUND_SETTING, dwSize);
QV_NEXT(SOUND_SETTING, dwSize, dwBufferTime);
QV_NEXT(SOUND_SETTING, dwBufferTime, dwStartThreshold);
QV_NEXT(SOUND_SETTING, dwStartThreshold, pDeviceGuid);
QV_NEXT(SOUND_SETTING, pDeviceGuid, dwReserved);
QV_NEXT(SOUND_SETTING, dwReserved, wfx);
QV_NEXT(SOUND_SETTING, wfx, abyPadding);
QV_LAST(SOUND_SETTING, abyPadding);
QV_U32(SOUND_SETTING, dwSize);
QV_U32(SOUND_SETTING, dwBufferTime);
QV_U32(SOUND_SETTING, dwStartThreshold);
QV_PTR(SOUND_SETTING, pDeviceGuid);
QV_BYTES(SOUND_SETTING, dwReserved, 8);
QV_BYTES(SOUND_SETTING, wfx, 18);
QV_BYTES(SOUND_SETTING, abyPadding, 6);
static_assert(alignof(WAVEFORMATEX) == 1, "WAVEFORMATEX is packed: it may sit at any offset");

QV_PLAIN(SOUND_INPUT);
QV_FIRST(SOUND_INPUT, dwSize);
QV_NEXT(SOUND_INPUT, dwSize, dwLength);
QV_NEXT(SOUND_INPUT, dwLength, pData);
QV_NEXT(SOUND_INPUT, pData, dwReserved);
QV_LAST(SOUND_INPUT, dwReserved);
QV_U32(SOUND_INPUT, dwSize);
QV_U32(SOUND_INPUT, dwLength);
QV_PTR(SOUND_INPUT, pData);
QV_U32(SOUND_INPUT, dwReserved);

QV_PLAIN(SOUND_STATUS);
QV_FIRST(SOUND_STATUS, dwSize);
QV_NEXT(SOUND_STATUS, dwSize, bPlaying);
QV_NEXT(SOUND_STATUS, bPlaying, dwQueuedBytes);
QV_NEXT(SOUND_STATUS, dwQueuedBytes, dwQueuedTime);
QV_NEXT(SOUND_STATUS, dwQueuedTime, dwReserved);
QV_LAST(SOUND_STATUS, dwReserved);
QV_U32(SOUND_STATUS, bPlaying);
QV_U32(SOUND_STATUS, dwQueuedBytes);
QV_U32(SOUND_STATUS, dwQueuedTime);
QV_BYTES(SOUND_STATUS, dwReserved, 8);
QV_SIZE(SOUND_STATUS, SOUND_STATUS_SIZE);

// ---------------------------------------------------------------- display

QV_PLAIN(PLAY_VIEWPORT);
QV_FIRST(PLAY_VIEWPORT, dwSize);
QV_NEXT(PLAY_VIEWPORT, dwSize, dwID);
QV_NEXT(PLAY_VIEWPORT, dwID, hDestWnd);
QV_NEXT(PLAY_VIEWPORT, hDestWnd, dwReserved);
QV_NEXT(PLAY_VIEWPORT, dwReserved, rcSrc);
QV_NEXT(PLAY_VIEWPORT, rcSrc, rcDest);
QV_LAST(PLAY_VIEWPORT, rcDest);
QV_U32(PLAY_VIEWPORT, dwSize);
QV_U32(PLAY_VIEWPORT, dwID);
QV_PTR(PLAY_VIEWPORT, hDestWnd);
QV_BYTES(PLAY_VIEWPORT, dwReserved, 12);
QV_BYTES(PLAY_VIEWPORT, rcSrc, 16);
QV_BYTES(PLAY_VIEWPORT, rcDest, 16);

QV_PLAIN(PLAY_SNAPSHOT);
QV_FIRST(PLAY_SNAPSHOT, dwSize);
QV_NEXT(PLAY_SNAPSHOT, dwSize, dwBufferSize);
QV_NEXT(PLAY_SNAPSHOT, dwBufferSize, pBuffer);
QV_NEXT(PLAY_SNAPSHOT, pBuffer, dwReserved);
QV_NEXT(PLAY_SNAPSHOT, dwReserved, bmiHeader);
QV_LAST(PLAY_SNAPSHOT, bmiHeader);
QV_U32(PLAY_SNAPSHOT, dwSize);
QV_U32(PLAY_SNAPSHOT, dwBufferSize);
QV_PTR(PLAY_SNAPSHOT, pBuffer);
QV_U32(PLAY_SNAPSHOT, dwReserved);
QV_BYTES(PLAY_SNAPSHOT, bmiHeader, 40);

QV_PLAIN(PLAY_DC_RENDER);
QV_FIRST(PLAY_DC_RENDER, dwSize);
QV_NEXT(PLAY_DC_RENDER, dwSize, hDC);
QV_NEXT(PLAY_DC_RENDER, hDC, viewport);
QV_NEXT(PLAY_DC_RENDER, viewport, dwReserved);
QV_LAST(PLAY_DC_RENDER, dwReserved);
QV_U32(PLAY_DC_RENDER, dwSize);
QV_PTR(PLAY_DC_RENDER, hDC);
QV_BYTES(PLAY_DC_RENDER, viewport, sizeof(PLAY_VIEWPORT));
QV_BYTES(PLAY_DC_RENDER, dwReserved, 8);

QV_PLAIN(PLAY_DEVICE_RENDER);
QV_FIRST(PLAY_DEVICE_RENDER, dwSize);
QV_NEXT(PLAY_DEVICE_RENDER, dwSize, dwBackend);
QV_NEXT(PLAY_DEVICE_RENDER, dwBackend, pDevice);
QV_NEXT(PLAY_DEVICE_RENDER, pDevice, pSurface);
QV_NEXT(PLAY_DEVICE_RENDER, pSurface, viewport);
QV_NEXT(PLAY_DEVICE_RENDER, viewport, dwReserved);
QV_LAST(PLAY_DEVICE_RENDER, dwReserved);
QV_U32(PLAY_DEVICE_RENDER, dwSize);
QV_U32(PLAY_DEVICE_RENDER, dwBackend);
QV_PTR(PLAY_DEVICE_RENDER, pDevice);
QV_PTR(PLAY_DEVICE_RENDER, pSurface);
QV_BYTES(PLAY_DEVICE_RENDER, viewport, sizeof(PLAY_VIEWPORT));
QV_BYTES(PLAY_DEVICE_RENDER, dwReserved, 8);

QV_PLAIN(DISPLAY_PICTURE);
QV_FIRST(DISPLAY_PICTURE, dwSize);
QV_NEXT(DISPLAY_PICTURE, dwSize, dwFourCC);
QV_NEXT(DISPLAY_PICTURE, dwFourCC, nWidth);
QV_NEXT(DISPLAY_PICTURE, nWidth, nHeight);
QV_NEXT(DISPLAY_PICTURE, nHeight, pData);
QV_NEXT(DISPLAY_PICTURE, pData, dwDataSize);
QV_NEXT(DISPLAY_PICTURE, dwDataSize, dwDuration);
QV_NEXT(DISPLAY_PICTURE, dwDuration, dwReserved);
QV_LAST(DISPLAY_PICTURE, dwReserved);
QV_U32(DISPLAY_PICTURE, dwSize);
QV_U32(DISPLAY_PICTURE, dwFourCC);
QV_U32(DISPLAY_PICTURE, nWidth);
QV_U32(DISPLAY_PICTURE, nHeight);
QV_PTR(DISPLAY_PICTURE, pData);
QV_U32(DISPLAY_PICTURE, dwDataSize);
QV_U32(DISPLAY_PICTURE, dwDuration);
QV_U32(DISPLAY_PICTURE, dwReserved);
static_assert(std::is_signed_v<decltype(DISPLAY_PICTURE::nWidth)>, "picture width is signed");
static_assert(std::is_signed_v<decltype(DISPLAY_PICTURE::nHeight)>, "picture height is signed");

QV_PLAIN(DISPLAY_PICTURE_HOOKS);
QV_FIRST(DISPLAY_PICTURE_HOOKS, dwSize);
QV_NEXT(DISPLAY_PICTURE_HOOKS, dwSize, pfnRelease);
QV_NEXT(DISPLAY_PICTURE_HOOKS, pfnRelease, pReleaseContext);
QV_NEXT(DISPLAY_PICTURE_HOOKS, pReleaseContext, pfnDeviceRender);
QV_NEXT(DISPLAY_PICTURE_HOOKS, pfnDeviceRender, pDeviceRenderContext);
QV_NEXT(DISPLAY_PICTURE_HOOKS, pDeviceRenderContext, pfnDcRender);
QV_NEXT(DISPLAY_PICTURE_HOOKS, pfnDcRender, pDcRenderContext);
QV_NEXT(DISPLAY_PICTURE_HOOKS, pDcRenderContext, dwReserved);
QV_LAST(DISPLAY_PICTURE_HOOKS, dwReserved);
QV_U32(DISPLAY_PICTURE_HOOKS, dwSize);
QV_PTR(DISPLAY_PICTURE_HOOKS, pfnRelease);
QV_PTR(DISPLAY_PICTURE_HOOKS, pReleaseContext);
QV_PTR(DISPLAY_PICTURE_HOOKS, pfnDeviceRender);
QV_PTR(DISPLAY_PICTURE_HOOKS, pDeviceRenderContext);
QV_PTR(DISPLAY_PICTURE_HOOKS, pfnDcRender);
QV_PTR(DISPLAY_PICTURE_HOOKS, pDcRenderContext);
QV_BYTES(DISPLAY_PICTURE_HOOKS, dwReserved, 12);

QV_PLAIN(DISPLAY_STATUS);
QV_FIRST(DISPLAY_STATUS, dwSize);
QV_NEXT(DISPLAY_STATUS, dwSize, dwBackend);
QV_NEXT(DISPLAY_STATUS, dwBackend, dwShownCount);
QV_NEXT(DISPLAY_STATUS, dwShownCount, dwSnapshotCount);
QV_NEXT(DISPLAY_STATUS, dwSnapshotCount, llScheduledTime);
QV_NEXT(DISPLAY_STATUS, llScheduledTime, llElapsedTime);
QV_NEXT(DISPLAY_STATUS, llElapsedTime, llSnapshotTime);
QV_NEXT(DISPLAY_STATUS, llSnapshotTime, dwReserved);
QV_LAST(DISPLAY_STATUS, dwReserved);
QV_U32(DISPLAY_STATUS, dwBackend);
QV_U32(DISPLAY_STATUS, dwShownCount);
QV_U32(DISPLAY_STATUS, dwSnapshotCount);
QV_U64(DISPLAY_STATUS, llScheduledTime);
QV_U64(DISPLAY_STATUS, llElapsedTime);
QV_U64(DISPLAY_STATUS, llSnapshotTime);
QV_BYTES(DISPLAY_STATUS, dwReserved, 8);
QV_SIZE(DISPLAY_STATUS, DISPLAY_STATUS_SIZE);
QV_AT(DISPLAY_STATUS, llScheduledTime, 16);
QV_AT(DISPLAY_STATUS, llElapsedTime, 24);
QV_AT(DISPLAY_STATUS, llSnapshotTime, 32);
QV_AT(DISPLAY_STATUS, dwReserved, 40);

QV_PLAIN(CONVERT_SETTING);
QV_FIRST(CONVERT_SETTING, dwFourCC);
QV_NEXT(CONVERT_SETTING, dwFourCC, wWidth);
QV_NEXT(CONVERT_SETTING, wWidth, wHeight);
QV_NEXT(CONVERT_SETTING, wHeight, pYuv);
QV_NEXT(CONVERT_SETTING, pYuv, dwYuvSize);
QV_NEXT(CONVERT_SETTING, dwYuvSize, pRgb24);
QV_NEXT(CONVERT_SETTING, pRgb24, dwRgbSize);
QV_NEXT(CONVERT_SETTING, dwRgbSize, bTopDown);
QV_NEXT(CONVERT_SETTING, bTopDown, dwPicth);
QV_LAST(CONVERT_SETTING, dwPicth);
QV_U32(CONVERT_SETTING, dwFourCC);
QV_U32(CONVERT_SETTING, wWidth);
QV_U32(CONVERT_SETTING, wHeight);
QV_PTR(CONVERT_SETTING, pYuv);
QV_U32(CONVERT_SETTING, dwYuvSize);
QV_PTR(CONVERT_SETTING, pRgb24);
QV_U32(CONVERT_SETTING, dwRgbSize);
QV_U32(CONVERT_SETTING, bTopDown);
QV_U32(CONVERT_SETTING, dwPicth);

// ---------------------------------------------------------------- OSD

QV_PLAIN(OSD_SETTING);
QV_FIRST(OSD_SETTING, dwSize);
QV_NEXT(OSD_SETTING, dwSize, dwFlags);
QV_NEXT(OSD_SETTING, dwFlags, hFont);
QV_NEXT(OSD_SETTING, hFont, byTextLevel);
QV_NEXT(OSD_SETTING, byTextLevel, byOutlineLevel);
QV_NEXT(OSD_SETTING, byOutlineLevel, wMosaicWidth);
QV_NEXT(OSD_SETTING, wMosaicWidth, wMosaicHeight);
QV_NEXT(OSD_SETTING, wMosaicHeight, abyReserved);
QV_LAST(OSD_SETTING, abyReserved);
QV_U32(OSD_SETTING, dwSize);
QV_U32(OSD_SETTING, dwFlags);
QV_PTR(OSD_SETTING, hFont);
QV_U8(OSD_SETTING, byTextLevel);
QV_U8(OSD_SETTING, byOutlineLevel);
QV_U16(OSD_SETTING, wMosaicWidth);
QV_U16(OSD_SETTING, wMosaicHeight);
QV_BYTES(OSD_SETTING, abyReserved, 6);

QV_PLAIN(OSD_STATUS);
QV_FIRST(OSD_STATUS, dwSize);
QV_NEXT(OSD_STATUS, dwSize, dwItemCount);
QV_NEXT(OSD_STATUS, dwItemCount, llDrawTime);
QV_NEXT(OSD_STATUS, llDrawTime, dwReserved);
QV_LAST(OSD_STATUS, dwReserved);
QV_U32(OSD_STATUS, dwItemCount);
QV_U64(OSD_STATUS, llDrawTime);
QV_BYTES(OSD_STATUS, dwReserved, 8);
QV_SIZE(OSD_STATUS, OSD_STATUS_SIZE);

// ---------------------------------------------------------------- 32-bit Windows: the client's layout

#if defined(_WIN32) && !defined(_WIN64)

QV_SIZE(ADEC_OUTPUT, ADEC_OUTPUT_SIZE);
QV_SIZE(ADEC_OUTPUT, 32);
QV_AT(ADEC_OUTPUT, dwSize, 0);
QV_AT(ADEC_OUTPUT, wChannels, 4);
QV_AT(ADEC_OUTPUT, wBitsPerSample, 6);
QV_AT(ADEC_OUTPUT, dwSamplesPerSec, 8);
QV_AT(ADEC_OUTPUT, dwReserved, 12);
QV_AT(ADEC_OUTPUT, pBuffer, 24);
QV_AT(ADEC_OUTPUT, dwBufferSize, 28);

QV_SIZE(ADEC_STATUS, 24);
QV_AT(ADEC_STATUS, dwSize, 0);
QV_AT(ADEC_STATUS, dwFrameCount, 4);
QV_AT(ADEC_STATUS, ullDecodeTime, 8);
QV_AT(ADEC_STATUS, dwCodecType, 16);
QV_AT(ADEC_STATUS, dwReserved, 20);

QV_SIZE(SOUND_SETTING, SOUND_SETTING_SIZE);
QV_SIZE(SOUND_SETTING, 48);
QV_AT(SOUND_SETTING, dwSize, 0);
QV_AT(SOUND_SETTING, dwBufferTime, 4);
QV_AT(SOUND_SETTING, dwStartThreshold, 8);
QV_AT(SOUND_SETTING, pDeviceGuid, 12);
QV_AT(SOUND_SETTING, dwReserved, 16);
QV_AT(SOUND_SETTING, wfx, 24);
QV_AT(SOUND_SETTING, wfx.wFormatTag, 24);
QV_AT(SOUND_SETTING, wfx.nChannels, 26);
QV_AT(SOUND_SETTING, wfx.nSamplesPerSec, 28);
QV_AT(SOUND_SETTING, wfx.nAvgBytesPerSec, 32);
QV_AT(SOUND_SETTING, wfx.nBlockAlign, 36);
QV_AT(SOUND_SETTING, wfx.wBitsPerSample, 38);
QV_AT(SOUND_SETTING, wfx.cbSize, 40);
QV_AT(SOUND_SETTING, abyPadding, 42);

QV_SIZE(SOUND_INPUT, SOUND_INPUT_SIZE);
QV_SIZE(SOUND_INPUT, 16);
QV_AT(SOUND_INPUT, dwSize, 0);
QV_AT(SOUND_INPUT, dwLength, 4);
QV_AT(SOUND_INPUT, pData, 8);
QV_AT(SOUND_INPUT, dwReserved, 12);

QV_SIZE(SOUND_STATUS, 24);
QV_AT(SOUND_STATUS, dwSize, 0);
QV_AT(SOUND_STATUS, bPlaying, 4);
QV_AT(SOUND_STATUS, dwQueuedBytes, 8);
QV_AT(SOUND_STATUS, dwQueuedTime, 12);
QV_AT(SOUND_STATUS, dwReserved, 16);

QV_SIZE(PLAY_VIEWPORT, PLAY_VIEWPORT_SIZE);
QV_SIZE(PLAY_VIEWPORT, 56);
QV_AT(PLAY_VIEWPORT, dwSize, 0);
QV_AT(PLAY_VIEWPORT, dwID, 4);
QV_AT(PLAY_VIEWPORT, hDestWnd, 8);
QV_AT(PLAY_VIEWPORT, dwReserved, 12);
QV_AT(PLAY_VIEWPORT, rcSrc, 24);
QV_AT(PLAY_VIEWPORT, rcDest, 40);

QV_SIZE(PLAY_SNAPSHOT, PLAY_SNAPSHOT_SIZE);
QV_SIZE(PLAY_SNAPSHOT, 56);
QV_AT(PLAY_SNAPSHOT, dwSize, 0);
QV_AT(PLAY_SNAPSHOT, dwBufferSize, 4);
QV_AT(PLAY_SNAPSHOT, pBuffer, 8);
QV_AT(PLAY_SNAPSHOT, dwReserved, 12);
QV_AT(PLAY_SNAPSHOT, bmiHeader, 16);

QV_SIZE(PLAY_DC_RENDER, PLAY_DC_RENDER_SIZE);
QV_SIZE(PLAY_DC_RENDER, 72);
QV_AT(PLAY_DC_RENDER, dwSize, 0);
QV_AT(PLAY_DC_RENDER, hDC, 4);
QV_AT(PLAY_DC_RENDER, viewport, 8);
QV_AT(PLAY_DC_RENDER, dwReserved, 64);

QV_SIZE(PLAY_DEVICE_RENDER, PLAY_DEVICE_RENDER_SIZE);
QV_SIZE(PLAY_DEVICE_RENDER, 80);
QV_AT(PLAY_DEVICE_RENDER, dwSize, 0);
QV_AT(PLAY_DEVICE_RENDER, dwBackend, 4);
QV_AT(PLAY_DEVICE_RENDER, pDevice, 8);
QV_AT(PLAY_DEVICE_RENDER, pSurface, 12);
QV_AT(PLAY_DEVICE_RENDER, viewport, 16);
QV_AT(PLAY_DEVICE_RENDER, dwReserved, 72);

QV_SIZE(DISPLAY_PICTURE, DISPLAY_PICTURE_SIZE);
QV_SIZE(DISPLAY_PICTURE, 32);
QV_AT(DISPLAY_PICTURE, dwSize, 0);
QV_AT(DISPLAY_PICTURE, dwFourCC, 4);
QV_AT(DISPLAY_PICTURE, nWidth, 8);
QV_AT(DISPLAY_PICTURE, nHeight, 12);
QV_AT(DISPLAY_PICTURE, pData, 16);
QV_AT(DISPLAY_PICTURE, dwDataSize, 20);
QV_AT(DISPLAY_PICTURE, dwDuration, 24);
QV_AT(DISPLAY_PICTURE, dwReserved, 28);

QV_SIZE(DISPLAY_PICTURE_HOOKS, DISPLAY_PICTURE_HOOKS_SIZE);
QV_SIZE(DISPLAY_PICTURE_HOOKS, 40);
QV_AT(DISPLAY_PICTURE_HOOKS, dwSize, 0);
QV_AT(DISPLAY_PICTURE_HOOKS, pfnRelease, 4);
QV_AT(DISPLAY_PICTURE_HOOKS, pReleaseContext, 8);
QV_AT(DISPLAY_PICTURE_HOOKS, pfnDeviceRender, 12);
QV_AT(DISPLAY_PICTURE_HOOKS, pDeviceRenderContext, 16);
QV_AT(DISPLAY_PICTURE_HOOKS, pfnDcRender, 20);
QV_AT(DISPLAY_PICTURE_HOOKS, pDcRenderContext, 24);
QV_AT(DISPLAY_PICTURE_HOOKS, dwReserved, 28);

QV_SIZE(DISPLAY_STATUS, 48);
QV_AT(DISPLAY_STATUS, dwSize, 0);
QV_AT(DISPLAY_STATUS, dwBackend, 4);
QV_AT(DISPLAY_STATUS, dwShownCount, 8);
QV_AT(DISPLAY_STATUS, dwSnapshotCount, 12);

// Nine 32-bit fields in a row.
QV_SIZE(CONVERT_SETTING, 36);
QV_AT(CONVERT_SETTING, dwFourCC, 0);
QV_AT(CONVERT_SETTING, wWidth, 4);
QV_AT(CONVERT_SETTING, wHeight, 8);
QV_AT(CONVERT_SETTING, pYuv, 12);
QV_AT(CONVERT_SETTING, dwYuvSize, 16);
QV_AT(CONVERT_SETTING, pRgb24, 20);
QV_AT(CONVERT_SETTING, dwRgbSize, 24);
QV_AT(CONVERT_SETTING, bTopDown, 28);
QV_AT(CONVERT_SETTING, dwPicth, 32);

QV_SIZE(OSD_SETTING, OSD_SETTING_SIZE);
QV_SIZE(OSD_SETTING, 24);
QV_AT(OSD_SETTING, dwSize, 0);
QV_AT(OSD_SETTING, dwFlags, 4);
QV_AT(OSD_SETTING, hFont, 8);
QV_AT(OSD_SETTING, byTextLevel, 12);
QV_AT(OSD_SETTING, byOutlineLevel, 13);
QV_AT(OSD_SETTING, wMosaicWidth, 14);
QV_AT(OSD_SETTING, wMosaicHeight, 16);
QV_AT(OSD_SETTING, abyReserved, 18);

QV_SIZE(OSD_STATUS, 24);
QV_AT(OSD_STATUS, dwSize, 0);
QV_AT(OSD_STATUS, dwItemCount, 4);
QV_AT(OSD_STATUS, llDrawTime, 8);
QV_AT(OSD_STATUS, dwReserved, 16);

#endif // 32-bit Windows

// ---------------------------------------------------------------- constants the records and checks rely on

// Every failure code is negative and carries its component in the upper half.
#define QV_CODE(code, component)                                                                             \
    static_assert((code) < 0 && (static_cast<uint32_t>(code) >> 16) == (component), #code)

QV_CODE(ADEC_E_FAIL, 0x8AB3u);
QV_CODE(ADEC_E_NOT_SUPPORTED, 0x8AB3u);
QV_CODE(ADEC_E_INVALID_VALUE, 0x8AB3u);
QV_CODE(ADEC_E_INVALID_OBJECT, 0x8AB3u);
QV_CODE(ADEC_E_NULL_POINTER, 0x8AB3u);
QV_CODE(ADEC_E_BAD_SIZE, 0x8AB3u);
QV_CODE(ADEC_E_BUFFER_TOO_SMALL, 0x8AB3u);
QV_CODE(SOUND_E_FAIL, 0x92A1u);
QV_CODE(SOUND_E_NO_ROOM, 0x92A1u);
QV_CODE(DISPLAY_E_FAIL, 0x92A0u);
QV_CODE(DISPLAY_E_OUT_OF_MEMORY, 0x92A0u);
QV_CODE(OSD_E_FAIL, 0x8AB2u);
QV_CODE(OSD_E_BRUSH, 0x8AB2u);
QV_CODE(HI_VOICE_E_ENC_NOT_SUPPORTED, 0xA122u);
QV_CODE(HI_VOICE_E_NULL_OUTPUT, 0xA122u);
QV_CODE(HI_VOICE_E_TRANS_NOT_SUPPORTED, 0xA122u);
static_assert(static_cast<uint32_t>(DISPLAY_E_QUEUE_FULL) == 0x92A00023u, "queue full code");
static_assert(static_cast<uint32_t>(SOUND_E_NO_ROOM) == 0x92A10020u, "no room code");
static_assert(static_cast<uint32_t>(HI_VOICE_E_TRANS_NULL_STATE) == 0xA1221001u, "transcoder state code");

// Four-character codes as little-endian values.
static_assert(DISPLAY_FOURCC_YV12 == 0x32315659u, "YV12");
static_assert(DISPLAY_FOURCC_I420 == 0x30323449u, "I420");
static_assert(DISPLAY_FOURCC_NV12 == 0x3231564Eu, "NV12");
static_assert(DISPLAY_FOURCC_NV21 == 0x3132564Eu, "NV21");
static_assert(DISPLAY_FOURCC_YUY2 == 0x32595559u, "YUY2");
static_assert(DISPLAY_FOURCC_UYVY == 0x59565955u, "UYVY");

static_assert(DISPLAY_SLOT_FLAG(DISPLAY_SLOT_RESERVED) == DISPLAY_FLAG_SLOT0, "slot 0 flag");
static_assert(DISPLAY_SLOT_FLAG(DISPLAY_SLOT_DIRECT3D9) == DISPLAY_FLAG_DIRECT3D9, "slot 1 flag");
static_assert(DISPLAY_SLOT_FLAG(DISPLAY_SLOT_DIRECTDRAW7) == DISPLAY_FLAG_DIRECTDRAW7, "slot 2 flag");
static_assert(DISPLAY_SLOT_FLAG(DISPLAY_SLOT_DRAWDIB) == DISPLAY_FLAG_DRAWDIB, "slot 3 flag");
static_assert(DISPLAY_RGB24_STRIDE(1) == 4 && DISPLAY_RGB24_STRIDE(4) == 12 && DISPLAY_RGB24_STRIDE(5) == 16,
              "RGB rows padded to 4 bytes");

static_assert(sizeof(HI_VOICE_VERSION_STRING) == HI_VOICE_VERSION_SIZE, "version buffer size");
static_assert(HI_VOICE_TRANSCODE_STATE_SIZE == 2176, "transcoder state: encoder, then decoder at 2048");
static_assert(HI_VOICE_MAX_FRAME_SIZE == 514, "largest voice frame");
static_assert(ADEC_G726_STATE_SIZE == HI_VOICE_STATE_SIZE, "the G.726 decoder holds one voice state");

// The voice library's exported entry points keep their declared signatures.
static_assert(std::is_same_v<decltype(&HI_VOICE_GetVersion), int32_t(QV_CALL *)(char *)>, "GetVersion");
static_assert(std::is_same_v<decltype(&HI_VOICE_EncodeFrame),
                             int32_t(QV_CALL *)(void *, const int16_t *, void *, int16_t)>,
              "EncodeFrame");
static_assert(std::is_same_v<decltype(&HI_VOICE_DecodeFrame),
                             int32_t(QV_CALL *)(void *, const void *, int16_t *, int16_t *)>,
              "DecodeFrame");

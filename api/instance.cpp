// The instance family: a live stream pushed into one of 128 opaque instances,
// each a slot whose index is the port of the port family underneath.
//
// Slots are claimed and freed with atomic operations and the shared client
// function is an atomic pointer, so clients that do not serialise their
// calls cannot make two instances share a slot or tear the pointer. Nothing
// here takes a lock.
#include <atomic>
#include <cstdint>

#include "qvplaym4.h"

namespace {

struct CInstanceSlot {
    // The handle given out is the address of this word; null while free.
    std::atomic<void *> pHandle{nullptr};
    std::atomic<bool> bInUse{false};
    std::atomic<HWND> hWnd{};
    std::atomic<LONG> nValue{0}; // kept from Start, not used
    std::atomic<bool> bOpened{false};
    std::atomic<LONG> nSelection{QV_INSTANCE_STREAM_NONE};
    std::atomic<bool> bAudio{false};
};

CInstanceSlot g_slots[QV_INSTANCE_MAX];
std::atomic<LONG> g_nLastError{0};
std::atomic<QV_INSTANCE_DECODE_CALLBACK> g_pfnDecode{nullptr};

// The slot index of an instance handle, or -1 when it is not one.
LONG SlotIndex(QV_INSTANCE hInstance) {
    const uintptr_t base = reinterpret_cast<uintptr_t>(&g_slots[0].pHandle);
    const uintptr_t at = reinterpret_cast<uintptr_t>(hInstance);
    if (at < base)
        return -1;
    const uintptr_t offset = at - base;
    if (offset % sizeof(CInstanceSlot) != 0 || offset / sizeof(CInstanceSlot) >= QV_INSTANCE_MAX)
        return -1;
    return LONG(offset / sizeof(CInstanceSlot));
}

LONG Result(BOOL bOk) {
    return bOk ? QV_INSTANCE_OK : QV_INSTANCE_E_FAIL;
}

// Registered with the port family for every instance that asks for decoded
// frames: recodes the frame type for this family's clients, keeps to the
// slot's selection and hands the instance handle in place of the port.
void QV_CALL InstanceDecodeAdapter(LONG nPort, const BYTE *pData, LONG nSize, const FRAME_INFO *pFrameInfo,
                                   void *pUser, const FRAME_TIME *pFrameTime) {
    const QV_INSTANCE_DECODE_CALLBACK pfn = g_pfnDecode.load();
    if (pfn == nullptr || nPort < 0 || nPort >= QV_INSTANCE_MAX || pFrameInfo == nullptr)
        return;
    CInstanceSlot &slot = g_slots[nPort];
    const LONG nSelection = slot.nSelection.load();
    FRAME_INFO info = *pFrameInfo;
    const bool bAudio = info.nType == QV_PLAY_TYPE_AUDIO16;
    if (bAudio) {
        if (nSelection != QV_INSTANCE_STREAM_AUDIO && nSelection != QV_INSTANCE_STREAM_BOTH)
            return;
        info.nType = QV_INSTANCE_TYPE_AUDIO16;
    } else {
        if (nSelection != QV_INSTANCE_STREAM_VIDEO && nSelection != QV_INSTANCE_STREAM_BOTH)
            return;
        if (info.nType == QV_PLAY_TYPE_I420)
            info.nType = QV_INSTANCE_TYPE_I420;
        else if (info.nType == QV_PLAY_TYPE_YUY2)
            info.nType = QV_INSTANCE_TYPE_YUY2;
    }
    pfn(&slot.pHandle, pData, nSize, &info, pUser, pFrameTime);
}

} // namespace

QV_EXTERN_C QV_INSTANCE QV_CALL GetInstance(void) {
    for (CInstanceSlot &slot : g_slots) {
        bool bFree = false;
        if (slot.bInUse.compare_exchange_strong(bFree, true)) {
            slot.pHandle.store(&slot.pHandle);
            return &slot.pHandle;
        }
    }
    g_nLastError.store(QV_INSTANCE_E_NO_FREE);
    return QV_INSTANCE_INVALID;
}

QV_EXTERN_C LONG QV_CALL ReleaseInstance(QV_INSTANCE hInstance) {
    const LONG i = SlotIndex(hInstance);
    if (i < 0)
        return QV_INSTANCE_E_BAD_HANDLE;
    g_slots[i].pHandle.store(nullptr);
    g_slots[i].bInUse.store(false);
    return QV_INSTANCE_OK;
}

QV_EXTERN_C LONG QV_CALL Start(QV_INSTANCE hInstance, HWND hWnd, LONG nValue) {
    const LONG i = SlotIndex(hInstance);
    if (i < 0)
        return QV_INSTANCE_E_BAD_HANDLE;
    g_slots[i].hWnd.store(hWnd);
    g_slots[i].nValue.store(nValue);
    return QV_INSTANCE_OK;
}

QV_EXTERN_C LONG QV_CALL Stop(QV_INSTANCE hInstance) {
    const LONG i = SlotIndex(hInstance);
    if (i < 0)
        return QV_INSTANCE_E_BAD_HANDLE;
    if (!QV_PLAY_CloseStream(i))
        return QV_INSTANCE_E_FAIL;
    g_slots[i].hWnd.store(HWND{});
    g_slots[i].bOpened.store(false);
    g_slots[i].bAudio.store(false);
    return QV_INSTANCE_OK;
}

QV_EXTERN_C LONG QV_CALL InsertBuffer(QV_INSTANCE hInstance, const BYTE *pData, DWORD dwSize) {
    const LONG i = SlotIndex(hInstance);
    if (i < 0)
        return QV_INSTANCE_E_BAD_HANDLE;
    CInstanceSlot &slot = g_slots[i];
    if (!slot.bOpened.load()) {
        // The first buffer after Start begins with the stream's header block;
        // a buffer too short to hold one is refused rather than read past.
        if (pData == nullptr || dwSize < QV_INSTANCE_HEADER_SIZE)
            return QV_INSTANCE_E_FAIL;
        if (!QV_PLAY_OpenStream(i, pData, QV_INSTANCE_HEADER_SIZE, 4))
            return QV_INSTANCE_E_FAIL;
        if (!QV_PLAY_Play(i, slot.hWnd.load())) {
            // Leave the port free for the next attempt.
            QV_PLAY_CloseStream(i);
            return QV_INSTANCE_E_FAIL;
        }
        slot.bOpened.store(true);
        QV_PLAY_OpenSound(i);
    }
    return QV_PLAY_InputData(i, pData, dwSize, 0) ? QV_INSTANCE_OK : QV_INSTANCE_E_INPUT;
}

QV_EXTERN_C LONG QV_CALL StartAudio(QV_INSTANCE hInstance) {
    const LONG i = SlotIndex(hInstance);
    if (i < 0)
        return QV_INSTANCE_E_BAD_HANDLE;
    g_slots[i].bAudio.store(true);
    return Result(QV_PLAY_OpenSound(i));
}

QV_EXTERN_C LONG QV_CALL StopAudio(QV_INSTANCE hInstance) {
    const LONG i = SlotIndex(hInstance);
    if (i < 0)
        return QV_INSTANCE_E_BAD_HANDLE;
    g_slots[i].bAudio.store(false);
    return Result(QV_PLAY_CloseSound(i));
}

QV_EXTERN_C LONG QV_CALL SetAudioVolume(QV_INSTANCE hInstance, LONG nPercent) {
    const LONG i = SlotIndex(hInstance);
    if (i < 0)
        return QV_INSTANCE_E_BAD_HANDLE;
    // Percentages outside 0..100 are held to the ends of the scale (taken
    // modulo 16 bits, 101 % would be almost silent).
    const LONG nClamped = nPercent < 0 ? 0 : nPercent > 100 ? 100 : nPercent;
    return Result(QV_PLAY_SetVolume(i, WORD(nClamped * 65535 / 100)));
}

QV_EXTERN_C LONG QV_CALL GetAudioVolume(QV_INSTANCE hInstance, LONG *pnVolume) {
    const LONG i = SlotIndex(hInstance);
    if (i < 0)
        return QV_INSTANCE_E_BAD_HANDLE;
    if (pnVolume == nullptr)
        return QV_INSTANCE_E_FAIL;
    // On the percent scale SetAudioVolume takes, rounded to the nearest.
    *pnVolume = LONG((uint32_t(QV_PLAY_GetVolume(i)) * 100 + 32767) / 65535);
    return QV_INSTANCE_OK;
}

QV_EXTERN_C LONG QV_CALL RefreshImage(QV_INSTANCE hInstance) {
    return SlotIndex(hInstance) < 0 ? QV_INSTANCE_E_BAD_HANDLE : QV_INSTANCE_OK;
}

QV_EXTERN_C LONG QV_CALL CaptureBmpFile(QV_INSTANCE hInstance, const char *szFileName) {
    const LONG i = SlotIndex(hInstance);
    if (i < 0)
        return QV_INSTANCE_E_BAD_HANDLE;
    return Result(QV_PLAY_SnapShot(i, szFileName));
}

QV_EXTERN_C LONG QV_CALL GetFrameRate(QV_INSTANCE hInstance, LONG *pnFrameRate) {
    const LONG i = SlotIndex(hInstance);
    if (i < 0)
        return QV_INSTANCE_E_BAD_HANDLE;
    if (pnFrameRate == nullptr)
        return QV_INSTANCE_E_FAIL;
    *pnFrameRate = LONG(QV_PLAY_GetCurrFrameRate(i));
    return QV_INSTANCE_OK;
}

QV_EXTERN_C LONG QV_CALL GetBitRate(QV_INSTANCE hInstance, LONG *pnKbps) {
    const LONG i = SlotIndex(hInstance);
    if (i < 0)
        return QV_INSTANCE_E_BAD_HANDLE;
    if (pnKbps == nullptr)
        return QV_INSTANCE_E_FAIL;
    const double dKbps = QV_PLAY_GetDynamicBPS(i);
    if (!(dKbps >= 1.0) || dKbps > 2147483647.0)
        return QV_INSTANCE_E_FAIL;
    *pnKbps = LONG(dKbps);
    return QV_INSTANCE_OK;
}

QV_EXTERN_C LONG QV_CALL GetTotalFrames(QV_INSTANCE hInstance, LONG *pnFrames) {
    const LONG i = SlotIndex(hInstance);
    if (i < 0)
        return QV_INSTANCE_E_BAD_HANDLE;
    if (pnFrames == nullptr)
        return QV_INSTANCE_E_FAIL;
    *pnFrames = LONG(QV_PLAY_GetPlayedFrames(i));
    return QV_INSTANCE_OK;
}

QV_EXTERN_C LONG QV_CALL SetDecCBStream(QV_INSTANCE hInstance, LONG nSelection) {
    const LONG i = SlotIndex(hInstance);
    if (i < 0)
        return QV_INSTANCE_E_BAD_HANDLE;
    g_slots[i].nSelection.store(nSelection);
    return QV_INSTANCE_OK;
}

QV_EXTERN_C LONG QV_CALL SetDecCallBack(QV_INSTANCE hInstance, QV_INSTANCE_DECODE_CALLBACK pfn, void *pUser) {
    const LONG i = SlotIndex(hInstance);
    if (i < 0)
        return QV_INSTANCE_E_BAD_HANDLE;
    g_pfnDecode.store(pfn);
    // Pixel format 1 is none the player knows: the decoder's own layout.
    return Result(QV_PLAY_SetDecCallBackEx(i, InstanceDecodeAdapter, pUser, nullptr, 1));
}

QV_EXTERN_C LONG QV_CALL GetDecoderError(void) {
    return g_nLastError.load();
}

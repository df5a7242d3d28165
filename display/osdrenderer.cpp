// The renderer object and its checked entry points.
#include "display/osdrenderer.h"

#include <new>

#include "platform/timers.h"

int32_t COsdObject::Initialize(const OSD_SETTING &setting) {
    int32_t nResult = m_string.Initialize(setting);
    if (nResult < 0)
        return nResult;
    m_mosaic.Initialize(setting);
    return m_bitmap.Initialize(setting);
}

int32_t COsdObject::Draw(const DISPLAY_PICTURE &picture, const OsdItem *pItems, uint32_t dwCount) {
    const int64_t llStart = platform::QueryCounter();
    const COsdPlanes planes(picture);
    // Masks first, so that bitmaps and texts stay readable over them.
    for (uint32_t i = 0; i < dwCount; ++i) {
        if (pItems[i].dwKind == DEMUX_OSD_MOSAIC)
            m_mosaic.Draw(planes, pItems[i]);
    }
    size_t nBitmap = 0;
    for (uint32_t i = 0; i < dwCount; ++i) {
        if (pItems[i].dwKind != DEMUX_OSD_BITMAP)
            continue;
        const int32_t nResult = m_bitmap.Draw(planes, pItems[i], nBitmap++);
        if (nResult < 0)
            return nResult;
    }
    size_t nText = 0;
    for (uint32_t i = 0; i < dwCount; ++i) {
        if (pItems[i].dwKind != DEMUX_OSD_TEXT)
            continue;
        const int32_t nResult = m_string.Draw(planes, pItems[i], nText++);
        if (nResult < 0)
            return nResult;
    }
    const int64_t llTicks = platform::QueryCounter() - llStart;
    const int64_t llFrequency = platform::QueryCounterFrequency();
    m_status.dwItemCount += dwCount;
    if (llFrequency > 0)
        m_status.llDrawTime +=
            llTicks / llFrequency * 1000000 + llTicks % llFrequency * 1000000 / llFrequency;
    return OSD_OK;
}

void COsdObject::GetStatus(OSD_STATUS *pStatus) const {
    *pStatus = m_status;
    pStatus->dwSize = OSD_STATUS_SIZE;
}

int32_t CreateOsd(const OSD_SETTING *pSetting, COsdObject **ppOsd) {
    if (ppOsd == nullptr || pSetting == nullptr)
        return OSD_E_NULL_POINTER;
    if (pSetting->dwSize != OSD_SETTING_SIZE)
        return OSD_E_BAD_SIZE;
    COsdObject *pOsd = new (std::nothrow) COsdObject;
    if (pOsd == nullptr)
        return OSD_E_OUT_OF_MEMORY;
    int32_t nResult;
    try {
        nResult = pOsd->Initialize(*pSetting);
    } catch (const std::bad_alloc &) {
        nResult = OSD_E_OUT_OF_MEMORY;
    }
    if (nResult < 0) {
        delete pOsd;
        return nResult;
    }
    *ppOsd = pOsd;
    return OSD_OK;
}

void DestroyOsd(COsdObject *pOsd) {
    delete pOsd;
}

int32_t DrawOsd(COsdObject *pOsd, const DISPLAY_PICTURE *pPicture, const OsdItem *pItems, uint32_t dwCount) {
    if (pOsd == nullptr)
        return OSD_E_INVALID_OBJECT;
    if (pItems == nullptr)
        return OSD_E_NULL_POINTER;
    if (dwCount == 0)
        return OSD_E_INVALID_VALUE;
    if (pPicture == nullptr)
        return OSD_E_NULL_POINTER;
    if (pPicture->dwSize != DISPLAY_PICTURE_SIZE)
        return OSD_E_BAD_SIZE;
    uint32_t dwBits = 0;
    if (!COsdPlanes::BitsPerPixel(pPicture->dwFourCC, &dwBits))
        return OSD_E_BAD_PIXEL_FORMAT;
    if (pPicture->nWidth <= 0 || pPicture->nHeight <= 0)
        return OSD_E_BAD_PICTURE_SIZE;
    if (pPicture->pData == nullptr)
        return OSD_E_NULL_POINTER;
    const uint64_t qwNeeded = uint64_t(pPicture->nWidth) * uint64_t(pPicture->nHeight) * dwBits / 8;
    if (pPicture->dwDataSize < qwNeeded)
        return OSD_E_BUFFER_TOO_SMALL;
    try {
        return pOsd->Draw(*pPicture, pItems, dwCount);
    } catch (const std::bad_alloc &) {
        return OSD_E_OUT_OF_MEMORY;
    }
}

int32_t GetOsdStatus(COsdObject *pOsd, OSD_STATUS *pStatus) {
    if (pOsd == nullptr)
        return OSD_E_INVALID_OBJECT;
    if (pStatus == nullptr)
        return OSD_E_NULL_POINTER;
    if (pStatus->dwSize != OSD_STATUS_SIZE)
        return OSD_E_BAD_SIZE;
    pOsd->GetStatus(pStatus);
    return OSD_OK;
}

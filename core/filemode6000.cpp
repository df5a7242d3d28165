// File player of the 6000 generation.
#include "core/filemode6000.h"

#include <new>

#include "demux/basestream.h"
#include "demux/demux.h"
#include "demux/stream6000.h"
#include "platform/memory.h"

CFileMode6000::CFileMode6000() = default;

CFileMode6000::~CFileMode6000() {
    CFileModeForward::Close();
}

int32_t CFileMode6000::Open(const PLAY_CREATE_PARAM *pParam) {
    const int32_t nOpened = OpenFile(pParam);
    if (nOpened < 0)
        return nOpened;
    int32_t nResult = InitAttributes();
    if (nResult < 0)
        return nResult;
    if (m_attr.demuxProperty.dwGeneration != DEMUX_GENERATION_6000)
        return PLAY_E_NOT_SUPPORTED;
    InitStreamParam(pParam);

    // The whole file at once. The size is compared in 64 bits: a file the
    // parser cannot hold is refused rather than cut to its low 32 bits.
    const uint64_t ullSize = m_attr.ullFileSize;
    if (ullSize > kStream6000MaxFileLength)
        return PLAY_E_OUT_OF_MEMORY;
    const uint32_t dwSize = static_cast<uint32_t>(ullSize);
    if (dwSize > m_dwReadBufferSize) {
        platform::PageFree(m_pReadBuffer, m_dwReadBufferSize);
        m_dwReadBufferSize = 0;
        m_pReadBuffer = static_cast<uint8_t *>(platform::PageAlloc(dwSize));
        if (m_pReadBuffer == nullptr)
            return PLAY_E_OUT_OF_MEMORY;
        m_dwReadBufferSize = dwSize;
    }
    if (!m_file.Seek(0))
        return PLAY_E_FAIL;
    uint32_t dwHave = 0;
    while (dwHave < dwSize) {
        const int64_t llPart = m_file.Read(m_pReadBuffer + dwHave, dwSize - dwHave);
        if (llPart <= 0)
            return PLAY_E_FAIL;
        dwHave += static_cast<uint32_t>(llPart);
    }
    nResult = IndexBlock(m_pStream, m_pReadBuffer, dwSize);
    if (nResult < 0)
        return nResult;
    IndexCompleted();
    // The parser keeps its own copy of every frame.
    platform::PageFree(m_pReadBuffer, m_dwReadBufferSize);
    m_pReadBuffer = nullptr;
    m_dwReadBufferSize = 0;
    return CBasePlayMode::Open(pParam);
}

int32_t CFileMode6000::InitAttributes() {
    const int32_t nResult = CBasePlayMode::InitAttributes();
    const int64_t llSize = m_file.Size();
    platform::CLockGuard guard(m_lock);
    m_attr.dwMode = PLAY_MODE_FILE;
    m_attr.ullFileSize = llSize > 0 ? static_cast<uint64_t>(llSize) : 0;
    m_attr.fVideoFrameRate = kFile6000FrameRate;
    return nResult;
}

int32_t CFileMode6000::ReadNextFrame(PLAY_FRAME *pFrame) {
    platform::CLockGuard guard(m_lock);
    if (m_pStream == nullptr)
        return PLAY_E_FAIL;
    bool bResync = !IsValidPosition(m_lastVideoFrame);
    if (bResync)
        m_pStream->Seek(0);
    uint32_t dwCount = 0;
    if (Demux_GetFrameCount(m_pStream, &dwCount) < 0 || dwCount == 0) {
        // The cursor is past the last frame: nothing more will come.
        if (!bResync || IndexCount() == 0)
            CheckFileEnd(nullptr);
        return PLAY_E_FAIL;
    }
    for (uint32_t i = 0; i < dwCount; ++i) {
        FrameRecord *pRecord = nullptr;
        const int32_t nResult = Demux_GetFrame(m_pStream, &pRecord);
        if (nResult < 0)
            return nResult;
        const int32_t nType = pRecord->nType;
        if (!bResync) {
            if (nType == DEMUX_FRAME_AUDIO) {
                m_attr.ullPlayDataSize += FrameBytes(pRecord);
                pFrame->pFrame = pRecord;
                return PLAY_OK;
            }
            if (IsVideoType(nType)) {
                const FramePosition pos = PositionOf(pRecord);
                const bool bFollows = IsValidPosition(m_lastVideoFrame) && IsValidPosition(pos) &&
                                      pos.dwSequence == m_lastVideoFrame.dwSequence + 1;
                if (!(EnableFlags() & PLAY_ENABLE_RESET_ON_GAP) || bFollows) {
                    m_attr.ullPlayDataSize = pRecord->ullFileOffset;
                    pFrame->pFrame = pRecord;
                    return PLAY_OK;
                }
                m_lastVideoFrame = FramePosition{};
                m_window = StatisticsWindow{};
                bResync = true;
                Demux_FreeFrame(m_pStream, pRecord);
                continue;
            }
        } else if (nType == DEMUX_FRAME_I) {
            m_attr.ullPlayDataSize = pRecord->ullFileOffset;
            pFrame->pFrame = pRecord;
            return PLAY_OK;
        }
        Demux_FreeFrame(m_pStream, pRecord);
    }
    return PLAY_E_FAIL;
}

int32_t CFileMode6000::ReadKeyFrameAt(PLAY_FRAME *pFrame, uint64_t ullOffset) {
    platform::CLockGuard guard(m_lock);
    if (ullOffset >= m_attr.ullFileSize)
        return PLAY_E_INVALID_VALUE;
    if (m_pStream == nullptr || m_pStream->Seek(ullOffset) < 0)
        return PLAY_E_FAIL;
    uint32_t dwCount = 0;
    if (Demux_GetFrameCount(m_pStream, &dwCount) < 0)
        return PLAY_E_FAIL;
    for (uint32_t i = 0; i < dwCount; ++i) {
        FrameRecord *pRecord = nullptr;
        if (Demux_GetFrame(m_pStream, &pRecord) < 0)
            break;
        if (pRecord->nType == DEMUX_FRAME_I) {
            m_attr.ullPlayDataSize = pRecord->ullFileOffset;
            pFrame->pFrame = pRecord;
            return PLAY_OK;
        }
        Demux_FreeFrame(m_pStream, pRecord);
    }
    return PLAY_E_FAIL;
}

int32_t CFileMode6000::LoadGroup(uint64_t ullStart, uint64_t ullEnd) {
    platform::CLockGuard guard(m_lock);
    if (ullStart >= m_attr.ullFileSize)
        return PLAY_E_FAIL;
    if (m_pStream == nullptr || m_pStream->Seek(ullStart) < 0)
        return PLAY_E_FAIL;
    uint32_t dwCount = 0;
    if (Demux_GetFrameCount(m_pStream, &dwCount) < 0)
        return PLAY_E_FAIL;
    CGroupLoader loader;
    for (uint32_t i = 0; i < dwCount; ++i) {
        FrameRecord *pRecord = nullptr;
        if (Demux_GetFrame(m_pStream, &pRecord) < 0)
            break;
        if (loader.Take(this, pRecord))
            break;
    }
    if (ullEnd != kFileNoOffset && ullEnd < m_attr.ullFileSize)
        m_pStream->Seek(ullEnd);
    return PLAY_OK;
}

bool CFileMode6000::MoreToRead() {
    platform::CLockGuard guard(m_lock);
    uint32_t dwCount = 0;
    return m_pStream != nullptr && Demux_GetFrameCount(m_pStream, &dwCount) >= 0 && dwCount > 0;
}

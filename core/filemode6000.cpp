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

int32_t CFileMode6000::PositionReader(uint64_t ullOffset) {
    platform::CLockGuard guard(m_lock);
    if (m_pStream == nullptr || m_pStream->Seek(ullOffset) < 0)
        return PLAY_E_FAIL;
    return PLAY_OK;
}

int32_t CFileMode6000::NextParsedFrame(FrameRecord **ppRecord) {
    platform::CLockGuard guard(m_lock);
    if (m_pStream == nullptr)
        return PLAY_E_FAIL;
    uint32_t dwCount = 0;
    FrameRecord *pRecord = nullptr;
    // The cursor past the last frame: nothing more will come.
    if (Demux_GetFrameCount(m_pStream, &dwCount) < 0 || dwCount == 0 ||
        Demux_GetFrame(m_pStream, &pRecord) < 0 || pRecord == nullptr)
        return PLAY_E_NO_FRAME;
    *ppRecord = pRecord;
    return PLAY_OK;
}

void CFileMode6000::AccountRead(const FrameRecord *pRecord) {
    // The parser holds the whole file: a frame's offset is how far play got.
    if (pRecord->nType == DEMUX_FRAME_AUDIO)
        m_attr.ullPlayDataSize += FrameBytes(pRecord);
    else
        m_attr.ullPlayDataSize = pRecord->ullFileOffset;
}

bool CFileMode6000::MoreToRead() {
    if (DecoderHoldsFrames())
        return true;
    platform::CLockGuard guard(m_lock);
    uint32_t dwCount = 0;
    return !m_pending.empty() ||
           (m_pStream != nullptr && Demux_GetFrameCount(m_pStream, &dwCount) >= 0 && dwCount > 0);
}

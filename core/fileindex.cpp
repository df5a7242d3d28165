// The key-frame index of a recording file and its thread.
#include "core/fileindex.h"

#include <algorithm>
#include <utility>

#include "demux/basestream.h"
#include "demux/demux.h"
#include "platform/file.h"
#include "platform/memory.h"

CFileIndex::CFileIndex(Hooks hooks) : m_hooks(std::move(hooks)) {}

CFileIndex::~CFileIndex() {
    Stop();
}

bool CFileIndex::Start(const QV_WCHAR *pPath) {
    size_t nLength = 0;
    while (pPath[nLength] != 0)
        ++nLength;
    m_path.assign(pPath, pPath + nLength + 1);
    m_nQuit.store(0);
    m_bDone.store(false);
    if (!m_thread.Start(ThreadMain, this))
        return false;
    // Indexing must not disturb playback.
    m_thread.SetPriority(platform::kPriorityLowest);
    return true;
}

void CFileIndex::Stop() {
    if (m_thread.Started()) {
        m_nQuit.store(1);
        m_thread.Join(platform::kInfinite);
    }
}

void CFileIndex::Clear() {
    Stop();
    platform::CLockGuard guard(m_lock);
    m_entries.clear();
    m_lastVideo = FramePosition{};
}

uint32_t CFileIndex::ThreadMain(void *pContext) {
    auto *pIndex = static_cast<CFileIndex *>(pContext);
    pIndex->ThreadRun();
    pIndex->m_bDone.store(true);
    return 0;
}

void CFileIndex::ThreadRun() {
    // Its own file handle, buffer and parser: the play thread's reading
    // position is never touched.
    platform::CFile file;
    if (!file.Open(m_path.data(), platform::kFileRead | platform::kFileSequential))
        return;
    uint8_t *pBuffer = static_cast<uint8_t *>(platform::PageAlloc(kFileReadBlock));
    if (pBuffer == nullptr)
        return;
    CBaseStream *pParser = nullptr;
    const int64_t llFirst = file.Read(pBuffer, kFileReadBlock);
    const int64_t llSize = file.Size();
    if (llFirst > 0 && llSize >= 0) {
        const DemuxInput input = DemuxInputOf(pBuffer, static_cast<uint32_t>(llFirst));
        if (Demux_Create(&pParser, &input) < 0)
            pParser = nullptr;
    }
    // The index needs positions only, not the on-screen display.
    if (pParser != nullptr)
        pParser->SetOsdEnabled(false);
    StreamInfo info{};
    info.dwSize = DEMUX_STREAM_INFO_SIZE;
    if (pParser != nullptr && Demux_GetInfo(pParser, &info) >= 0 && file.Seek(0)) {
        uint64_t ullRemaining = static_cast<uint64_t>(llSize);
        while (m_nQuit.load() == 0 && ullRemaining > 0) {
            const uint32_t dwWant =
                ullRemaining < kFileReadBlock ? static_cast<uint32_t>(ullRemaining) : kFileReadBlock;
            const int64_t llRead = file.Read(pBuffer, dwWant);
            if (llRead <= 0)
                break;
            if (IndexBlock(pParser, pBuffer, static_cast<uint32_t>(llRead)) < 0)
                break;
            ullRemaining -= static_cast<uint64_t>(llRead);
        }
        // Whatever was indexed stays usable, also after a stop or a failure.
        Complete();
    }
    Demux_Destroy(pParser);
    platform::PageFree(pBuffer, kFileReadBlock);
}

// Takes the frames of one block as the parser finds them: the index needs
// only their positions, so none is copied or queued.
class CFileIndex::CSink final : public CBaseStream::CFrameSink {
public:
    explicit CSink(CFileIndex *pIndex) : m_pIndex(pIndex) {}
    void OnFrame(const FrameRecord *pFrame) override { m_pIndex->IndexFrame(pFrame, this); }

    FramePosition m_lastVideo{};
    bool m_bVideo = false;

private:
    CFileIndex *m_pIndex;
};

void CFileIndex::IndexFrame(const FrameRecord *pRecord, CSink *pSink) {
    const FramePosition pos = CBasePlayMode::PositionOf(pRecord);
    if (pRecord->nType == DEMUX_FRAME_I) {
        FramePosition entry = pos;
        bool bFirst = false;
        {
            platform::CLockGuard guard(m_lock);
            if (m_entries.empty()) {
                bFirst = true;
            } else {
                // Seeks need strictly increasing values: a recorder clock
                // set back or a counter that wrapped must not reorder them.
                const FramePosition &last = m_entries.back();
                if (entry.dwSequence <= last.dwSequence)
                    entry.dwSequence = last.dwSequence + 1;
                if (entry.dwTimestamp <= last.dwTimestamp)
                    entry.dwTimestamp = last.dwTimestamp + 1;
            }
            m_entries.push_back(entry);
        }
        // The player takes its own lock for it: outside the leaf lock.
        if (bFirst && m_hooks.onFirstKeyFrame)
            m_hooks.onFirstKeyFrame(pos);
    }
    if (CBasePlayMode::IsVideoType(pRecord->nType)) {
        pSink->m_lastVideo = pos;
        pSink->m_bVideo = true;
    }
}

int32_t CFileIndex::IndexBlock(CBaseStream *pParser, const uint8_t *pData, uint32_t dwLength) {
    if (pParser == nullptr)
        return DEMUX_E_INVALID_OBJECT;
    CSink sink(this);
    // Frames go straight to the index while this block is parsed; a parser
    // that keeps its frames (6000) queues them, and they are taken below.
    const bool bSink = pParser->SetFrameSink(&sink);
    const DemuxInput input = DemuxInputOf(pData, dwLength);
    int32_t nResult = Demux_InputData(pParser, &input);
    if (bSink)
        pParser->SetFrameSink(nullptr);
    if (nResult < 0)
        return nResult;
    uint32_t dwQueued = 0;
    nResult = Demux_GetFrameCount(pParser, &dwQueued);
    if (nResult < 0)
        return nResult;
    for (uint32_t i = 0; i < dwQueued; ++i) {
        FrameRecord *pRecord = nullptr;
        if (Demux_GetFrame(pParser, &pRecord) < 0 || pRecord == nullptr)
            break;
        IndexFrame(pRecord, &sink);
        nResult = Demux_FreeFrame(pParser, pRecord);
        if (nResult < 0)
            break;
    }
    // Once per block: nothing reads it before the index is complete.
    if (sink.m_bVideo) {
        platform::CLockGuard guard(m_lock);
        m_lastVideo = sink.m_lastVideo;
    }
    return nResult < 0 ? nResult : PLAY_OK;
}

void CFileIndex::Complete() {
    // The player sets its attributes and calls its client: no lock held.
    if (m_hooks.onCompleted)
        m_hooks.onCompleted();
}

std::vector<FramePosition> CFileIndex::Entries() {
    platform::CLockGuard guard(m_lock);
    return m_entries;
}

uint32_t CFileIndex::Count() {
    platform::CLockGuard guard(m_lock);
    return static_cast<uint32_t>(m_entries.size());
}

FramePosition CFileIndex::LastVideo() {
    platform::CLockGuard guard(m_lock);
    return m_lastVideo;
}

bool CFileIndex::TimestampOf(uint32_t dwSequence, uint32_t *pdwTimestamp) {
    platform::CLockGuard guard(m_lock);
    // The entries are in increasing sequence order.
    const auto it =
        std::lower_bound(m_entries.begin(), m_entries.end(), dwSequence,
                         [](const FramePosition &e, uint32_t dwValue) { return e.dwSequence < dwValue; });
    if (it == m_entries.end() || it->dwSequence != dwSequence)
        return false;
    *pdwTimestamp = it->dwTimestamp;
    return true;
}

int32_t CFileIndex::FindTarget(const FramePosition &first, bool bByTime, uint32_t dwValue,
                               FramePosition *pTarget, FramePosition *pNext, bool *pbHasNext) {
    platform::CLockGuard guard(m_lock);
    if (m_entries.empty())
        return PLAY_E_NOT_FOUND;
    size_t nTarget = 0;
    for (size_t i = 0; i < m_entries.size(); ++i) {
        const FramePosition &e = m_entries[i];
        const int64_t llRelative = bByTime ? static_cast<int64_t>(e.dwTimestamp) - first.dwTimestamp
                                           : static_cast<int64_t>(e.dwSequence) - first.dwSequence;
        if (llRelative <= static_cast<int64_t>(dwValue))
            nTarget = i;
        else
            break;
    }
    *pTarget = m_entries[nTarget];
    *pbHasNext = nTarget + 1 < m_entries.size();
    if (*pbHasNext)
        *pNext = m_entries[nTarget + 1];
    return PLAY_OK;
}

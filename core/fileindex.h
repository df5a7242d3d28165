// The key-frame index of a recording file: a thread of its own reads the
// file once more through its own handle and parser and lists every key
// frame, while seeks and backward play walk the list.
#pragma once

#include <atomic>
#include <functional>
#include <vector>

#include "core/baseplaymode.h"
#include "platform/sync.h"
#include "platform/thread.h"

class CBaseStream;

// Blocks of the readers (play thread, index thread, key-frame searches).
constexpr uint32_t kFileReadBlock = 0x40000;

class CFileIndex {
public:
    // What the player learns from the index: the first key frame found, and
    // the end of indexing. Both run on the indexing thread with no index
    // lock held.
    struct Hooks {
        std::function<void(const FramePosition &)> onFirstKeyFrame;
        std::function<void()> onCompleted;
    };

    explicit CFileIndex(Hooks hooks);
    ~CFileIndex();
    CFileIndex(const CFileIndex &) = delete;
    CFileIndex &operator=(const CFileIndex &) = delete;

    // Starts indexing the file at pPath (copied) at the lowest priority.
    bool Start(const QV_WCHAR *pPath);
    // Asks the thread to quit and waits for it; the entries stay.
    void Stop();
    // Stop, and forgets every entry.
    void Clear();
    bool Running() const { return m_thread.Started() && !m_bDone.load(); }

    // Indexes the frames of one block parsed by pParser (any parser: the
    // index thread's own, or a player's that parses its file in one go).
    int32_t IndexBlock(CBaseStream *pParser, const uint8_t *pData, uint32_t dwLength);
    // Runs the completion hook: what was indexed is final.
    void Complete();

    std::vector<FramePosition> Entries();
    uint32_t Count();
    // The last video frame indexed (invalid when none).
    FramePosition LastVideo();
    // The time stamp of the entry of sequence number dwSequence.
    bool TimestampOf(uint32_t dwSequence, uint32_t *pdwTimestamp);
    // The last entry whose value from first (time stamp or sequence number)
    // is at most dwValue, the first entry when the value precedes them all;
    // the entry after it when there is one.
    int32_t FindTarget(const FramePosition &first, bool bByTime, uint32_t dwValue, FramePosition *pTarget,
                       FramePosition *pNext, bool *pbHasNext);

    // The list and its lock for walks of it: appended by the index thread
    // while seeks walk it, so every access takes the lock (a leaf lock:
    // nothing else is taken inside it).
    platform::CLock &Lock() { return m_lock; }
    std::vector<FramePosition> &EntriesLocked() { return m_entries; }

private:
    class CSink;
    // One frame of the index builder: a key frame becomes an entry; video
    // frames are remembered in the sink as the last one indexed.
    void IndexFrame(const FrameRecord *pRecord, CSink *pSink);

    static uint32_t ThreadMain(void *pContext);
    void ThreadRun();

    const Hooks m_hooks;
    platform::CThread m_thread;
    std::atomic<int32_t> m_nQuit{0};
    std::atomic<bool> m_bDone{false};
    std::vector<QV_WCHAR> m_path; // zero-terminated copy

    platform::CLock m_lock;
    std::vector<FramePosition> m_entries; // under m_lock
    FramePosition m_lastVideo{};          // under m_lock
};

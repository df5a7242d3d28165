// The port table of the QV_PLAY_ family: port numbers 0 to 65535, each
// mapped to one entry that owns a core player and what the family keeps for
// it (message targets, client callbacks, the frame a pulled decode holds).
//
// The table has one lock, held only to insert, find or remove an entry.
// A found entry is used after the lock is left; the reference that Find
// hands out keeps it alive, and removal waits until every such reference is
// gone before the player is released, so a port closed while another thread
// still calls it is never used after it was freed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>

#include "qvplay.h"
#include "qvplayport.h"

namespace api {

class CPortEntry;

// A counted reference to an entry; empty when nothing was found.
class CPortRef {
public:
    CPortRef() = default;
    explicit CPortRef(CPortEntry *pEntry) : m_pEntry(pEntry) {}
    ~CPortRef() { Reset(); }
    CPortRef(CPortRef &&other) noexcept : m_pEntry(other.m_pEntry) { other.m_pEntry = nullptr; }
    CPortRef &operator=(CPortRef &&other) noexcept;
    CPortRef(const CPortRef &) = delete;
    CPortRef &operator=(const CPortRef &) = delete;

    explicit operator bool() const { return m_pEntry != nullptr; }
    CPortEntry *operator->() const { return m_pEntry; }
    CPortEntry *Get() const { return m_pEntry; }
    void Reset();

private:
    CPortEntry *m_pEntry = nullptr;
};

// A client function with the value it is called with.
template <class F> struct ClientCallback {
    F pfn = nullptr;
    void *pUser = nullptr;
};

class CPortEntry {
public:
    CPortEntry();
    // Frees the frames still held, releases the player and lowers the count
    // of live entries.
    ~CPortEntry();
    CPortEntry(const CPortEntry &) = delete;
    CPortEntry &operator=(const CPortEntry &) = delete;

    LONG Port() const { return m_nPort; }
    PLAY_HANDLE Player() const { return m_hPlayer.load(std::memory_order_acquire); }
    void SetPlayer(PLAY_HANDLE hPlayer, bool bStream);
    bool IsStream() const { return m_bStream.load(std::memory_order_acquire); }

    // ---- Targets and client functions (read by the adapters on the
    // player's threads, written by the registering thread) ----
    void SetFileEndTarget(HWND hWnd, UINT nMsg);
    void GetFileEndTarget(HWND *phWnd, UINT *pnMsg);
    void SetIndexWindow(HWND hWnd);
    HWND IndexWindow();
    void SetIndexCallback(QV_PLAY_INDEX_CALLBACK pfn, void *pUser);
    ClientCallback<QV_PLAY_INDEX_CALLBACK> IndexCallback();
    void SetDrawCallback(QV_PLAY_DRAW_CALLBACK pfn, void *pUser);
    ClientCallback<QV_PLAY_DRAW_CALLBACK> DrawCallback();
    void SetDecodeCallback(QV_PLAY_DECODE_CALLBACK pfn, void *pUser, void *pReserved);
    ClientCallback<QV_PLAY_DECODE_CALLBACK> DecodeCallback();
    void SetParseCallback(QV_PLAY_PARSE_CALLBACK pfn, void *pUser);
    ClientCallback<QV_PLAY_PARSE_CALLBACK> ParseCallback();
    void SetSourceCallback(QV_PLAY_SOURCE_BUFFER_CALLBACK pfn, void *pUser);
    ClientCallback<QV_PLAY_SOURCE_BUFFER_CALLBACK> SourceCallback();

    // ---- Pulled decoding ----
    // Whether the player was switched to decoding on demand.
    bool PullModeSet() const { return m_bPullMode.load(std::memory_order_acquire); }
    void MarkPullMode() { m_bPullMode.store(true, std::memory_order_release); }
    // The frame taken but not yet delivered (too small a buffer); null when
    // none. The caller owns what it takes.
    PLAY_FRAME *TakeHeldFrame();
    // Keeps a frame for the next call (before any other held frame).
    void HoldFrame(PLAY_FRAME *pFrame);
    uint32_t HeldFrameCount();

private:
    friend class CPortTable;
    friend class CPortRef;
    void AddRef();
    void Release();
    // Returns once no reference is left.
    void WaitUnused();

    std::atomic<PLAY_HANDLE> m_hPlayer{nullptr};
    std::atomic<bool> m_bStream{false};
    LONG m_nPort = -1; // set when inserted, before anyone else can see the entry

    std::mutex m_lock; // targets, client functions and held frames; never held across a core call
    HWND m_hEndWnd = 0;
    UINT m_nEndMsg = 0;
    HWND m_hIndexWnd = 0;
    UINT m_nIndexMsg = 0;
    ClientCallback<QV_PLAY_INDEX_CALLBACK> m_index;
    ClientCallback<QV_PLAY_DRAW_CALLBACK> m_draw;
    ClientCallback<QV_PLAY_DECODE_CALLBACK> m_decode;
    void *m_pDecodeReserved = nullptr;
    ClientCallback<QV_PLAY_PARSE_CALLBACK> m_parse;
    ClientCallback<QV_PLAY_SOURCE_BUFFER_CALLBACK> m_source;
    std::atomic<bool> m_bPullMode{false};
    std::deque<PLAY_FRAME *> m_held;

    std::mutex m_refLock;
    std::condition_variable m_refGone;
    uint32_t m_dwRefs = 0;
};

class CPortTable {
public:
    // The process's table. Made on first use and never destroyed, so that a
    // call arriving while the process unloads still finds a valid lock.
    static CPortTable &Instance();

    // A new entry at nPort, referenced; empty when the port is outside
    // 0..65535 or already in use.
    CPortRef Insert(LONG nPort);
    // A new entry at the lowest free port from QV_PLAY_FIRST_AUTO_PORT up;
    // empty when every one is in use.
    CPortRef InsertAuto();
    // The entry at nPort, referenced; empty when the port is not open.
    CPortRef Find(LONG nPort);
    // Takes the entry out of the table, waits until no call uses it any
    // more, then destroys it. False when the port is not open.
    bool Remove(LONG nPort);
    // The same for the entry the reference holds, if it is still the one at
    // its port (an open that failed); the reference is given up.
    void Remove(CPortRef &&ref);

    // Entries alive in the process, in the table or being destroyed.
    static uint32_t LiveEntryCount();

private:
    CPortTable() = default;
    CPortRef InsertLocked(LONG nPort);
    static void Destroy(CPortEntry *pEntry);

    std::mutex m_lock;
    // Port number -> entry; sorted, so that the free-port search walks the
    // taken ports from QV_PLAY_FIRST_AUTO_PORT up.
    std::map<LONG, CPortEntry *> m_entries;
};

} // namespace api

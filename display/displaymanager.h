// The display of one player: a display thread that paces the pictures it is
// given by their durations, a queue of at most four pictures, up to three
// back ends tried in a fixed order, snapshots and status.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "display/basedisplay.h"
#include "display/windowsystem.h"
#include "display/yuv2rgb.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "platform/timers.h"
#include "qvdisplay.h"

// One queued picture (a 96-byte block of the manager's entry pool).
struct DisplayEntry {
    DISPLAY_PICTURE picture;     // duration clamped to DISPLAY_MAX_DURATION
    DISPLAY_PICTURE_HOOKS hooks; // or zeros
    int64_t llShownTime;         // microseconds, when made current
    int64_t llExpiryTime;        // microseconds, when its display time ends
    uint32_t dwState;            // DISPLAY_ENTRY_...
    uint32_t dwSequence;         // previous tail's + 1, or 0 in an empty queue
};
// The block size is the 32-bit layout's; wider pointers need wider blocks.
constexpr size_t kDisplayEntryBlock = sizeof(DisplayEntry) <= DISPLAY_ENTRY_BLOCK_SIZE
                                          ? DISPLAY_ENTRY_BLOCK_SIZE
                                          : (sizeof(DisplayEntry) + 15) & ~size_t(15);
static_assert(sizeof(void *) != 4 || sizeof(DisplayEntry) == DISPLAY_ENTRY_BLOCK_SIZE,
              "an entry fills its pool block");

// Creates the back end of a slot (1 to 3) on the display thread; null when
// the slot has none on this system. Tests install their own.
using DisplayBackendFactory = CBaseDisplay *(*)(int nSlot, CDisplayManager *pOwner, uint32_t dwFlags);

// Waits of the manager in milliseconds; tests shorten them.
struct DisplayTimeouts {
    uint32_t dwHandshakeMs = DISPLAY_THREAD_TIMEOUT; // start and stop replies, thread end
    uint32_t dwWatchdogMs = DISPLAY_THREAD_TIMEOUT;  // display thread without timer or message
};

class CDisplayManager {
public:
    CDisplayManager();
    ~CDisplayManager(); // stops
    CDisplayManager(const CDisplayManager &) = delete;
    CDisplayManager &operator=(const CDisplayManager &) = delete;

    int32_t Start(uint32_t dwFlags);
    // Stops the thread and the back ends and releases every queued picture.
    // When the display thread does not end in time (stuck in a back end),
    // the manager is orphaned: its thread frees it when it comes back.
    void Stop();
    bool Orphaned() const;
    // Counts this manager among those that keep the timer resolution raised.
    void HoldTimerResolution();

    int32_t AddViewport(const PLAY_VIEWPORT *pViewport);
    int32_t RemoveViewport(uint32_t dwID);
    int32_t GetViewports(PLAY_VIEWPORT *pViewports, uint32_t *pdwCount);
    int32_t SubmitPicture(const DISPLAY_PICTURE *pPicture, const DISPLAY_PICTURE_HOOKS *pHooks);
    int32_t DiscardPending();
    int32_t SnapPicture(PLAY_SNAPSHOT *pSnapshot);
    int32_t GetStatus(DISPLAY_STATUS *pStatus);

    // Paint hook side: under the manager's lock, posts DM_REPAINT_WINDOW when
    // hWnd is one of the viewport windows.
    void RepaintIfMine(HWND hWnd);

    // Microseconds since the manager was created (the pacing clock).
    int64_t Now() const;

    // Managers alive in the process (an orphaned one until its thread ends).
    static uint32_t LiveCount();

    static void SetBackendFactory(DisplayBackendFactory pfnFactory); // null: the system's back ends
    static void SetTimeouts(const DisplayTimeouts &timeouts);
    static DisplayTimeouts Timeouts();

private:
    static uint32_t ThreadMain(void *pContext);
    void Dispatch(const display::ThreadMessage &message, bool *pbQuit);
    void CreateBackends(uint32_t dwFlags);
    void DestroyBackends();
    void ShowChain();
    int32_t Advance();
    int32_t Schedule();
    int32_t Prune();
    int32_t PresentAll();
    void RepaintWindow(HWND hWnd);
    void Expiry();
    void Watchdog();
    void ReleaseEntry(uint32_t dwIndex, bool bHook = true); // under the lock: unlink, hook, state, pool
    void RebuildWindowList();                               // under the lock
    DisplayEntry *AllocEntry();
    void FreeEntry(DisplayEntry *pEntry);
    // Back ends in slot order (slots 1 to 3 may be filled).
    CBaseDisplay *Backend(int nSlot) const { return m_apBackends[nSlot]; }

    uint32_t m_dwFlags = 0;
    DISPLAY_STATUS m_status{};
    // Pacing, microseconds: base time, elapsed to the last expiry, durations
    // scheduled since T0 and the totals folded in when T0 moves.
    int64_t m_llT0 = 0, m_llE = 0, m_llS = 0, m_llTE = 0, m_llTS = 0;
    int64_t m_llCounterAtCreation = 0;
    double m_dTicksPerMicrosecond = 1.0;

    platform::CThread m_thread;
    display::CThreadMessages m_messages;
    platform::CEvent *m_pReply = nullptr; // auto-reset: start and stop handshakes
    platform::CWaitableTimer *m_pTimer = nullptr;
    platform::CEvent *m_pEndOfDisplay = nullptr; // with DISPLAY_FLAG_SYNC_SUBMIT
    CBaseDisplay *m_apBackends[DISPLAY_BACKEND_SLOTS] = {};

    // The queue, head first.
    DisplayEntry *m_apQueue[DISPLAY_QUEUE_MAX] = {};
    uint32_t m_dwQueued = 0;
    DisplayEntry *Head() const { return m_dwQueued ? m_apQueue[0] : nullptr; }
    DisplayEntry *Tail() const { return m_dwQueued ? m_apQueue[m_dwQueued - 1] : nullptr; }
    std::vector<void *> m_poolChunks;
    void *m_pFreeEntries = nullptr; // free blocks, each holding the next's address
    std::vector<HWND> m_windows;
    bool m_bHookRegistered = false;
    bool m_bHolder = false;   // counted in the timer resolution
    bool m_bStopped = false;  // Stop has run
    bool m_bOrphaned = false; // Stop gave up waiting for the thread
    std::atomic<int> m_fate{0};
    CYuv2Rgb m_convert;

    // Lock order: the paint hook's lock, then this one, then a back end's.
    // Guards the queue, the entry pool, the window list, the back-end slots,
    // the pacing state and the status record. The release hook (the player's
    // own, which gives the picture back to its pool) runs under it; client
    // hooks never do, and nothing waits under it.
    platform::CLock m_lock;
};

// Flat checked entry points (what the player calls).
int32_t CreateDisplayManager(uint32_t dwFlags, CDisplayManager **ppManager);
void DestroyDisplayManager(CDisplayManager *pManager);
int32_t AddViewport(CDisplayManager *pManager, const PLAY_VIEWPORT *pViewport);
int32_t RemoveViewport(CDisplayManager *pManager, uint32_t dwID);
int32_t GetViewports(CDisplayManager *pManager, PLAY_VIEWPORT *pViewports, uint32_t *pdwCount);
int32_t SubmitPicture(CDisplayManager *pManager, const DISPLAY_PICTURE *pPicture,
                      const DISPLAY_PICTURE_HOOKS *pHooks);
int32_t DiscardPending(CDisplayManager *pManager);
int32_t SnapPicture(CDisplayManager *pManager, PLAY_SNAPSHOT *pSnapshot);
int32_t GetStatus(CDisplayManager *pManager, DISPLAY_STATUS *pStatus);

// The back end of a slot on this system (win32/ or x11/); null when none.
CBaseDisplay *CreateSystemBackend(int nSlot, CDisplayManager *pOwner, uint32_t dwFlags);

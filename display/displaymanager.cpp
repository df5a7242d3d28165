// The display manager: its thread, queue, pacing, back ends and snapshots.
//
// Pacing: every picture ends at T0 plus the sum of the durations scheduled
// since T0, which gives a steady cadence without drift while the queue is
// full; T0 moves to the arrival of any picture that finds at most one entry
// before it, so the cadence follows the arrivals when the queue runs low.
#include "display/displaymanager.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "display/hookpaint.h"

namespace {

std::atomic<DisplayBackendFactory> g_pfnFactory{nullptr};
std::atomic<uint32_t> g_dwHandshakeMs{DISPLAY_THREAD_TIMEOUT};
std::atomic<uint32_t> g_dwWatchdogMs{DISPLAY_THREAD_TIMEOUT};
std::atomic<uint32_t> g_dwLiveManagers{0};

constexpr int64_t kMaxDelay = DISPLAY_MAX_DURATION; // microseconds
constexpr size_t kEntriesPerChunk = 8;

// How the display thread and a stopping manager agree on who frees the
// manager when the thread does not end in time.
enum ThreadFate : int { kFateRunning = 0, kFateExited = 1, kFateOrphaned = 2 };

} // namespace

void CDisplayManager::SetBackendFactory(DisplayBackendFactory pfnFactory) {
    g_pfnFactory.store(pfnFactory);
}

void CDisplayManager::SetTimeouts(const DisplayTimeouts &timeouts) {
    g_dwHandshakeMs.store(timeouts.dwHandshakeMs);
    g_dwWatchdogMs.store(timeouts.dwWatchdogMs);
}

DisplayTimeouts CDisplayManager::Timeouts() {
    DisplayTimeouts timeouts;
    timeouts.dwHandshakeMs = g_dwHandshakeMs.load();
    timeouts.dwWatchdogMs = g_dwWatchdogMs.load();
    return timeouts;
}

uint32_t CDisplayManager::LiveCount() {
    return g_dwLiveManagers.load();
}

CDisplayManager::CDisplayManager() {
    ++g_dwLiveManagers;
    const int64_t llFrequency = platform::QueryCounterFrequency();
    m_dTicksPerMicrosecond = llFrequency > 0 ? static_cast<double>(llFrequency) / 1000000.0 : 1.0;
    m_llCounterAtCreation = platform::QueryCounter();
}

CDisplayManager::~CDisplayManager() {
    Stop();
    for (void *pChunk : m_poolChunks)
        std::free(pChunk);
    --g_dwLiveManagers;
}

int64_t CDisplayManager::Now() const {
    return static_cast<int64_t>(static_cast<double>(platform::QueryCounter() - m_llCounterAtCreation) /
                                m_dTicksPerMicrosecond);
}

// ---------------------------------------------------------------------------
// Entry pool: 96-byte blocks in chunks, so that the per-picture path does not
// reach the heap once the first chunk exists.

DisplayEntry *CDisplayManager::AllocEntry() {
    if (m_pFreeEntries == nullptr) {
        uint8_t *pChunk = static_cast<uint8_t *>(std::malloc(kDisplayEntryBlock * kEntriesPerChunk));
        if (pChunk == nullptr)
            return nullptr;
        m_poolChunks.push_back(pChunk);
        for (size_t i = 0; i < kEntriesPerChunk; ++i)
            FreeEntry(reinterpret_cast<DisplayEntry *>(pChunk + i * kDisplayEntryBlock));
    }
    void *pBlock = m_pFreeEntries;
    std::memcpy(&m_pFreeEntries, pBlock, sizeof(void *));
    std::memset(pBlock, 0, kDisplayEntryBlock);
    return static_cast<DisplayEntry *>(pBlock);
}

void CDisplayManager::FreeEntry(DisplayEntry *pEntry) {
    std::memcpy(static_cast<void *>(pEntry), &m_pFreeEntries, sizeof(void *));
    m_pFreeEntries = pEntry;
}

void CDisplayManager::ReleaseEntry(uint32_t dwIndex, bool bHook) {
    if (dwIndex >= m_dwQueued)
        return;
    DisplayEntry *pEntry = m_apQueue[dwIndex];
    for (uint32_t i = dwIndex + 1; i < m_dwQueued; ++i)
        m_apQueue[i - 1] = m_apQueue[i];
    m_apQueue[--m_dwQueued] = nullptr;
    // The release hook is the player's own: it returns the picture's memory
    // to its pool and wakes its play thread; it never reaches the client.
    if (bHook && pEntry->hooks.pfnRelease != nullptr)
        pEntry->hooks.pfnRelease(this, &pEntry->picture, pEntry->hooks.pReleaseContext);
    pEntry->dwState = DISPLAY_ENTRY_RELEASED;
    FreeEntry(pEntry);
}

// ---------------------------------------------------------------------------
// Start and stop

int32_t CDisplayManager::Start(uint32_t dwFlags) {
    m_dwFlags = dwFlags;
    if (dwFlags & DISPLAY_FLAG_SYNC_SUBMIT) {
        m_pEndOfDisplay = new (std::nothrow) platform::CEvent(false, false);
        if (m_pEndOfDisplay == nullptr || !m_pEndOfDisplay->Valid())
            return DISPLAY_E_FAIL;
    }
    m_pTimer = new (std::nothrow) platform::CWaitableTimer();
    if (m_pTimer == nullptr || !m_pTimer->Valid())
        return DISPLAY_E_TIMER;
    m_llT0 = m_llE = m_llS = m_llTE = m_llTS = 0;
    m_llCounterAtCreation = platform::QueryCounter();

    m_pReply = new (std::nothrow) platform::CEvent(false, false);
    if (m_pReply == nullptr || !m_pReply->Valid())
        return DISPLAY_E_FAIL;
    m_fate.store(kFateRunning);
    if (!m_thread.Start(ThreadMain, this))
        return DISPLAY_E_FAIL;
    m_thread.SetPriority(platform::kPriorityHighest);
    // The thread's queue exists once a post succeeds.
    while (!m_messages.Post(0, 0, 0))
        platform::YieldTimeSlice();
    if (!m_messages.Post(DM_CREATE_BACKENDS, reinterpret_cast<uintptr_t>(m_pReply),
                         static_cast<intptr_t>(dwFlags)))
        return DISPLAY_E_FAIL;
    if (m_pReply->Wait(Timeouts().dwHandshakeMs) != platform::kWaitSignalled)
        return DISPLAY_E_FAIL;
    platform::CLockGuard guard(m_lock);
    for (CBaseDisplay *pBackend : m_apBackends)
        if (pBackend != nullptr)
            return DISPLAY_OK;
    return DISPLAY_E_NO_BACKEND;
}

void CDisplayManager::Stop() {
    if (m_bStopped)
        return;
    m_bStopped = true;
    bool bAnyBackend = false;
    {
        platform::CLockGuard guard(m_lock);
        for (CBaseDisplay *pBackend : m_apBackends)
            bAnyBackend = bAnyBackend || pBackend != nullptr;
    }
    const DisplayTimeouts timeouts = Timeouts();
    bool bBackendsHang = false;
    if (bAnyBackend) {
        if (!m_thread.Started() ||
            !m_messages.Post(DM_DESTROY_BACKENDS, reinterpret_cast<uintptr_t>(m_pReply), 0) ||
            m_pReply->Wait(timeouts.dwHandshakeMs) != platform::kWaitSignalled)
            bBackendsHang = true;
    }
    bool bThreadHangs = false;
    if (m_thread.Started()) {
        if (m_messages.Post(DM_QUIT, 0, 0)) {
            if (m_thread.Join(timeouts.dwHandshakeMs) != platform::kWaitSignalled)
                bThreadHangs = true;
        } else {
            bThreadHangs = true;
        }
    }
    if (bThreadHangs) {
        // The thread is stuck inside a back end: freeing the back ends or
        // this object under it would pull memory from a running thread.
        // When it comes back it ends the cleanup itself (OnThreadExit).
        int expected = kFateRunning;
        if (!m_fate.compare_exchange_strong(expected, kFateOrphaned))
            bThreadHangs = false; // it ended just now
        else
            m_bOrphaned = true;
    }
    if (!bThreadHangs && bBackendsHang)
        DestroyBackends(); // the thread has ended: safe on this thread

    if (!m_bOrphaned) {
        delete m_pReply;
        m_pReply = nullptr;
        delete m_pTimer;
        m_pTimer = nullptr;
        delete m_pEndOfDisplay;
        m_pEndOfDisplay = nullptr;
    }
    if (m_bHookRegistered) {
        CHookPaint::Instance().Unregister(this);
        m_bHookRegistered = false;
    }
    {
        platform::CLockGuard guard(m_lock);
        while (m_dwQueued > 0)
            ReleaseEntry(0);
        m_windows.clear();
        std::memset(&m_status, 0, sizeof(m_status));
    }
    if (m_bHolder) {
        display::ReleaseTimerResolution();
        m_bHolder = false;
    }
}

bool CDisplayManager::Orphaned() const {
    return m_bOrphaned;
}

// ---------------------------------------------------------------------------
// The display thread

uint32_t CDisplayManager::ThreadMain(void *pContext) {
    CDisplayManager *pThis = static_cast<CDisplayManager *>(pContext);
    pThis->m_messages.Attach();
    bool bQuit = false;
    while (!bQuit) {
        switch (pThis->m_messages.Wait(*pThis->m_pTimer, g_dwWatchdogMs.load())) {
        case display::CThreadMessages::kWaitObject:
            pThis->Expiry();
            break;
        case display::CThreadMessages::kWaitMessage: {
            display::ThreadMessage message;
            while (!bQuit && pThis->m_messages.Peek(&message))
                pThis->Dispatch(message, &bQuit);
            break;
        }
        case display::CThreadMessages::kWaitTimeout:
            pThis->Watchdog();
            break;
        default:
            platform::SleepMs(1); // a failing wait must not spin
            break;
        }
    }
    int expected = kFateRunning;
    if (!pThis->m_fate.compare_exchange_strong(expected, kFateExited)) {
        // Orphaned by a stop that gave up waiting: finish what it left.
        pThis->DestroyBackends();
        delete pThis->m_pReply;
        delete pThis->m_pTimer;
        delete pThis->m_pEndOfDisplay;
        pThis->m_pReply = nullptr;
        pThis->m_pTimer = nullptr;
        pThis->m_pEndOfDisplay = nullptr;
        delete pThis; // the thread object, destroyed by its own thread, detaches
    }
    return 0;
}

void CDisplayManager::Dispatch(const display::ThreadMessage &message, bool *pbQuit) {
    switch (message.uMsg) {
    case DM_QUIT:
        *pbQuit = true;
        break;
    case DM_CREATE_BACKENDS:
        CreateBackends(static_cast<uint32_t>(message.lParam));
        reinterpret_cast<platform::CEvent *>(message.wParam)->Set();
        break;
    case DM_DESTROY_BACKENDS:
        DestroyBackends();
        reinterpret_cast<platform::CEvent *>(message.wParam)->Set();
        break;
    case DM_SHOW_NEXT:
        ShowChain();
        break;
    case DM_REPAINT_WINDOW:
        RepaintWindow((HWND)message.lParam);
        break;
    default:
        break;
    }
}

void CDisplayManager::CreateBackends(uint32_t dwFlags) {
    DisplayBackendFactory pfnFactory = g_pfnFactory.load();
    if (pfnFactory == nullptr)
        pfnFactory = CreateSystemBackend;
    // Slot 0 is a flag without a back end.
    for (int nSlot = DISPLAY_SLOT_DIRECT3D9; nSlot < DISPLAY_BACKEND_SLOTS; ++nSlot) {
        if (!(dwFlags & DISPLAY_SLOT_FLAG(nSlot)))
            continue;
        CBaseDisplay *pBackend = nullptr;
        try {
            pBackend = pfnFactory(nSlot, this, dwFlags);
        } catch (const std::bad_alloc &) {
            pBackend = nullptr;
        }
        if (pBackend == nullptr)
            continue;
        if (pBackend->Initialize() < 0) {
            delete pBackend;
            continue;
        }
        platform::CLockGuard guard(m_lock);
        m_apBackends[nSlot] = pBackend;
    }
}

void CDisplayManager::DestroyBackends() {
    CBaseDisplay *apBackends[DISPLAY_BACKEND_SLOTS];
    {
        platform::CLockGuard guard(m_lock);
        std::memcpy(apBackends, m_apBackends, sizeof(apBackends));
        std::memset(m_apBackends, 0, sizeof(m_apBackends));
    }
    for (CBaseDisplay *pBackend : apBackends)
        delete pBackend;
}

// ---------------------------------------------------------------------------
// Showing pictures

void CDisplayManager::ShowChain() {
    if (Advance() < 0 || Schedule() < 0 || Prune() < 0)
        return;
    PresentAll();
}

int32_t CDisplayManager::Advance() {
    platform::CLockGuard guard(m_lock);
    DisplayEntry *pHead = Head();
    if (pHead == nullptr)
        return DISPLAY_E_FAIL;
    if (pHead->dwState == DISPLAY_ENTRY_NEW) {
        for (CBaseDisplay *pBackend : m_apBackends)
            if (pBackend != nullptr)
                pBackend->SetPicture(&pHead->picture, &pHead->hooks);
        pHead->dwState = DISPLAY_ENTRY_SHOWING;
        return DISPLAY_OK;
    }
    if (pHead->dwState == DISPLAY_ENTRY_EXPIRED) {
        DisplayEntry *pNext = m_dwQueued > 1 ? m_apQueue[1] : nullptr;
        if (pNext == nullptr)
            return DISPLAY_E_NO_PICTURE; // the expired picture stays on screen
        // The successor is drawn before the head goes: back ends hold the
        // current picture until they are given the next.
        for (CBaseDisplay *pBackend : m_apBackends)
            if (pBackend != nullptr)
                pBackend->SetPicture(&pNext->picture, &pNext->hooks);
        pNext->dwState = DISPLAY_ENTRY_SHOWING;
        ReleaseEntry(0);
        return DISPLAY_OK;
    }
    return DISPLAY_E_FAIL; // showing or released: nothing to do
}

int32_t CDisplayManager::Schedule() {
    platform::CLockGuard guard(m_lock);
    DisplayEntry *pHead = Head();
    if (pHead == nullptr)
        return DISPLAY_E_FAIL;
    const int64_t llNow = Now();
    m_llS += pHead->picture.dwDuration;
    pHead->llShownTime = llNow;
    const int64_t llDelay = std::clamp<int64_t>((m_llT0 - llNow) + m_llS, 0, kMaxDelay);
    pHead->llExpiryTime = llNow + llDelay;
    if (!m_pTimer->SetDue(llDelay > 0 ? -10 * llDelay : -1))
        return DISPLAY_E_TIMER;
    return DISPLAY_OK;
}

int32_t CDisplayManager::Prune() {
    // The viewport list from the first back end that answers.
    std::vector<PLAY_VIEWPORT> viewports;
    {
        platform::CLockGuard guard(m_lock);
        for (CBaseDisplay *pBackend : m_apBackends) {
            if (pBackend == nullptr)
                continue;
            uint32_t dwCount = 0;
            if (pBackend->GetViewports(nullptr, &dwCount) < 0)
                continue;
            viewports.resize(dwCount);
            if (dwCount > 0 && pBackend->GetViewports(viewports.data(), &dwCount) < 0)
                continue;
            viewports.resize(dwCount);
            break;
        }
    }
    if (viewports.empty())
        return DISPLAY_E_NO_VIEWPORTS;
    size_t removed = 0;
    for (const PLAY_VIEWPORT &viewport : viewports) {
        if (display::IsWindowAlive(viewport.hDestWnd))
            continue;
        RemoveViewport(viewport.dwID);
        ++removed;
    }
    return removed == viewports.size() ? DISPLAY_E_NO_VIEWPORTS : DISPLAY_OK;
}

int32_t CDisplayManager::PresentAll() {
    // Back ends are created and destroyed on this thread only, so the slots
    // can be walked without the lock while they present.
    int32_t nResult = DISPLAY_E_FAIL;
    uint32_t dwBackend = 0;
    for (int nSlot = 0; nSlot < DISPLAY_BACKEND_SLOTS; ++nSlot) {
        CBaseDisplay *pBackend = m_apBackends[nSlot];
        if (pBackend == nullptr)
            continue;
        nResult = pBackend->Present();
        if (nResult >= 0) {
            dwBackend = DISPLAY_SLOT_FLAG(nSlot);
            break;
        }
    }
    platform::CLockGuard guard(m_lock);
    m_status.dwBackend = dwBackend;
    return nResult;
}

void CDisplayManager::RepaintWindow(HWND hWnd) {
    uint32_t dwBackend = 0;
    for (int nSlot = 0; nSlot < DISPLAY_BACKEND_SLOTS; ++nSlot) {
        CBaseDisplay *pBackend = m_apBackends[nSlot];
        if (pBackend != nullptr && pBackend->Repaint(hWnd) >= 0) {
            dwBackend = DISPLAY_SLOT_FLAG(nSlot);
            break;
        }
    }
    platform::CLockGuard guard(m_lock);
    m_status.dwBackend = dwBackend;
}

void CDisplayManager::Expiry() {
    {
        platform::CLockGuard guard(m_lock);
        DisplayEntry *pHead = Head();
        // Only a picture being shown can expire; a stale timer signal must
        // not skip one that was never drawn.
        if (pHead != nullptr && pHead->dwState == DISPLAY_ENTRY_SHOWING) {
            ++m_status.dwShownCount;
            m_llE = Now() - m_llT0;
            m_status.llScheduledTime = m_llTS + m_llS;
            m_status.llElapsedTime = m_llTE + m_llE;
            if (m_pEndOfDisplay != nullptr)
                m_pEndOfDisplay->Set();
            pHead->dwState = DISPLAY_ENTRY_EXPIRED;
        }
    }
    ShowChain();
}

void CDisplayManager::Watchdog() {
    bool bDue = false;
    {
        platform::CLockGuard guard(m_lock);
        DisplayEntry *pHead = Head();
        bDue = pHead != nullptr && pHead->dwState != DISPLAY_ENTRY_NEW && Now() >= pHead->llExpiryTime;
    }
    if (bDue)
        Expiry(); // a lost timer signal cannot stall the display
}

// ---------------------------------------------------------------------------
// Operations of the player's threads

int32_t CDisplayManager::SubmitPicture(const DISPLAY_PICTURE *pPicture, const DISPLAY_PICTURE_HOOKS *pHooks) {
    if (pPicture == nullptr)
        return DISPLAY_E_NO_PICTURE;
    if ((m_dwFlags & DISPLAY_FLAG_SYNC_SUBMIT) && m_pEndOfDisplay == nullptr)
        return DISPLAY_E_FAIL;
    {
        platform::CLockGuard guard(m_lock);
        if (m_dwQueued >= DISPLAY_QUEUE_MAX)
            return DISPLAY_E_QUEUE_FULL;
        DisplayEntry *pEntry = AllocEntry();
        if (pEntry == nullptr)
            return DISPLAY_E_OUT_OF_MEMORY;
        pEntry->picture = *pPicture;
        pEntry->picture.dwDuration = std::min<uint32_t>(pPicture->dwDuration, DISPLAY_MAX_DURATION);
        if (pHooks != nullptr)
            pEntry->hooks = *pHooks;
        pEntry->dwSequence = m_dwQueued > 0 ? Tail()->dwSequence + 1 : 0;
        m_apQueue[m_dwQueued++] = pEntry;
        if (m_pEndOfDisplay != nullptr)
            m_pEndOfDisplay->Reset();
        if (m_dwQueued <= 2) {
            m_llTE += m_llE;
            m_llTS += m_llS;
            m_llT0 = Now();
            m_llE = m_llS = 0;
            if (!m_messages.Post(DM_SHOW_NEXT, 0, 0)) {
                // The caller keeps its picture: the entry goes without its
                // release hook.
                ReleaseEntry(m_dwQueued - 1, false);
                return DISPLAY_E_FAIL;
            }
        }
    }
    if (m_pEndOfDisplay != nullptr) {
        switch (m_pEndOfDisplay->Wait(DISPLAY_SYNC_SUBMIT_TIMEOUT)) {
        case platform::kWaitSignalled:
            return DISPLAY_OK;
        case platform::kWaitTimeout:
            return DISPLAY_E_TIMEOUT;
        default:
            return DISPLAY_E_FAIL;
        }
    }
    return DISPLAY_OK;
}

int32_t CDisplayManager::DiscardPending() {
    platform::CLockGuard guard(m_lock);
    while (m_dwQueued > 1)
        ReleaseEntry(m_dwQueued - 1);
    return DISPLAY_OK;
}

int32_t CDisplayManager::SnapPicture(PLAY_SNAPSHOT *pSnapshot) {
    if (pSnapshot == nullptr)
        return DISPLAY_E_NULL_POINTER;
    const int64_t llStart = Now();
    platform::CLockGuard guard(m_lock);
    if (m_dwQueued == 0)
        return DISPLAY_E_NO_PICTURE;
    const DISPLAY_PICTURE &picture = Head()->picture;
    const uint32_t dwStride = DISPLAY_RGB24_STRIDE(picture.nWidth);
    const uint64_t qwNeeded =
        static_cast<uint64_t>(dwStride) * static_cast<uint64_t>(std::max(picture.nHeight, 0));
    if (qwNeeded > UINT32_MAX)
        return DISPLAY_E_FAIL;
    const uint32_t dwNeeded = static_cast<uint32_t>(qwNeeded);
    if (pSnapshot->pBuffer == nullptr || pSnapshot->dwBufferSize == 0) {
        pSnapshot->dwBufferSize = dwNeeded;
        return DISPLAY_OK;
    }
    if (pSnapshot->dwBufferSize < dwNeeded) {
        pSnapshot->dwBufferSize = dwNeeded;
        return DISPLAY_E_BUFFER_TOO_SMALL;
    }
    CONVERT_SETTING setting;
    std::memset(&setting, 0, sizeof(setting));
    setting.dwFourCC = picture.dwFourCC;
    setting.wWidth = picture.nWidth;
    setting.wHeight = picture.nHeight;
    setting.pYuv = picture.pData;
    setting.dwYuvSize = picture.dwDataSize;
    setting.pRgb24 = pSnapshot->pBuffer;
    setting.dwRgbSize = pSnapshot->dwBufferSize;
    setting.bTopDown = FALSE;
    setting.dwPicth = dwStride;
    const int32_t nResult = m_convert.Convert(&setting) ? DISPLAY_OK : DISPLAY_E_FAIL;
    BITMAPINFOHEADER &bmi = pSnapshot->bmiHeader;
    std::memset(&bmi, 0, sizeof(bmi));
    bmi.biSize = sizeof(BITMAPINFOHEADER);
    bmi.biWidth = picture.nWidth;
    bmi.biHeight = picture.nHeight;
    bmi.biPlanes = 1;
    bmi.biBitCount = 24;
    bmi.biCompression = 0; // BI_RGB
    ++m_status.dwSnapshotCount;
    m_status.llSnapshotTime += Now() - llStart;
    return nResult;
}

int32_t CDisplayManager::GetStatus(DISPLAY_STATUS *pStatus) {
    if (pStatus == nullptr)
        return DISPLAY_E_NULL_POINTER;
    if (pStatus->dwSize != DISPLAY_STATUS_SIZE)
        return DISPLAY_E_BAD_SIZE;
    platform::CLockGuard guard(m_lock);
    *pStatus = m_status;
    pStatus->dwSize = DISPLAY_STATUS_SIZE;
    return DISPLAY_OK;
}

// ---------------------------------------------------------------------------
// Viewports

void CDisplayManager::RebuildWindowList() {
    // Under the lock: the distinct windows in viewport order, from the first
    // back end that answers.
    m_windows.clear();
    for (CBaseDisplay *pBackend : m_apBackends) {
        if (pBackend == nullptr)
            continue;
        uint32_t dwCount = 0;
        if (pBackend->GetViewports(nullptr, &dwCount) < 0)
            continue;
        std::vector<PLAY_VIEWPORT> viewports(dwCount);
        if (dwCount > 0 && pBackend->GetViewports(viewports.data(), &dwCount) < 0)
            continue;
        for (uint32_t i = 0; i < dwCount; ++i)
            if (std::find(m_windows.begin(), m_windows.end(), viewports[i].hDestWnd) == m_windows.end())
                m_windows.push_back(viewports[i].hDestWnd);
        return;
    }
}

int32_t CDisplayManager::AddViewport(const PLAY_VIEWPORT *pViewport) {
    if (pViewport == nullptr)
        return DISPLAY_E_NULL_POINTER;
    if (pViewport->dwSize != PLAY_VIEWPORT_SIZE)
        return DISPLAY_E_BAD_SIZE;
    if (!display::IsWindowAlive(pViewport->hDestWnd))
        return DISPLAY_E_BAD_WINDOW;
    std::vector<HWND> windows;
    {
        platform::CLockGuard guard(m_lock);
        int32_t nResult = DISPLAY_E_FAIL;
        for (CBaseDisplay *pBackend : m_apBackends) {
            if (pBackend == nullptr)
                continue;
            nResult = pBackend->AddViewport(pViewport);
            if (nResult < 0)
                return nResult;
        }
        if (nResult < 0)
            return nResult; // no back end at all
        if (m_dwFlags & DISPLAY_FLAG_NO_PAINT_HOOK)
            return DISPLAY_OK;
        RebuildWindowList();
        windows = m_windows;
    }
    // Outside the lock: the paint hook takes its own lock before ours.
    m_bHookRegistered = true;
    CHookPaint::Instance().Register(this, windows);
    return DISPLAY_OK;
}

int32_t CDisplayManager::RemoveViewport(uint32_t dwID) {
    platform::CLockGuard guard(m_lock);
    int32_t nResult = DISPLAY_E_FAIL;
    for (CBaseDisplay *pBackend : m_apBackends) {
        if (pBackend == nullptr)
            continue;
        nResult = pBackend->RemoveViewport(dwID);
        if (nResult < 0)
            return nResult;
    }
    if (nResult >= 0 && !(m_dwFlags & DISPLAY_FLAG_NO_PAINT_HOOK))
        RebuildWindowList();
    return nResult;
}

int32_t CDisplayManager::GetViewports(PLAY_VIEWPORT *pViewports, uint32_t *pdwCount) {
    if (pdwCount == nullptr)
        return DISPLAY_E_NULL_POINTER;
    platform::CLockGuard guard(m_lock);
    int32_t nResult = DISPLAY_E_FAIL;
    for (CBaseDisplay *pBackend : m_apBackends) {
        if (pBackend == nullptr)
            continue;
        nResult = pBackend->GetViewports(pViewports, pdwCount);
        if (nResult >= 0)
            return nResult;
    }
    return nResult;
}

void CDisplayManager::RepaintIfMine(HWND hWnd) {
    platform::CLockGuard guard(m_lock);
    if (std::find(m_windows.begin(), m_windows.end(), hWnd) != m_windows.end())
        m_messages.Post(DM_REPAINT_WINDOW, 0, (intptr_t)hWnd);
}

// ---------------------------------------------------------------------------
// Flat entry points

int32_t CreateDisplayManager(uint32_t dwFlags, CDisplayManager **ppManager) {
    if (ppManager == nullptr)
        return DISPLAY_E_NULL_POINTER;
    *ppManager = nullptr;
    if (!(dwFlags & DISPLAY_FLAG_BACKEND_MASK))
        return DISPLAY_E_NO_BACKEND;
    CDisplayManager *pManager = new (std::nothrow) CDisplayManager();
    if (pManager == nullptr)
        return DISPLAY_E_OUT_OF_MEMORY;
    pManager->HoldTimerResolution();
    const int32_t nResult = pManager->Start(dwFlags);
    if (nResult < 0) {
        DestroyDisplayManager(pManager);
        return nResult;
    }
    *ppManager = pManager;
    return DISPLAY_OK;
}

void DestroyDisplayManager(CDisplayManager *pManager) {
    if (pManager == nullptr)
        return;
    pManager->Stop();
    // An orphaned manager is freed by its own thread when that comes back.
    if (!pManager->Orphaned())
        delete pManager;
}

void CDisplayManager::HoldTimerResolution() {
    if (!m_bHolder) {
        display::AcquireTimerResolution();
        m_bHolder = true;
    }
}

int32_t AddViewport(CDisplayManager *pManager, const PLAY_VIEWPORT *pViewport) {
    if (pManager == nullptr)
        return DISPLAY_E_INVALID_OBJECT;
    return pManager->AddViewport(pViewport);
}

int32_t RemoveViewport(CDisplayManager *pManager, uint32_t dwID) {
    if (pManager == nullptr)
        return DISPLAY_E_INVALID_OBJECT;
    return pManager->RemoveViewport(dwID);
}

int32_t GetViewports(CDisplayManager *pManager, PLAY_VIEWPORT *pViewports, uint32_t *pdwCount) {
    if (pManager == nullptr)
        return DISPLAY_E_INVALID_OBJECT;
    return pManager->GetViewports(pViewports, pdwCount);
}

int32_t SubmitPicture(CDisplayManager *pManager, const DISPLAY_PICTURE *pPicture,
                      const DISPLAY_PICTURE_HOOKS *pHooks) {
    if (pManager == nullptr)
        return DISPLAY_E_INVALID_OBJECT;
    return pManager->SubmitPicture(pPicture, pHooks);
}

int32_t DiscardPending(CDisplayManager *pManager) {
    if (pManager == nullptr)
        return DISPLAY_E_INVALID_OBJECT;
    return pManager->DiscardPending();
}

int32_t SnapPicture(CDisplayManager *pManager, PLAY_SNAPSHOT *pSnapshot) {
    if (pManager == nullptr)
        return DISPLAY_E_INVALID_OBJECT;
    return pManager->SnapPicture(pSnapshot);
}

int32_t GetStatus(CDisplayManager *pManager, DISPLAY_STATUS *pStatus) {
    if (pManager == nullptr)
        return DISPLAY_E_INVALID_OBJECT;
    return pManager->GetStatus(pStatus);
}

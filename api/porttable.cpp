#include "api/porttable.h"

#include <memory>

namespace api {

namespace {

// Constant-initialised: valid before any static constructor runs and after
// every static destructor.
std::atomic<uint32_t> g_dwLiveEntries{0};

} // namespace

// ---------------------------------------------------------------------------
// CPortRef

CPortRef &CPortRef::operator=(CPortRef &&other) noexcept {
    if (this != &other) {
        Reset();
        m_pEntry = other.m_pEntry;
        other.m_pEntry = nullptr;
    }
    return *this;
}

void CPortRef::Reset() {
    if (m_pEntry != nullptr) {
        m_pEntry->Release();
        m_pEntry = nullptr;
    }
}

// ---------------------------------------------------------------------------
// CPortEntry

CPortEntry::CPortEntry() {
    g_dwLiveEntries.fetch_add(1, std::memory_order_acq_rel);
}

CPortEntry::~CPortEntry() {
    const PLAY_HANDLE hPlayer = Player();
    if (hPlayer != nullptr) {
        for (PLAY_FRAME *pFrame : m_held)
            Play_FreeDecodeFrame(hPlayer, pFrame);
        // Stops the player's threads: no adapter runs with this entry after.
        Play_Release(hPlayer);
    }
    m_held.clear();
    g_dwLiveEntries.fetch_sub(1, std::memory_order_acq_rel);
}

void CPortEntry::SetPlayer(PLAY_HANDLE hPlayer, bool bStream) {
    m_bStream.store(bStream, std::memory_order_release);
    m_hPlayer.store(hPlayer, std::memory_order_release);
}

void CPortEntry::SetFileEndTarget(HWND hWnd, UINT nMsg) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_hEndWnd = hWnd;
    m_nEndMsg = nMsg;
}

void CPortEntry::GetFileEndTarget(HWND *phWnd, UINT *pnMsg) {
    std::lock_guard<std::mutex> guard(m_lock);
    *phWnd = m_hEndWnd;
    *pnMsg = m_nEndMsg;
}

void CPortEntry::SetIndexWindow(HWND hWnd) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_hIndexWnd = hWnd;
    m_nIndexMsg = QV_PLAY_MSG_INDEX_COMPLETED;
}

HWND CPortEntry::IndexWindow() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_hIndexWnd;
}

void CPortEntry::SetIndexCallback(QV_PLAY_INDEX_CALLBACK pfn, void *pUser) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_index = {pfn, pUser};
}

ClientCallback<QV_PLAY_INDEX_CALLBACK> CPortEntry::IndexCallback() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_index;
}

void CPortEntry::SetDrawCallback(QV_PLAY_DRAW_CALLBACK pfn, void *pUser) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_draw = {pfn, pUser};
}

ClientCallback<QV_PLAY_DRAW_CALLBACK> CPortEntry::DrawCallback() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_draw;
}

void CPortEntry::SetDecodeCallback(QV_PLAY_DECODE_CALLBACK pfn, void *pUser, void *pReserved) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_decode = {pfn, pUser};
    m_pDecodeReserved = pReserved;
}

ClientCallback<QV_PLAY_DECODE_CALLBACK> CPortEntry::DecodeCallback() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_decode;
}

void CPortEntry::SetParseCallback(QV_PLAY_PARSE_CALLBACK pfn, void *pUser) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_parse = {pfn, pUser};
}

ClientCallback<QV_PLAY_PARSE_CALLBACK> CPortEntry::ParseCallback() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_parse;
}

void CPortEntry::SetSourceCallback(QV_PLAY_SOURCE_BUFFER_CALLBACK pfn, void *pUser) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_source = {pfn, pUser};
}

ClientCallback<QV_PLAY_SOURCE_BUFFER_CALLBACK> CPortEntry::SourceCallback() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_source;
}

PLAY_FRAME *CPortEntry::TakeHeldFrame() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_held.empty())
        return nullptr;
    PLAY_FRAME *pFrame = m_held.front();
    m_held.pop_front();
    return pFrame;
}

void CPortEntry::HoldFrame(PLAY_FRAME *pFrame) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_held.push_front(pFrame);
}

uint32_t CPortEntry::HeldFrameCount() {
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<uint32_t>(m_held.size());
}

void CPortEntry::AddRef() {
    std::lock_guard<std::mutex> guard(m_refLock);
    ++m_dwRefs;
}

void CPortEntry::Release() {
    std::lock_guard<std::mutex> guard(m_refLock);
    if (--m_dwRefs == 0)
        m_refGone.notify_all();
}

void CPortEntry::WaitUnused() {
    std::unique_lock<std::mutex> guard(m_refLock);
    m_refGone.wait(guard, [this] { return m_dwRefs == 0; });
}

// ---------------------------------------------------------------------------
// CPortTable

CPortTable &CPortTable::Instance() {
    static CPortTable *const s_pTable = new CPortTable();
    return *s_pTable;
}

uint32_t CPortTable::LiveEntryCount() {
    return g_dwLiveEntries.load(std::memory_order_acquire);
}

CPortRef CPortTable::InsertLocked(LONG nPort) {
    std::unique_ptr<CPortEntry> pEntry(new CPortEntry());
    pEntry->m_nPort = nPort;
    m_entries.emplace(nPort, pEntry.get());
    pEntry->AddRef();
    return CPortRef(pEntry.release());
}

CPortRef CPortTable::Insert(LONG nPort) {
    if (nPort < QV_PLAY_MIN_PORT || nPort > QV_PLAY_MAX_PORT)
        return CPortRef();
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_entries.count(nPort) != 0)
        return CPortRef();
    return InsertLocked(nPort);
}

CPortRef CPortTable::InsertAuto() {
    std::lock_guard<std::mutex> guard(m_lock);
    LONG nPort = QV_PLAY_FIRST_AUTO_PORT;
    // The taken ports from the first automatic one up, in order: the first
    // gap is the lowest free port.
    for (auto it = m_entries.lower_bound(nPort); it != m_entries.end() && it->first == nPort; ++it)
        ++nPort;
    if (nPort > QV_PLAY_MAX_PORT)
        return CPortRef();
    return InsertLocked(nPort);
}

CPortRef CPortTable::Find(LONG nPort) {
    if (nPort < QV_PLAY_MIN_PORT || nPort > QV_PLAY_MAX_PORT)
        return CPortRef();
    std::lock_guard<std::mutex> guard(m_lock);
    const auto it = m_entries.find(nPort);
    if (it == m_entries.end())
        return CPortRef();
    it->second->AddRef();
    return CPortRef(it->second);
}

void CPortTable::Destroy(CPortEntry *pEntry) {
    // Outside the table lock: calls still running on the port finish first,
    // and the player's release waits for its threads.
    pEntry->WaitUnused();
    delete pEntry;
}

bool CPortTable::Remove(LONG nPort) {
    if (nPort < QV_PLAY_MIN_PORT || nPort > QV_PLAY_MAX_PORT)
        return false;
    CPortEntry *pEntry = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const auto it = m_entries.find(nPort);
        if (it == m_entries.end())
            return false;
        pEntry = it->second;
        m_entries.erase(it);
    }
    Destroy(pEntry);
    return true;
}

void CPortTable::Remove(CPortRef &&ref) {
    CPortEntry *pEntry = ref.Get();
    if (pEntry == nullptr)
        return;
    bool bTaken = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const auto it = m_entries.find(pEntry->Port());
        if (it != m_entries.end() && it->second == pEntry) {
            m_entries.erase(it);
            bTaken = true;
        }
    }
    ref.Reset();
    if (bTaken)
        Destroy(pEntry);
}

} // namespace api

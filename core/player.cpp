// Library-wide player state and handle validation.
#include "core/player.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <set>

#include "core/baseplaymode.h"
#include "platform/cpuload.h"
#include "platform/sync.h"

const uint8_t kPlayerSignature[16] = {0x3D, 0x0F, 0x46, 0xC3, 0x9B, 0x23, 0x26, 0x47,
                                      0xBC, 0xBD, 0x46, 0xA7, 0x77, 0x30, 0x6A, 0xCD};

namespace {

// Never destroyed: handles may be validated from static destructors of client
// code after this unit's statics are gone.
platform::CLock &LibraryLock() {
    static platform::CLock *s_pLock = new platform::CLock();
    return *s_pLock;
}

std::set<const void *> &Registry() {
    static std::set<const void *> *s_pRegistry = new std::set<const void *>();
    return *s_pRegistry;
}

platform::CCpuLoadSampler &Sampler() {
    static platform::CCpuLoadSampler *s_pSampler = new platform::CCpuLoadSampler();
    return *s_pSampler;
}

std::atomic<int32_t> g_nLiveCount{0};
std::atomic<int32_t> g_nLoadOverride{-2};

uint8_t g_abySkipTable[kFrameSkipRows][kFrameSkipColumns];
std::once_flag g_skipTableOnce;

void BuildFrameSkipTable() {
    for (int v = 0; v < kFrameSkipColumns; ++v)
        g_abySkipTable[0][v] = 1;
    for (int k = 1; k <= 50; ++k) {
        const int m = static_cast<int>(101.0 / k + 0.5);
        for (int v = 0; v < kFrameSkipColumns; ++v)
            g_abySkipTable[k][v] = (v % m == 0) ? 0 : 1;
    }
    // The upper half mirrors the lower: row 50 + k drops where row 51 - k shows.
    for (int k = 1; k <= 50; ++k)
        for (int v = 0; v < kFrameSkipColumns; ++v)
            g_abySkipTable[50 + k][v] = g_abySkipTable[51 - k][v] ? 0 : 1;
}

// The registry is consulted first: memory at an unknown address is never read.
CBasePlayMode *FindLivePlayer(PLAY_HANDLE hPlay) {
    if (hPlay == nullptr || Registry().count(hPlay) == 0)
        return nullptr;
    CBasePlayMode *pPlayer = reinterpret_cast<CBasePlayMode *>(hPlay);
    if (std::memcmp(pPlayer->Signature(), kPlayerSignature, sizeof(kPlayerSignature)) != 0)
        return nullptr;
    return pPlayer;
}

} // namespace

void LibraryAddPlayer(CBasePlayMode *pPlayer) {
    std::call_once(g_skipTableOnce, BuildFrameSkipTable);
    platform::CLockGuard guard(LibraryLock());
    Registry().insert(pPlayer); // may throw; nothing changed then
    if (g_nLiveCount.load() == 0) {
        g_nLiveCount.store(1);
        // A machine without a load source simply never throttles.
        Sampler().Start();
        g_nLiveCount.store(2);
    } else {
        g_nLiveCount.fetch_add(1);
    }
}

void LibraryRemovePlayer(CBasePlayMode *pPlayer) {
    platform::CLockGuard guard(LibraryLock());
    if (Registry().erase(pPlayer) == 0)
        return;
    if (g_nLiveCount.fetch_sub(1) - 1 == 1) {
        Sampler().Stop();
        g_nLiveCount.store(0);
    }
}

int32_t LibraryLiveCount() {
    return g_nLiveCount.load();
}

CBasePlayMode *AcquirePlayer(PLAY_HANDLE hPlay) {
    if (g_nLiveCount.load() < 2)
        return nullptr;
    platform::CLockGuard guard(LibraryLock());
    CBasePlayMode *pPlayer = FindLivePlayer(hPlay);
    if (pPlayer == nullptr || !pPlayer->TryAddRef())
        return nullptr;
    return pPlayer;
}

void DropPlayer(CBasePlayMode *pPlayer) {
    // Without the library lock: a release waiting outside it is woken here.
    pPlayer->DropRef();
}

int32_t ReleasePlayer(PLAY_HANDLE hPlay) {
    if (g_nLiveCount.load() < 2)
        return PLAY_E_INVALID_HANDLE;
    CBasePlayMode *pPlayer;
    {
        platform::CLockGuard guard(LibraryLock());
        pPlayer = FindLivePlayer(hPlay);
        if (pPlayer == nullptr)
            return PLAY_E_INVALID_HANDLE;
        // Already being released: its threads are being torn down, so not
        // even their state is read.
        if (pPlayer->IsClosing())
            return PLAY_E_INVALID_HANDLE;
        // A callback on the player's own play thread would wait for itself.
        if (pPlayer->IsPlayThread())
            return PLAY_E_NOT_SUPPORTED;
        if (!pPlayer->BeginClosing())
            return PLAY_E_INVALID_HANDLE;
    }
    // Outside the library lock: other players stay usable while this one
    // waits for the calls in flight on it.
    if (!pPlayer->WaitForLastReference())
        return PLAY_E_INVALID_HANDLE;
    delete pPlayer;
    return PLAY_OK;
}

int32_t CurrentCpuLoad() {
    const int32_t nOverride = g_nLoadOverride.load(std::memory_order_relaxed);
    if (nOverride >= -1)
        return nOverride;
    return Sampler().Load();
}

void SetCpuLoadOverride(int32_t nLoad) {
    g_nLoadOverride.store(nLoad < -1 ? -2 : nLoad, std::memory_order_relaxed);
}

const uint8_t *FrameSkipRow(int nRow) {
    std::call_once(g_skipTableOnce, BuildFrameSkipTable);
    if (nRow < 0 || nRow >= kFrameSkipRows)
        return nullptr;
    return g_abySkipTable[nRow];
}

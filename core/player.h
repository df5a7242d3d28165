// Handles and library-wide state of the players: the live-object counter, the
// validation lock with its registry of live players, the processor-load
// sampler and the frame-skip table that every player shares.
//
// A handle is the address of the player object. Before any byte at that
// address is read, the registry must know it as a live player, so that a
// stale or arbitrary pointer is refused without touching memory.
#pragma once

#include <cstdint>

#include "qvplay.h"

class CBasePlayMode;

// 128-bit signature at the head of every live player; zeroed by the
// destructor so that a stale handle never validates.
extern const uint8_t kPlayerSignature[16];

// Rows and columns of the frame-skip table.
constexpr int kFrameSkipRows = 101;
constexpr int kFrameSkipColumns = 101;

// Called by the player's constructor and destructor: the first player starts
// the shared services (sampler, skip table), the last one stops them.
void LibraryAddPlayer(CBasePlayMode *pPlayer);
void LibraryRemovePlayer(CBasePlayMode *pPlayer);

// Live-object counter: 0 without players, 2 with one, one more per player.
int32_t LibraryLiveCount();

// Handle acquisition: the player with one more reference, or null when the
// handle is not a live player or is being released.
CBasePlayMode *AcquirePlayer(PLAY_HANDLE hPlay);
// Drops a reference taken by AcquirePlayer.
void DropPlayer(CBasePlayMode *pPlayer);
// Play_Release: marks the player closing under the library lock, waits for the
// calls in flight outside it, then destroys the player.
int32_t ReleasePlayer(PLAY_HANDLE hPlay);

// Holds a reference for the life of a scope.
class CPlayerRef {
public:
    explicit CPlayerRef(PLAY_HANDLE hPlay) : m_pPlayer(AcquirePlayer(hPlay)) {}
    ~CPlayerRef() {
        if (m_pPlayer)
            DropPlayer(m_pPlayer);
    }
    CPlayerRef(const CPlayerRef &) = delete;
    CPlayerRef &operator=(const CPlayerRef &) = delete;
    CBasePlayMode *Get() const { return m_pPlayer; }
    explicit operator bool() const { return m_pPlayer != nullptr; }
    CBasePlayMode *operator->() const { return m_pPlayer; }

private:
    CBasePlayMode *m_pPlayer;
};

// Processor load in percent as last sampled: -1 before the first sample or
// when it could not be read, 0 while no player exists.
int32_t CurrentCpuLoad();
// Tests replace the sampled load; a value below -1 returns to the sampler.
void SetCpuLoadOverride(int32_t nLoad);

// Entry v of row r of the frame-skip table: 1 show, 0 drop. Built while a
// player exists; also callable without one (built on first use).
const uint8_t *FrameSkipRow(int nRow);

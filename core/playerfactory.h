// Which player class a Play_CreateW record makes.
#pragma once

#include <cstdint>

#include "qvplay.h"

class CBasePlayMode;

// Constructs and opens the player for an open record already checked for
// null and size. On success *ppPlayer is the opened player; on failure it is
// null and nothing is left behind.
int32_t CreatePlayer(const PLAY_CREATE_PARAM *pParam, CBasePlayMode **ppPlayer);

// The installed display and on-screen-display tables.
#include "core/displaylink.h"

#include <atomic>

namespace {

std::atomic<const DisplayManagerLink *> g_pDisplayLink{nullptr};
std::atomic<const OsdRendererLink *> g_pOsdLink{nullptr};

} // namespace

void SetDisplayManagerLink(const DisplayManagerLink *pLink) {
    g_pDisplayLink.store(pLink);
}

const DisplayManagerLink *GetDisplayManagerLink() {
    return g_pDisplayLink.load();
}

void SetOsdRendererLink(const OsdRendererLink *pLink) {
    g_pOsdLink.store(pLink);
}

const OsdRendererLink *GetOsdRendererLink() {
    return g_pOsdLink.load();
}

// The back ends this system offers: the X11 one in the bitmap slot; the
// hardware slots have none here.
#include <new>

#include "display/displaymanager.h"
#include "display/linux/x11display.h"

CBaseDisplay *CreateSystemBackend(int nSlot, CDisplayManager *pOwner, uint32_t) {
    if (nSlot != DISPLAY_TYPE_BITMAP)
        return nullptr;
    return new (std::nothrow) CX11Display(pOwner);
}

// The Windows back ends of the manager's slots.
#include <new>

#include "display/displaymanager.h"
#include "display/win32/direct3d9.h"
#include "display/win32/directdraw7.h"
#include "display/win32/drawdib.h"

CBaseDisplay *CreateSystemBackend(int nSlot, CDisplayManager *pOwner, uint32_t dwFlags) {
    switch (nSlot) {
    case DISPLAY_SLOT_DIRECT3D9:
        return new (std::nothrow) CDirect3D9(pOwner, (dwFlags & DISPLAY_FLAG_D3D9_IMMEDIATE) != 0);
    case DISPLAY_SLOT_DIRECTDRAW7:
        return new (std::nothrow) CDirectDraw7(pOwner);
    case DISPLAY_SLOT_DRAWDIB:
        return new (std::nothrow) CDrawDib(pOwner);
    default:
        return nullptr; // slot 0 never holds a back end
    }
}

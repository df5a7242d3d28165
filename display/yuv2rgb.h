// YUV pictures to 24-bit RGB rows (blue, green, red bytes per pixel), for
// snapshots and for the back ends that draw bitmaps. Stateless; one object
// per display manager and one shared by the bitmap back ends.
#pragma once

#include "qvdisplay.h"

// An abstract picture converter.
class CBaseConvert {
public:
    virtual ~CBaseConvert() = default;
    // Nonzero on success, 0 on any failure.
    virtual BOOL Convert(const CONVERT_SETTING *pSetting) = 0;
};

class CYuv2Rgb final : public CBaseConvert {
public:
    // Converts with the fastest routine the processor offers; the result is
    // bit-identical to ConvertScalar.
    BOOL Convert(const CONVERT_SETTING *pSetting) override;
    // The integer formulas one pixel at a time: the reference the vector
    // routines are tested and measured against.
    static BOOL ConvertScalar(const CONVERT_SETTING *pSetting);
};

/*
 * QVPlaySDK on-screen display: the setting and status records of the renderer
 * that draws the recorder's OSD items (texts, one-bit bitmaps, privacy masks)
 * into decoded YUV pictures, and its result codes.
 */
#ifndef QVOSD_H
#define QVOSD_H

#include "qvtypes.h"

/* Record sizes, checked before anything else. */
#define OSD_SETTING_SIZE ((uint32_t)sizeof(OSD_SETTING))
#define OSD_STATUS_SIZE ((uint32_t)sizeof(OSD_STATUS))

/* OSD_SETTING.dwFlags */
#define OSD_FLAG_USE_FONT 0x01u      /* use hFont as it is (no height from the picture width) */
#define OSD_FLAG_NO_BODY 0x02u       /* draw only the outline of texts and bitmaps */
#define OSD_FLAG_TEXT_LEVEL 0x04u    /* byTextLevel is given */
#define OSD_FLAG_NO_OUTLINE 0x08u    /* draw no outlines */
#define OSD_FLAG_OUTLINE_LEVEL 0x10u /* byOutlineLevel is given */
#define OSD_FLAG_MOSAIC_SIZE 0x20u   /* wMosaicWidth and wMosaicHeight are given */

/* Grey levels of text and bitmap pixels and of outlines. */
#define OSD_TEXT_LEVEL_MIN 8
#define OSD_TEXT_LEVEL_MAX 255
#define OSD_TEXT_LEVEL_DEFAULT 255
#define OSD_OUTLINE_LEVEL_DEFAULT 0
/* Luma written for text and bitmap pixels never exceeds this. */
#define OSD_LUMA_MAX 235

/* Mosaic cells: a given size is rounded up to even and raised to the minimum. */
#define OSD_MOSAIC_SIZE_DEFAULT 16
#define OSD_MOSAIC_SIZE_MIN 2

/* Mode word at the start of a mask item's body. */
#define OSD_MASK_MODE_SOLID 0  /* filled with the colour in the next three bytes (R, G, B) */
#define OSD_MASK_MODE_MOSAIC 1 /* cut into cells of one colour each */

/* Texts: UTF-16 code units including the terminating NUL. */
#define OSD_TEXT_MAX_CHARS 128
/* Font used without OSD_FLAG_USE_FONT: the first face found, at a height
   (in the platform's negative character-height convention) chosen from the
   picture width; OSD_FONT_HEIGHT_DEFAULT until the first picture. */
#define OSD_FONT_FACE "Arial Unicode MS"
#define OSD_FONT_FACE_FALLBACK "Arial"
#define OSD_FONT_HEIGHT_DEFAULT (-14)
#define OSD_FONT_WEIGHT 400

/* RGB work buffer of one cached bitmap item (3 bytes per pixel). */
#define OSD_BITMAP_BUFFER_SIZE 67584

/* Result codes of the renderer. */
#define OSD_OK 0
#define OSD_E_FAIL ((int32_t)0x8AB20001)             /* a drawing system call failed */
#define OSD_E_INVALID_VALUE ((int32_t)0x8AB20010)    /* item count 0 */
#define OSD_E_INVALID_OBJECT ((int32_t)0x8AB20011)   /* renderer missing */
#define OSD_E_NULL_POINTER ((int32_t)0x8AB20012)     /* required pointer null */
#define OSD_E_BAD_SIZE ((int32_t)0x8AB20013)         /* record size wrong */
#define OSD_E_BAD_PIXEL_FORMAT ((int32_t)0x8AB20014) /* picture format not drawable */
#define OSD_E_BAD_PICTURE_SIZE ((int32_t)0x8AB20016) /* width or height <= 0 */
#define OSD_E_BAD_TEXT_LEVEL ((int32_t)0x8AB20017)   /* text level below OSD_TEXT_LEVEL_MIN */
#define OSD_E_BAD_COLOR_DEPTH ((int32_t)0x8AB20018)  /* desktop colour depth below 16 bits */
#define OSD_E_BUFFER_TOO_SMALL ((int32_t)0x8AB20020) /* picture data smaller than the picture */
#define OSD_E_OUT_OF_MEMORY ((int32_t)0x8AB20021)    /* work buffer not allocated */
#define OSD_E_FONT ((int32_t)0x8AB20023)             /* font not created */
#define OSD_E_BITMAP ((int32_t)0x8AB20024)           /* text bitmap not created */
#define OSD_E_MEMORY_DC ((int32_t)0x8AB20025)        /* memory device context not created */
#define OSD_E_BRUSH ((int32_t)0x8AB20026)            /* brush not created */

/* How a renderer draws; fields are used only where their flag is set. */
typedef struct tagOSD_SETTING {
    uint32_t dwSize;        /* OSD_SETTING_SIZE */
    uint32_t dwFlags;       /* OSD_FLAG_... */
    HFONT hFont;            /* with OSD_FLAG_USE_FONT */
    uint8_t byTextLevel;    /* with OSD_FLAG_TEXT_LEVEL: 8..255 */
    uint8_t byOutlineLevel; /* with OSD_FLAG_OUTLINE_LEVEL */
    uint16_t wMosaicWidth;  /* with OSD_FLAG_MOSAIC_SIZE */
    uint16_t wMosaicHeight; /* with OSD_FLAG_MOSAIC_SIZE */
    uint8_t abyReserved[6];
} OSD_SETTING;

/* Counters of a renderer. */
typedef struct tagOSD_STATUS {
    uint32_t dwSize;      /* OSD_STATUS_SIZE */
    uint32_t dwItemCount; /* items passed to successful draw calls */
    int64_t llDrawTime;   /* microseconds spent drawing */
    uint32_t dwReserved[2];
} OSD_STATUS;

#endif /* QVOSD_H */

/*
 * QVPlaySDK common definitions: calling convention, UTF-16 character type and,
 * outside Windows, the Windows record types the interface uses, with the same
 * layout as on Windows.
 */
#ifndef QVTYPES_H
#define QVTYPES_H

#include <stddef.h>
#include <stdint.h>

/* Exported functions and client callbacks use __stdcall on 32-bit Windows. */
#if defined(_WIN32) && !defined(_WIN64)
#define QV_CALL __stdcall
#else
#define QV_CALL
#endif

#ifdef __cplusplus
#define QV_EXTERN_C extern "C"
#define QV_BEGIN_DECLS extern "C" {
#define QV_END_DECLS }
#else
#define QV_EXTERN_C
#define QV_BEGIN_DECLS
#define QV_END_DECLS
#endif

/* Compile-time checks of record layouts, usable from C and C++. */
#ifdef __cplusplus
#define QV_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define QV_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* Four-character codes as little-endian 32-bit values ("YV12" = 0x32315659). */
#define QV_FOURCC(a, b, c, d)                                                                                \
    ((uint32_t)(uint8_t)(a) | ((uint32_t)(uint8_t)(b) << 8) | ((uint32_t)(uint8_t)(c) << 16) |               \
     ((uint32_t)(uint8_t)(d) << 24))

/* Records are declared as "typedef struct tagNAME { ... } NAME;" so that other
   headers can refer to "struct tagNAME" without including each other. */

#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
/* After <windows.h>, which they rely on. */
#include <mmsystem.h>

#include <mmreg.h>

/* UTF-16 text, as Windows wide strings. */
typedef wchar_t QV_WCHAR;

#else /* !_WIN32 */

/* UTF-16 text: char16_t in C++, a 16-bit unsigned integer in C (same ABI). */
#ifdef __cplusplus
typedef char16_t QV_WCHAR;
#else
typedef uint_least16_t QV_WCHAR;
#endif

typedef int32_t BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef int32_t INT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint32_t COLORREF;
typedef void *HANDLE;
typedef void *LPVOID;
typedef intptr_t LPARAM;
typedef uintptr_t WPARAM;
typedef intptr_t LRESULT;
/* A window is an X11 window id. */
typedef unsigned long HWND;
/* Device contexts and modules have no X11 counterpart with the same meaning;
   they are opaque pointers outside Windows. */
typedef void *HDC;
typedef void *HINSTANCE;
typedef void *HMODULE;
typedef void *HMONITOR;
/* A font is whatever the text renderer of the platform uses; opaque here. */
typedef void *HFONT;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *PRECT, *LPRECT;

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT, *PPOINT, *LPPOINT;

typedef struct tagSIZE {
    LONG cx;
    LONG cy;
} SIZE, *PSIZE, *LPSIZE;

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID, *LPGUID;
typedef const GUID *LPCGUID;

typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER;

typedef struct tagRGBQUAD {
    BYTE rgbBlue;
    BYTE rgbGreen;
    BYTE rgbRed;
    BYTE rgbReserved;
} RGBQUAD;

typedef struct tagBITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
} BITMAPINFOHEADER, *PBITMAPINFOHEADER, *LPBITMAPINFOHEADER;

typedef struct tagBITMAPINFO {
    BITMAPINFOHEADER bmiHeader;
    RGBQUAD bmiColors[1];
} BITMAPINFO, *PBITMAPINFO, *LPBITMAPINFO;

#pragma pack(push, 2)
typedef struct tagBITMAPFILEHEADER {
    WORD bfType;
    DWORD bfSize;
    WORD bfReserved1;
    WORD bfReserved2;
    DWORD bfOffBits;
} BITMAPFILEHEADER, *PBITMAPFILEHEADER;
#pragma pack(pop)

#pragma pack(push, 1)
typedef struct tWAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
} WAVEFORMATEX, *PWAVEFORMATEX, *LPWAVEFORMATEX;
#pragma pack(pop)

#ifndef BI_RGB
#define BI_RGB 0
#endif
#ifndef WAVE_FORMAT_PCM
#define WAVE_FORMAT_PCM 1
#endif
#ifndef INFINITE
#define INFINITE 0xFFFFFFFFu
#endif

#endif /* _WIN32 */

QV_STATIC_ASSERT(sizeof(QV_WCHAR) == 2, "UTF-16 code units are 16 bits");
QV_STATIC_ASSERT(sizeof(RECT) == 16, "RECT layout");
QV_STATIC_ASSERT(sizeof(SYSTEMTIME) == 16, "SYSTEMTIME layout");
QV_STATIC_ASSERT(sizeof(GUID) == 16, "GUID layout");
QV_STATIC_ASSERT(sizeof(BITMAPINFOHEADER) == 40, "BITMAPINFOHEADER layout");
QV_STATIC_ASSERT(sizeof(BITMAPFILEHEADER) == 14, "BITMAPFILEHEADER layout");
QV_STATIC_ASSERT(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX layout");

#endif /* QVTYPES_H */

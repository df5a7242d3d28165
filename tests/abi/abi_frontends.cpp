// Record layouts of the front-end families. On 32-bit Windows every record
// must match the published layout byte for byte. Elsewhere pointer-holding
// fields grow, so the records are checked for natural layout instead: fields in
// declared order with no padding beyond their own alignment, 32-bit fields 4
// bytes, pointer fields pointer-sized, and records without pointers exactly
// their 32-bit size. Compiling this file is the test.
#include "qvhx.h"
#include "qvplay.h"
#include "qvplay2.h"
#include "qvplaym4.h"
#include "qvplayport.h"

#include <cstddef>
#include <type_traits>

namespace {

constexpr size_t AlignUp(size_t n, size_t a) {
    return (n + a - 1) / a * a;
}

} // namespace

#define QV_FIELD_TYPE(T, f) decltype(((T *)nullptr)->f)
#define QV_FIELD_END(T, f) (offsetof(T, f) + sizeof(QV_FIELD_TYPE(T, f)))

// Layout rules that hold on every target.
#define QV_FIRST(T, f) static_assert(offsetof(T, f) == 0, #T "." #f " opens the record")
#define QV_FOLLOWS(T, prev, next)                                                                            \
    static_assert(offsetof(T, next) == AlignUp(QV_FIELD_END(T, prev), alignof(QV_FIELD_TYPE(T, next))),      \
                  #T "." #next " directly follows " #prev)
#define QV_LAST(T, f) static_assert(sizeof(T) == AlignUp(QV_FIELD_END(T, f), alignof(T)), #T " ends with " #f)
#define QV_U16(T, f) static_assert(sizeof(QV_FIELD_TYPE(T, f)) == 2, #T "." #f " is 16-bit")
#define QV_U32(T, f) static_assert(sizeof(QV_FIELD_TYPE(T, f)) == 4, #T "." #f " is 32-bit")
#define QV_U64(T, f) static_assert(sizeof(QV_FIELD_TYPE(T, f)) == 8, #T "." #f " is 64-bit")
#define QV_PTR(T, f)                                                                                         \
    static_assert(sizeof(QV_FIELD_TYPE(T, f)) == sizeof(void *), #T "." #f " is pointer-sized")
#define QV_BYTES(T, f, n) static_assert(sizeof(QV_FIELD_TYPE(T, f)) == (n), #T "." #f " size")

// Exact placement, for the published 32-bit layout.
#define QV_AT(T, f, off) static_assert(offsetof(T, f) == (off), #T "." #f " offset")
#define QV_SIZE(T, n) static_assert(sizeof(T) == (n), #T " size")

// ---------------------------------------------------------------------------
// PLAY2_FRAME_INFO: common head, then the audio or the video half.

QV_FIRST(PLAY2_FRAME_INFO, pFrame);
QV_PTR(PLAY2_FRAME_INFO, pFrame);
QV_FOLLOWS(PLAY2_FRAME_INFO, pFrame, dwReserved);
QV_BYTES(PLAY2_FRAME_INFO, dwReserved, 8);
QV_FOLLOWS(PLAY2_FRAME_INFO, dwReserved, dwType);
QV_U32(PLAY2_FRAME_INFO, dwType);
QV_FOLLOWS(PLAY2_FRAME_INFO, dwType, dwHeaderLength);
QV_U32(PLAY2_FRAME_INFO, dwHeaderLength);
QV_FOLLOWS(PLAY2_FRAME_INFO, dwHeaderLength, pHeader);
QV_PTR(PLAY2_FRAME_INFO, pHeader);
QV_FOLLOWS(PLAY2_FRAME_INFO, pHeader, dwPayloadLength);
QV_U32(PLAY2_FRAME_INFO, dwPayloadLength);
QV_FOLLOWS(PLAY2_FRAME_INFO, dwPayloadLength, pPayload);
QV_PTR(PLAY2_FRAME_INFO, pPayload);

QV_FOLLOWS(PLAY2_FRAME_INFO, pPayload, u.audio.wChannels);
QV_U16(PLAY2_FRAME_INFO, u.audio.wChannels);
QV_FOLLOWS(PLAY2_FRAME_INFO, u.audio.wChannels, u.audio.wBitsPerSample);
QV_U16(PLAY2_FRAME_INFO, u.audio.wBitsPerSample);
QV_FOLLOWS(PLAY2_FRAME_INFO, u.audio.wBitsPerSample, u.audio.dwSamplesPerSec);
QV_U32(PLAY2_FRAME_INFO, u.audio.dwSamplesPerSec);
QV_FOLLOWS(PLAY2_FRAME_INFO, u.audio.dwSamplesPerSec, u.audio.pPcm);
QV_PTR(PLAY2_FRAME_INFO, u.audio.pPcm);
QV_FOLLOWS(PLAY2_FRAME_INFO, u.audio.pPcm, u.audio.dwPcmSize);
QV_U32(PLAY2_FRAME_INFO, u.audio.dwPcmSize);
QV_FOLLOWS(PLAY2_FRAME_INFO, u.audio.dwPcmSize, u.audio.dwReserved);
QV_BYTES(PLAY2_FRAME_INFO, u.audio.dwReserved, 48);
QV_LAST(PLAY2_FRAME_INFO, u.audio.dwReserved);

QV_FOLLOWS(PLAY2_FRAME_INFO, pPayload, u.video.dwWidth);
QV_U32(PLAY2_FRAME_INFO, u.video.dwWidth);
QV_FOLLOWS(PLAY2_FRAME_INFO, u.video.dwWidth, u.video.dwHeight);
QV_U32(PLAY2_FRAME_INFO, u.video.dwHeight);
QV_FOLLOWS(PLAY2_FRAME_INFO, u.video.dwHeight, u.video.ullFileOffset);
QV_U64(PLAY2_FRAME_INFO, u.video.ullFileOffset);
QV_FOLLOWS(PLAY2_FRAME_INFO, u.video.ullFileOffset, u.video.stTime);
QV_BYTES(PLAY2_FRAME_INFO, u.video.stTime, 16);
QV_FOLLOWS(PLAY2_FRAME_INFO, u.video.stTime, u.video.dwSequence);
QV_U32(PLAY2_FRAME_INFO, u.video.dwSequence);
QV_FOLLOWS(PLAY2_FRAME_INFO, u.video.dwSequence, u.video.dwTimeStamp);
QV_U32(PLAY2_FRAME_INFO, u.video.dwTimeStamp);
QV_FOLLOWS(PLAY2_FRAME_INFO, u.video.dwTimeStamp, u.video.dwFourCC);
QV_U32(PLAY2_FRAME_INFO, u.video.dwFourCC);
QV_FOLLOWS(PLAY2_FRAME_INFO, u.video.dwFourCC, u.video.pPicture);
QV_PTR(PLAY2_FRAME_INFO, u.video.pPicture);
QV_FOLLOWS(PLAY2_FRAME_INFO, u.video.pPicture, u.video.dwPictureSize);
QV_U32(PLAY2_FRAME_INFO, u.video.dwPictureSize);
QV_FOLLOWS(PLAY2_FRAME_INFO, u.video.dwPictureSize, u.video.dwReserved);
QV_BYTES(PLAY2_FRAME_INFO, u.video.dwReserved, 12);
QV_LAST(PLAY2_FRAME_INFO, u.video.dwReserved);

// PLAY2_EXTENSION: one client function per callback kind.
QV_FIRST(PLAY2_EXTENSION, pfnFileIndexCompleted);
QV_PTR(PLAY2_EXTENSION, pfnFileIndexCompleted);
QV_FOLLOWS(PLAY2_EXTENSION, pfnFileIndexCompleted, pfnFileEnded);
QV_PTR(PLAY2_EXTENSION, pfnFileEnded);
QV_FOLLOWS(PLAY2_EXTENSION, pfnFileEnded, pfnBufferAlmostEmpty);
QV_PTR(PLAY2_EXTENSION, pfnBufferAlmostEmpty);
QV_FOLLOWS(PLAY2_EXTENSION, pfnBufferAlmostEmpty, pfnStreamParse);
QV_PTR(PLAY2_EXTENSION, pfnStreamParse);
QV_FOLLOWS(PLAY2_EXTENSION, pfnStreamParse, pfnDecode);
QV_PTR(PLAY2_EXTENSION, pfnDecode);
QV_FOLLOWS(PLAY2_EXTENSION, pfnDecode, pfnDcRender);
QV_PTR(PLAY2_EXTENSION, pfnDcRender);
QV_LAST(PLAY2_EXTENSION, pfnDcRender);

// ---------------------------------------------------------------------------
// Port family records. FRAME_INFO and FRAME_TIME hold no pointers, so their
// layout is the same on every target.

QV_SIZE(FRAME_INFO, 20);
QV_AT(FRAME_INFO, nWidth, 0);
QV_AT(FRAME_INFO, nHeight, 4);
QV_AT(FRAME_INFO, nStamp, 8);
QV_AT(FRAME_INFO, nType, 12);
QV_AT(FRAME_INFO, nFrameRate, 16);
QV_U32(FRAME_INFO, nWidth);
QV_U32(FRAME_INFO, nHeight);
QV_U32(FRAME_INFO, nStamp);
QV_U32(FRAME_INFO, nType);
QV_U32(FRAME_INFO, nFrameRate);

QV_SIZE(FRAME_TIME, 16);
QV_AT(FRAME_TIME, wYear, 0);
QV_AT(FRAME_TIME, wMonth, 2);
QV_AT(FRAME_TIME, wDay, 4);
QV_AT(FRAME_TIME, wHour, 6);
QV_AT(FRAME_TIME, wMinute, 8);
QV_AT(FRAME_TIME, wSecond, 10);
QV_AT(FRAME_TIME, wMilliseconds, 12);
QV_AT(FRAME_TIME, wDayOfWeek, 14);
QV_U16(FRAME_TIME, wYear);
QV_U16(FRAME_TIME, wDayOfWeek);

QV_FIRST(PARSE_INFO, dwSequence);
QV_U32(PARSE_INFO, dwSequence);
QV_FOLLOWS(PARSE_INFO, dwSequence, wFrameKind);
QV_U16(PARSE_INFO, wFrameKind);
QV_FOLLOWS(PARSE_INFO, wFrameKind, wReserved1);
QV_U16(PARSE_INFO, wReserved1);
QV_FOLLOWS(PARSE_INFO, wReserved1, wWidth);
QV_U16(PARSE_INFO, wWidth);
QV_FOLLOWS(PARSE_INFO, wWidth, wHeight);
QV_U16(PARSE_INFO, wHeight);
QV_FOLLOWS(PARSE_INFO, wHeight, dwTimeStamp);
QV_U32(PARSE_INFO, dwTimeStamp);
QV_FOLLOWS(PARSE_INFO, dwTimeStamp, stTime);
QV_BYTES(PARSE_INFO, stTime, 16);
QV_FOLLOWS(PARSE_INFO, stTime, dwReserved2);
QV_BYTES(PARSE_INFO, dwReserved2, 24);
QV_FOLLOWS(PARSE_INFO, dwReserved2, ullFileOffset);
QV_U64(PARSE_INFO, ullFileOffset);
QV_FOLLOWS(PARSE_INFO, ullFileOffset, dwHeaderLength);
QV_U32(PARSE_INFO, dwHeaderLength);
QV_FOLLOWS(PARSE_INFO, dwHeaderLength, pHeader);
QV_PTR(PARSE_INFO, pHeader);
QV_FOLLOWS(PARSE_INFO, pHeader, dwPayloadLength);
QV_U32(PARSE_INFO, dwPayloadLength);
QV_FOLLOWS(PARSE_INFO, dwPayloadLength, pPayload);
QV_PTR(PARSE_INFO, pPayload);
QV_FOLLOWS(PARSE_INFO, pPayload, dwReserved3);
QV_BYTES(PARSE_INFO, dwReserved3, 32);
QV_LAST(PARSE_INFO, dwReserved3);

QV_FIRST(DECODE_OUTPUT, nType);
QV_U32(DECODE_OUTPUT, nType);
QV_FOLLOWS(DECODE_OUTPUT, nType, dwSize);
QV_U32(DECODE_OUTPUT, dwSize);
QV_FOLLOWS(DECODE_OUTPUT, dwSize, pBuffer);
QV_PTR(DECODE_OUTPUT, pBuffer);
QV_FOLLOWS(DECODE_OUTPUT, pBuffer, nWidth);
QV_U32(DECODE_OUTPUT, nWidth);
QV_FOLLOWS(DECODE_OUTPUT, nWidth, nHeight);
QV_U32(DECODE_OUTPUT, nHeight);
QV_FOLLOWS(DECODE_OUTPUT, nHeight, dwTimeStamp);
QV_U32(DECODE_OUTPUT, dwTimeStamp);
QV_FOLLOWS(DECODE_OUTPUT, dwTimeStamp, dwSamplesPerSec);
QV_U32(DECODE_OUTPUT, dwSamplesPerSec);
QV_FOLLOWS(DECODE_OUTPUT, dwSamplesPerSec, dwBitsPerSample);
QV_U32(DECODE_OUTPUT, dwBitsPerSample);
QV_LAST(DECODE_OUTPUT, dwBitsPerSample);

// ---------------------------------------------------------------------------
// HX family records.

QV_SIZE(HX_FRAME_INFO, 20);
QV_AT(HX_FRAME_INFO, nWidth, 0);
QV_AT(HX_FRAME_INFO, nHeight, 4);
QV_AT(HX_FRAME_INFO, dwTimeStamp, 8);
QV_AT(HX_FRAME_INFO, nType, 12);
QV_AT(HX_FRAME_INFO, nFrameRate, 16);
QV_U32(HX_FRAME_INFO, nWidth);
QV_U32(HX_FRAME_INFO, nHeight);
QV_U32(HX_FRAME_INFO, dwTimeStamp);
QV_U32(HX_FRAME_INFO, nType);
QV_U32(HX_FRAME_INFO, nFrameRate);

QV_FIRST(HX_EXTENSION, hRecordFile);
QV_PTR(HX_EXTENSION, hRecordFile);
QV_FOLLOWS(HX_EXTENSION, hRecordFile, hEndWnd);
QV_PTR(HX_EXTENSION, hEndWnd);
QV_FOLLOWS(HX_EXTENSION, hEndWnd, nEndMsg);
QV_U32(HX_EXTENSION, nEndMsg);
QV_FOLLOWS(HX_EXTENSION, nEndMsg, wEndParam);
QV_PTR(HX_EXTENSION, wEndParam);
QV_FOLLOWS(HX_EXTENSION, wEndParam, lEndParam);
QV_PTR(HX_EXTENSION, lEndParam);
QV_FOLLOWS(HX_EXTENSION, lEndParam, dwReserved1);
QV_BYTES(HX_EXTENSION, dwReserved1, 12);
QV_FOLLOWS(HX_EXTENSION, dwReserved1, hSnapshotWnd);
QV_PTR(HX_EXTENSION, hSnapshotWnd);
QV_FOLLOWS(HX_EXTENSION, hSnapshotWnd, nSnapshotMsg);
QV_U32(HX_EXTENSION, nSnapshotMsg);
QV_FOLLOWS(HX_EXTENSION, nSnapshotMsg, wSnapshotParam);
QV_PTR(HX_EXTENSION, wSnapshotParam);
QV_FOLLOWS(HX_EXTENSION, wSnapshotParam, lSnapshotParam);
QV_PTR(HX_EXTENSION, lSnapshotParam);
QV_FOLLOWS(HX_EXTENSION, lSnapshotParam, dwReserved2);
QV_BYTES(HX_EXTENSION, dwReserved2, 12);
QV_FOLLOWS(HX_EXTENSION, dwReserved2, hRecordSizeWnd);
QV_PTR(HX_EXTENSION, hRecordSizeWnd);
QV_FOLLOWS(HX_EXTENSION, hRecordSizeWnd, nRecordSizeMsg);
QV_U32(HX_EXTENSION, nRecordSizeMsg);
QV_FOLLOWS(HX_EXTENSION, nRecordSizeMsg, wRecordSizeParam);
QV_PTR(HX_EXTENSION, wRecordSizeParam);
QV_FOLLOWS(HX_EXTENSION, wRecordSizeParam, lRecordSizeParam);
QV_PTR(HX_EXTENSION, lRecordSizeParam);
QV_FOLLOWS(HX_EXTENSION, lRecordSizeParam, dwReserved3);
QV_BYTES(HX_EXTENSION, dwReserved3, 12);
QV_FOLLOWS(HX_EXTENSION, dwReserved3, pfnDecode);
QV_PTR(HX_EXTENSION, pfnDecode);
QV_FOLLOWS(HX_EXTENSION, pfnDecode, pfnDraw);
QV_PTR(HX_EXTENSION, pfnDraw);
QV_LAST(HX_EXTENSION, pfnDraw);

// HX_QueryFunction's name table: as many names as announced, each naming a
// declared HX_ function, and spelled as written even where windows.h defines
// a macro of the same name (PlaySound).
namespace {

constexpr bool SameText(const char *a, const char *b) {
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

#define QV_HX_NAME(name) #name,
constexpr const char *kHxFunctionNames[] = {HX_FOR_EACH_FUNCTION(QV_HX_NAME)};
#undef QV_HX_NAME

} // namespace

static_assert(sizeof(kHxFunctionNames) / sizeof(kHxFunctionNames[0]) == HX_FUNCTION_COUNT,
              "HX_FUNCTION_COUNT matches the name table");
static_assert(SameText(kHxFunctionNames[0], "OpenFile") && SameText(kHxFunctionNames[6], "PlaySound") &&
                  SameText(kHxFunctionNames[HX_FUNCTION_COUNT - 1], "SetDrawCallBack"),
              "HX name table order");
#define QV_HX_DECLARED(name)                                                                                 \
    static_assert(std::is_function_v<decltype(HX_##name)>, "HX_" #name " is declared");
HX_FOR_EACH_FUNCTION(QV_HX_DECLARED)
#undef QV_HX_DECLARED

// The handle-based families hand out the core's own handle.
static_assert(std::is_same_v<PLAY2_HANDLE, PLAY_HANDLE>, "PLAY2_HANDLE is the core handle");
static_assert(std::is_same_v<HX_HANDLE, PLAY_HANDLE>, "HX_HANDLE is the core handle");

// The instance handle is returned in place of a pointer-sized -1 on failure.
static_assert(sizeof(QV_INSTANCE) == sizeof(void *), "instance handles are pointer-sized");

#if defined(_WIN32) && !defined(_WIN64)

// ---------------------------------------------------------------------------
// The published 32-bit layouts.

QV_SIZE(PLAY2_FRAME_INFO, 96);
QV_AT(PLAY2_FRAME_INFO, pFrame, 0);
QV_AT(PLAY2_FRAME_INFO, dwReserved, 4);
QV_AT(PLAY2_FRAME_INFO, dwType, 12);
QV_AT(PLAY2_FRAME_INFO, dwHeaderLength, 16);
QV_AT(PLAY2_FRAME_INFO, pHeader, 20);
QV_AT(PLAY2_FRAME_INFO, dwPayloadLength, 24);
QV_AT(PLAY2_FRAME_INFO, pPayload, 28);
QV_AT(PLAY2_FRAME_INFO, u.audio.wChannels, 32);
QV_AT(PLAY2_FRAME_INFO, u.audio.wBitsPerSample, 34);
QV_AT(PLAY2_FRAME_INFO, u.audio.dwSamplesPerSec, 36);
QV_AT(PLAY2_FRAME_INFO, u.audio.pPcm, 40);
QV_AT(PLAY2_FRAME_INFO, u.audio.dwPcmSize, 44);
QV_AT(PLAY2_FRAME_INFO, u.audio.dwReserved, 48);
QV_AT(PLAY2_FRAME_INFO, u.video.dwWidth, 32);
QV_AT(PLAY2_FRAME_INFO, u.video.dwHeight, 36);
QV_AT(PLAY2_FRAME_INFO, u.video.ullFileOffset, 40);
QV_AT(PLAY2_FRAME_INFO, u.video.stTime, 48);
QV_AT(PLAY2_FRAME_INFO, u.video.dwSequence, 64);
QV_AT(PLAY2_FRAME_INFO, u.video.dwTimeStamp, 68);
QV_AT(PLAY2_FRAME_INFO, u.video.dwFourCC, 72);
QV_AT(PLAY2_FRAME_INFO, u.video.pPicture, 76);
QV_AT(PLAY2_FRAME_INFO, u.video.dwPictureSize, 80);
QV_AT(PLAY2_FRAME_INFO, u.video.dwReserved, 84);

QV_SIZE(PLAY2_EXTENSION, 24);
QV_AT(PLAY2_EXTENSION, pfnFileIndexCompleted, 0);
QV_AT(PLAY2_EXTENSION, pfnFileEnded, 4);
QV_AT(PLAY2_EXTENSION, pfnBufferAlmostEmpty, 8);
QV_AT(PLAY2_EXTENSION, pfnStreamParse, 12);
QV_AT(PLAY2_EXTENSION, pfnDecode, 16);
QV_AT(PLAY2_EXTENSION, pfnDcRender, 20);

QV_SIZE(PARSE_INFO, 112);
QV_AT(PARSE_INFO, dwSequence, 0);
QV_AT(PARSE_INFO, wFrameKind, 4);
QV_AT(PARSE_INFO, wWidth, 8);
QV_AT(PARSE_INFO, wHeight, 10);
QV_AT(PARSE_INFO, dwTimeStamp, 12);
QV_AT(PARSE_INFO, stTime, 16);
QV_AT(PARSE_INFO, ullFileOffset, 56);
QV_AT(PARSE_INFO, dwHeaderLength, 64);
QV_AT(PARSE_INFO, pHeader, 68);
QV_AT(PARSE_INFO, dwPayloadLength, 72);
QV_AT(PARSE_INFO, pPayload, 76);

QV_SIZE(DECODE_OUTPUT, 32);
QV_AT(DECODE_OUTPUT, nType, 0);
QV_AT(DECODE_OUTPUT, dwSize, 4);
QV_AT(DECODE_OUTPUT, pBuffer, 8);
QV_AT(DECODE_OUTPUT, nWidth, 12);
QV_AT(DECODE_OUTPUT, nHeight, 16);
QV_AT(DECODE_OUTPUT, dwTimeStamp, 20);
QV_AT(DECODE_OUTPUT, dwSamplesPerSec, 24);
QV_AT(DECODE_OUTPUT, dwBitsPerSample, 28);

// Twenty-four 32-bit fields: record file 0, file-end message 1 to 4,
// snapshot message 8 to 11, record-size message 15 to 18, functions 22, 23.
QV_SIZE(HX_EXTENSION, 96);
QV_AT(HX_EXTENSION, hRecordFile, 0 * 4);
QV_AT(HX_EXTENSION, hEndWnd, 1 * 4);
QV_AT(HX_EXTENSION, nEndMsg, 2 * 4);
QV_AT(HX_EXTENSION, wEndParam, 3 * 4);
QV_AT(HX_EXTENSION, lEndParam, 4 * 4);
QV_AT(HX_EXTENSION, hSnapshotWnd, 8 * 4);
QV_AT(HX_EXTENSION, nSnapshotMsg, 9 * 4);
QV_AT(HX_EXTENSION, wSnapshotParam, 10 * 4);
QV_AT(HX_EXTENSION, lSnapshotParam, 11 * 4);
QV_AT(HX_EXTENSION, hRecordSizeWnd, 15 * 4);
QV_AT(HX_EXTENSION, nRecordSizeMsg, 16 * 4);
QV_AT(HX_EXTENSION, wRecordSizeParam, 17 * 4);
QV_AT(HX_EXTENSION, lRecordSizeParam, 18 * 4);
QV_AT(HX_EXTENSION, pfnDecode, 22 * 4);
QV_AT(HX_EXTENSION, pfnDraw, 23 * 4);

#endif

/*
 * A client written in C against the public headers alone, the way clients
 * in C and other languages' foreign-function interfaces use the library: it
 * is built for every target (on 32-bit Windows it links the stdcall import
 * library, so every call's argument size must match the export) and run
 * against a V30 recording given on the command line.
 *
 * Exit status 0 when every check held; otherwise the first failed check is
 * printed and the status is 1 (2 for a usage error).
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "all_exports.h"
#include "qvdemux.h"
#include "qvdisplay.h"
#include "qvhx.h"
#include "qvplay.h"
#include "qvplay2.h"
#include "qvplaym4.h"
#include "qvplayport.h"

static int g_failed = 0;

#define CHECK(cond)                                                                                          \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            fprintf(stderr, "qv_c_client: %s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);            \
            g_failed = 1;                                                                                    \
            return 1;                                                                                        \
        }                                                                                                    \
    } while (0)

/* Counts the frames the handle-based family's parse adapter hands over. */
typedef struct ParseCount {
    PLAY2_HANDLE hPlay;
    unsigned video;
    unsigned audio;
    unsigned wrongHandle;
} ParseCount;

static int32_t QV_CALL OnParse(PLAY2_HANDLE hPlay, const PLAY2_FRAME_INFO *pInfo, void *pContext) {
    ParseCount *pCount = (ParseCount *)pContext;
    if (hPlay != pCount->hPlay || pInfo == NULL || pInfo->pFrame != NULL)
        pCount->wrongHandle++;
    else if (pInfo->dwType == 1)
        pCount->audio++;
    else if (pInfo->dwType >= 2 && pInfo->dwType <= 5)
        pCount->video++;
    return 0;
}

/* The handle-based family: open, read the recording's figures, pull decoded
   frames and take them back. */
static int RunHandleFamily(const char *path) {
    PLAY2_HANDLE hPlay = NULL;
    DWORD dwWidth = 0, dwHeight = 0, dwMode = 0, dwFlags = 0;
    ULONGLONG ullFileSize = 0;
    StreamInfo info;
    PLAY2_FRAME_INFO frame;
    ParseCount count;
    unsigned pictures = 0, i;

    CHECK(QV_PLAY2_OpenFileA(&hPlay, path) == PLAY_OK);
    CHECK(hPlay != NULL);
    CHECK(QV_PLAY2_GetMode(hPlay, &dwMode) == PLAY_OK && dwMode == PLAY_MODE_FILE);
    CHECK(QV_PLAY2_GetFileSize(hPlay, &ullFileSize) == PLAY_OK && ullFileSize > 0);
    memset(&info, 0, sizeof(info));
    CHECK(QV_PLAY2_GetDemuxProperty(hPlay, &info) == PLAY_OK);
    CHECK(info.dwGeneration == DEMUX_GENERATION_V30);

    memset(&count, 0, sizeof(count));
    count.hPlay = hPlay;
    CHECK(QV_PLAY2_RegisterStreamParseCallback(hPlay, OnParse, &count) == PLAY_OK);
    CHECK(QV_PLAY2_GetEnableFlag(hPlay, &dwFlags) == PLAY_OK);
    CHECK(QV_PLAY2_SetEnableFlag(hPlay, dwFlags | PLAY_ENABLE_DECODE_ON_DEMAND) == PLAY_OK);

    /* Pull the first second of frames. */
    for (i = 0; i < 50; ++i) {
        memset(&frame, 0, sizeof(frame));
        CHECK(QV_PLAY2_GetDecodeFrame(hPlay, PLAY_PIXEL_FORMAT_I420, &frame) == PLAY_OK);
        CHECK(frame.pFrame != NULL);
        if (frame.dwType >= 2 && frame.dwType <= 5) {
            CHECK(frame.u.video.dwWidth == 704 && frame.u.video.dwHeight == 576);
            /* Pictures come in the decoder's own layout, whatever was asked. */
            CHECK(frame.u.video.dwFourCC == PLAY_PIXEL_FORMAT_YV12);
            CHECK(frame.u.video.pPicture != NULL && frame.u.video.dwPictureSize == 704 * 576 * 3 / 2);
            ++pictures;
        } else {
            CHECK(frame.dwType == 1);
            CHECK(frame.u.audio.wBitsPerSample == 16 && frame.u.audio.dwSamplesPerSec == 8000);
        }
        CHECK(QV_PLAY2_FreeDecodeFrame(hPlay, &frame) == PLAY_OK);
        CHECK(frame.pFrame == NULL && frame.dwType == 0);
    }
    CHECK(pictures >= 20);
    CHECK(count.wrongHandle == 0 && count.video >= pictures && count.audio > 0);

    CHECK(QV_PLAY2_GetPictureSize(hPlay, &dwWidth, &dwHeight) == PLAY_OK);
    CHECK(dwWidth == 704 && dwHeight == 576);
    CHECK(QV_PLAY2_GetDecodeFrame(hPlay, PLAY_PIXEL_FORMAT_I420, NULL) == PLAY_E_NULL_POINTER);
    CHECK(QV_PLAY2_Close(hPlay) == PLAY_OK);
    CHECK(QV_PLAY2_Close(hPlay) == PLAY_E_INVALID_HANDLE);
    return 0;
}

/* The port family: a port from the Ex range, the file head, pull decoding
   into the client's buffer (asking for the size first), statistics. */
static int RunPortFamily(const char *path) {
    LONG nPort, nWidth = 0, nHeight = 0;
    DECODE_OUTPUT out;
    DWORD dwRemaining = 0, dwHeadSize = 0;
    BYTE head[QV_PLAY_FILE_HEAD_SIZE];
    BYTE *pBuffer;
    unsigned pictures = 0, i;

    nPort = QV_PLAY_OpenFileExA(path);
    CHECK(nPort >= QV_PLAY_FIRST_AUTO_PORT && nPort <= QV_PLAY_MAX_PORT);
    CHECK(QV_PLAY_OpenFileA(nPort, path) == FALSE); /* the port is taken */

    CHECK(QV_PLAY_GetFileHead(nPort, NULL, &dwHeadSize) == TRUE && dwHeadSize == QV_PLAY_FILE_HEAD_SIZE);
    CHECK(QV_PLAY_GetFileHead(nPort, head, &dwHeadSize) == TRUE);
    CHECK(memcmp(head, "ZEMASTREAMV30", 13) == 0);

    /* The size of a picture first, then the pictures. */
    memset(&out, 0, sizeof(out));
    CHECK(QV_PLAY_DecodeOneFrame(nPort, NULL, 0, QV_PLAY_TYPE_I420, &out, &dwRemaining) == TRUE);
    CHECK(out.dwSize == 704 * 576 * 3 / 2);
    CHECK(dwRemaining >= 1);
    pBuffer = (BYTE *)malloc(704 * 576 * 2);
    CHECK(pBuffer != NULL);
    for (i = 0; i < 50; ++i) {
        memset(&out, 0, sizeof(out));
        out.pBuffer = pBuffer;
        out.dwSize = 704 * 576 * 2;
        if (QV_PLAY_DecodeOneFrame(nPort, NULL, 0, QV_PLAY_TYPE_I420, &out, &dwRemaining) != TRUE)
            break;
        if (out.nType == (LONG)PLAY_PIXEL_FORMAT_YV12) {
            if (out.nWidth != 704 || out.nHeight != 576 || out.dwSize != 704 * 576 * 3 / 2)
                break;
            ++pictures;
        } else if (out.nType != QV_PLAY_TYPE_AUDIO16 || out.dwBitsPerSample != 16) {
            break;
        }
    }
    free(pBuffer);
    CHECK(i == 50);
    CHECK(pictures >= 20);
    CHECK(QV_PLAY_GetPictureSize(nPort, &nWidth, &nHeight) == TRUE && nWidth == 704 && nHeight == 576);
    CHECK(QV_PLAY_GetPictureSize(nPort, NULL, &nHeight) == FALSE);
    CHECK(QV_PLAY_GetLastError(nPort) == 0);
    CHECK(QV_PLAY_GetStreamOpenMode(nPort) == -1);
    CHECK(QV_PLAY_CloseFile(nPort) == TRUE);
    CHECK(QV_PLAY_CloseFile(nPort) == FALSE);
    CHECK(QV_PLAY_Pause(QV_PLAY_MAX_PORT + 1) == FALSE);
    return 0;
}

/* The PlayM4 names, an instance, and the HX function table. */
static int RunOtherFamilies(const char *path) {
    LONG nHeight = 0;
    DWORD dwVersion = 0, dwHeight = 0;
    BOOL bFound = FALSE;
    HX_HANDLE hHx = NULL;
    QV_INSTANCE hInstance;

    CHECK(QV_PlayM4_GetFileHeadLength() == QV_PLAYM4_FILE_HEAD_LENGTH);
    CHECK(QV_PlayM4_OpenFile(321, path) == TRUE);
    CHECK(QV_PlayM4_OpenFile(321, path) == FALSE); /* the port is taken */
    CHECK(QV_PlayM4_GetPictureSize(321, NULL, &nHeight) == FALSE);
    CHECK(QV_PlayM4_CloseFile(321) == TRUE);

    hInstance = GetInstance();
    CHECK(hInstance != QV_INSTANCE_INVALID);
    CHECK(Stop(hInstance) == QV_INSTANCE_E_FAIL); /* never opened */
    CHECK(ReleaseInstance(hInstance) == QV_INSTANCE_OK);

    CHECK(HX_GetVersion(&dwVersion) == HX_OK && dwVersion == HX_VERSION);
    CHECK(HX_QueryFunction("snapshot", &bFound) == HX_OK && bFound == TRUE);
    CHECK(HX_QueryFunction("Record", &bFound) == HX_E_NOT_OFFERED && bFound == FALSE);
    CHECK(HX_OpenFile(path, &hHx) == HX_OK && hHx != NULL);
    CHECK(HX_GetPictureSize(hHx, NULL, &dwHeight) == HX_E_BAD_ARGUMENT);
    CHECK(HX_CloseFile(hHx) == HX_OK);
    return 0;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: qv_c_client RECORDING.qv (a V30 recording of 704x576 video)\n");
        return 2;
    }
    if (QvExportedFunctionCount() != 266) {
        fprintf(stderr, "qv_c_client: %u of the 266 exported functions resolved\n",
                QvExportedFunctionCount());
        return 1;
    }
    if (RunHandleFamily(argv[1]) != 0 || RunPortFamily(argv[1]) != 0 || RunOtherFamilies(argv[1]) != 0 ||
        g_failed)
        return 1;
    printf("qv_c_client: every family answered as documented\n");
    return 0;
}

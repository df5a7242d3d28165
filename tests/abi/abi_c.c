/* Every public header must compile as plain C, together, in every preset. */
#include "qvaudio.h"
#include "qvdemux.h"
#include "qvdisplay.h"
#include "qvhx.h"
#include "qvosd.h"
#include "qvplay.h"
#include "qvplay2.h"
#include "qvplaym4.h"
#include "qvplayport.h"
#include "qvsound.h"
#include "qvtypes.h"
#include "qvvdec.h"
#include "qvvoice.h"

/* A C compiler lays the records out as the C++ checks expect. */
#if defined(_WIN32) && !defined(_WIN64)
QV_STATIC_ASSERT(sizeof(PLAY_CREATE_PARAM) == 32, "open record");
QV_STATIC_ASSERT(sizeof(FrameRecord) == 80, "frame record");
QV_STATIC_ASSERT(sizeof(OsdItem) == 2832, "OSD item");
QV_STATIC_ASSERT(sizeof(PLAY2_FRAME_INFO) == 96, "PLAY2 frame info");
QV_STATIC_ASSERT(sizeof(PARSE_INFO) == 112, "parse info");
#endif

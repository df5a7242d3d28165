# 32-bit Windows with mingw-w64: the DLL our clients load.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QV_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# SSE2, which every processor the DLL is meant for has: the colour and field
# steps compile their 16-byte kernels instead of the portable loops.
# Arithmetic stays on the x87 unit (no -mfpmath=sse), so no float result
# moves. Read at the first configure of a build tree only.
set(CMAKE_C_FLAGS_INIT "-msse2")
set(CMAKE_CXX_FLAGS_INIT "-msse2")

# FFmpeg's libavcodec (h264 decoder only), the H.264 decoding core.
# Linux: Debian's libavcodec-dev. Windows: the DLLs scripts/setup builds under
# ~/.cache/qvplay/ffmpeg-<version>-<key>-<triplet>/, copied beside
# QVPlaySDK.dll. Provides the targets qv_ffmpeg (libavcodec, for the library)
# and qv_ffmpeg_format (libavformat too, for qvplay export) and, on Windows,
# QV_FFMPEG_DLLS.
if(WIN32)
  if(DEFINED ENV{QVPLAY_CACHE})
    set(qv_cache $ENV{QVPLAY_CACHE})
  else()
    set(qv_cache $ENV{HOME}/.cache/qvplay)
  endif()
  # scripts/setup names the build it made or found for this triplet.
  set(qv_ff_current ${qv_cache}/ffmpeg-current-${QV_MINGW_TRIPLET})
  set(qv_ff_default "")
  if(EXISTS ${qv_ff_current})
    file(STRINGS ${qv_ff_current} qv_ff_default LIMIT_COUNT 1)
  endif()
  set(QV_FFMPEG_ROOT "${qv_ff_default}" CACHE PATH "FFmpeg built for this Windows triplet")
  if(NOT EXISTS "${QV_FFMPEG_ROOT}/.done")
    message(FATAL_ERROR "FFmpeg for ${QV_MINGW_TRIPLET} not found under ${qv_cache}; run scripts/setup")
  endif()
  add_library(qv_ffmpeg INTERFACE)
  target_include_directories(qv_ffmpeg INTERFACE ${QV_FFMPEG_ROOT}/include)
  target_link_libraries(qv_ffmpeg INTERFACE
    ${QV_FFMPEG_ROOT}/lib/libavcodec.dll.a ${QV_FFMPEG_ROOT}/lib/libavutil.dll.a)
  add_library(qv_ffmpeg_format INTERFACE)
  target_link_libraries(qv_ffmpeg_format INTERFACE qv_ffmpeg ${QV_FFMPEG_ROOT}/lib/libavformat.dll.a)
  file(GLOB QV_FFMPEG_DLLS ${QV_FFMPEG_ROOT}/bin/*.dll)
  # avutil is linked against the posix compiler's thread library, which is
  # a DLL of the toolchain; it has to ship beside the FFmpeg DLLs.
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=libwinpthread-1.dll
    OUTPUT_VARIABLE qv_winpthread OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(IS_ABSOLUTE "${qv_winpthread}" AND EXISTS "${qv_winpthread}")
    list(APPEND QV_FFMPEG_DLLS ${qv_winpthread})
  endif()
  file(COPY ${QV_FFMPEG_DLLS} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(QV_AV REQUIRED IMPORTED_TARGET libavcodec libavutil)
  add_library(qv_ffmpeg INTERFACE)
  target_link_libraries(qv_ffmpeg INTERFACE PkgConfig::QV_AV)
  pkg_check_modules(QV_AVFORMAT REQUIRED IMPORTED_TARGET libavformat)
  add_library(qv_ffmpeg_format INTERFACE)
  target_link_libraries(qv_ffmpeg_format INTERFACE qv_ffmpeg PkgConfig::QV_AVFORMAT)
endif()

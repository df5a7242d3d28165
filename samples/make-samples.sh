#!/usr/bin/env bash
# Makes the small H.264 clips the tests and the demo use, and the reference
# frame checksums of each (ffmpeg's own decoder, cropped to the display size).
# Needs Debian's ffmpeg with libx264 (installed by scripts/setup).
#
#   samples/make-samples.sh            writes the clips and .framemd5 files here
#   samples/make-samples.sh NAME...    writes only the files named (a clip with
#                                      its .framemd5), leaving the others as
#                                      they are
#
# The encoder runs single-threaded with fixed settings so that a rerun with
# the same ffmpeg/x264 gives the same bytes.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cd "$here"

ff=(ffmpeg -hide_banner -loglevel error -y)
# Each clip passes its own -x264-params (the last one given wins), always with
# threads=1 and lookahead-threads=1 for reproducible output.
# Synthetic source: moving test pattern, no randomness.
src() { # WIDTH HEIGHT FRAMES
  echo "testsrc2=size=$1x$2:rate=25,trim=end_frame=$3"
}
x264_common=(-c:v libx264 -threads 1
  -pix_fmt yuv420p -bf 2 -fflags +bitexact -flags +bitexact -f h264)

# Whether NAME is to be made: every file when no names were given.
wanted=("$@")
want() { # NAME
  [ ${#wanted[@]} -eq 0 ] && return 0
  local w
  for w in "${wanted[@]}"; do
    [ "$w" = "$1" ] && return 0
  done
  return 1
}

make_clip() { # NAME FILTER OPTIONS...
  local name=$1 filter=$2
  shift 2
  want "$name" || return 0
  "${ff[@]}" -f lavfi -i "$filter" "${x264_common[@]}" "$@" "$name"
  # Reference pictures: one MD5 per frame over the Y, U and V planes, cropped
  # to the display size, in output order.
  "${ff[@]}" -threads 1 -i "$name" -fps_mode passthrough -pix_fmt yuv420p \
    -fflags +bitexact -flags +bitexact -f framemd5 "$name.framemd5"
}

# High profile, CABAC, 8x8 transform, an IDR every 25 frames.
make_clip h264_704x576_high_cabac.264 "$(src 704 576 50)" \
  -profile:v high -coder cabac -x264-params "threads=1:lookahead-threads=1:8x8dct=1:keyint=25:min-keyint=25:scenecut=0" \
  -crf 40 -preset medium

# Baseline profile, CAVLC, no B frames.
make_clip h264_352x288_baseline_cavlc.264 "$(src 352 288 50)" \
  -profile:v baseline -bf 0 -x264-params "threads=1:lookahead-threads=1:keyint=25:min-keyint=25:scenecut=0" \
  -crf 32 -preset medium

# 1080 lines (coded as 1088), a few frames only.
make_clip h264_1920x1080_high.264 "$(src 1920 1080 10)" \
  -profile:v high -x264-params "threads=1:lookahead-threads=1:keyint=25:min-keyint=25:scenecut=0" \
  -crf 45 -preset medium

# 1080 lines with a key frame every 50 frames: the longest group the backward
# play benchmark holds decoded. Heavy quantisation keeps it small.
make_clip h264_1920x1080_gop50.264 "$(src 1920 1080 100)" \
  -profile:v high -x264-params "threads=1:lookahead-threads=1:keyint=50:min-keyint=50:scenecut=0" \
  -crf 50 -preset medium

# Half-height pictures as a DVR records one field per frame.
make_clip h264_704x288_field.264 "$(src 704 288 50)" \
  -profile:v main -x264-params "threads=1:lookahead-threads=1:keyint=25:min-keyint=25:scenecut=0" \
  -crf 36 -preset medium

# Sizes that are not whole macroblocks, coded with more rows and cropped back
# (360 coded as 368, 540 as 544), and a 5-megapixel picture beyond the
# hardware decoder's limit; all with B frames, so that pictures leave in
# another order than their frames arrive. Two IDRs in the 360-line clip.
make_clip h264_640x360_main.264 "$(src 640 360 20)" \
  -profile:v main -x264-params "threads=1:lookahead-threads=1:keyint=10:min-keyint=10:scenecut=0" \
  -crf 40 -preset medium

# A display window away from the top left corner: 736 x 384 coded, cropped
# by 64 columns on the left, 32 on the right, 20 rows at the top and 4 at the
# bottom to 640 x 360. (The left crop keeps ffmpeg's 32-byte alignment, so
# its reference pictures are cropped exactly.)
make_clip h264_640x360_window.264 "$(src 736 384 10)" \
  -profile:v main -x264-params "threads=1:lookahead-threads=1:keyint=25:min-keyint=25:scenecut=0" \
  -crf 40 -preset medium -bsf:v h264_metadata=crop_left=64:crop_right=32:crop_top=20:crop_bottom=4

make_clip h264_960x540_high.264 "$(src 960 540 15)" \
  -profile:v high -x264-params "threads=1:lookahead-threads=1:keyint=25:min-keyint=25:scenecut=0" \
  -crf 44 -preset medium

make_clip h264_2592x1944_high.264 "$(src 2592 1944 10)" \
  -profile:v high -x264-params "threads=1:lookahead-threads=1:keyint=25:min-keyint=25:scenecut=0" \
  -crf 50 -preset medium

# Audio payloads for the container fixtures: 2 s of a two-tone signal, mono.
# The writers cut them into frame-sized blocks.
tone() { # RATE
  echo "aevalsrc=0.4*sin(2*PI*440*t)+0.2*sin(2*PI*1330*t):s=$1:d=2"
}
want audio_pcm8.raw && "${ff[@]}" -f lavfi -i "$(tone 8000)" -ac 1 -c:a pcm_s8 -f s8 audio_pcm8.raw
want audio_alaw.raw && "${ff[@]}" -f lavfi -i "$(tone 8000)" -ac 1 -c:a pcm_alaw -f alaw audio_alaw.raw
# G.722 codes 16 kHz input.
want audio_g722.raw && "${ff[@]}" -f lavfi -i "$(tone 16000)" -ac 1 -c:a g722 -f g722 audio_g722.raw
# G.726 at 16 kbit/s, codes packed from the least significant bit up.
want audio_g726_16k.raw && "${ff[@]}" -f lavfi -i "$(tone 8000)" -ac 1 -c:a g726le -b:a 16k -f g726le audio_g726_16k.raw

ls -l "$here"/*.264 "$here"/audio_*.raw

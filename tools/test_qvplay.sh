#!/usr/bin/env bash
# Checks qvplay end to end against the library it was built with:
#
#   tools/test_qvplay.sh QVPLAY SAMPLES_DIR
#
# QVPLAY may be a wrapper that runs the Windows build under scripts/wine-run
# (absolute paths then resolve on drive Z:, the current drive).
#
# info, info --json, decode, frames and snapshot of the demo recording
# (every figure it is known to hold), the exit codes and messages of a
# missing file, a file that is no recording, a moment beyond the end, a bad
# time, a path that is not UTF-8 and a path outside ASCII, and that the
# progress bar stays off stderr when stderr is not a terminal. The
# tests/qvplay gtest suites check the same commands against fixture
# recordings of every container generation.
set -uo pipefail

qvplay=$1
samples=$2
demo=$samples/demo_v30.qv
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

fail() {
  echo "FAIL: $*"
  failed=1
}

# expect_line OUTPUT_FILE REGEX: some line of the output matches.
expect_line() {
  grep -Eq -- "$2" "$1" || { fail "no line matching '$2' in:"; sed 's/^/    /' "$1"; }
}

# run EXPECTED_EXIT NAME ARGS...: stdout in $work/NAME.out, stderr in .err
# (line ends of a Windows build made plain).
run() {
  local want=$1 name=$2
  shift 2
  "$qvplay" "$@" >"$work/$name.out" 2>"$work/$name.err"
  local got=$?
  sed -i 's/\r$//' "$work/$name.out" "$work/$name.err"
  [ "$got" -eq "$want" ] || { fail "qvplay $* exited $got, expected $want"; cat "$work/$name.err"; }
}

run 0 info info "$demo"
expect_line "$work/info.out" '^container +V30 \(ZEMASTREAMV30\)$'
expect_line "$work/info.out" '^file size +612352 bytes$'
expect_line "$work/info.out" '^duration +14\.960 s \(from the index\)$'
expect_line "$work/info.out" '^video frames +375 \(from the index\)$'
expect_line "$work/info.out" '^video codec +H\.264$'
expect_line "$work/info.out" '^picture size +704 x 576 \(measured '
expect_line "$work/info.out" '^frame rate +25\.00 fps \(measured '
expect_line "$work/info.out" '^key-frame distance +25 frames, 1000 ms \(measured '
expect_line "$work/info.out" '^audio codec +G\.711 A-law$'

run 0 info_json info --json "$demo"
expect_line "$work/info_json.out" '^\{"file": .*"container": "V30", "container_name": "ZEMASTREAMV30", "file_size": 612352, "duration_ms": 14960, "video_frames": 375, "video_codec": "H\.264", .*"width": 704, "height": 576, .*"frame_rate": 25, .*"audio_codec": "G\.711 A-law", .*"last_failure": null\}$'

run 0 frames frames "$demo"
expect_line "$work/frames.out" '^ +0 +0 I +H\.264 +256 +1000 2012-03-04 00:05:09\.000 +[0-9]+  text@16,16 "Camera 01"; text@16,48 "2012-03-04 00:05:09"$'
expect_line "$work/frames.out" '^frames +750 \(375 video: 15 I, 360 P, 0 B, 0 droppable; 375 audio; 0 unknown\)$'
expect_line "$work/frames.out" '^bytes outside +256 of 612352 \(256 before the first frame, 0 between frames in 0 gaps, 0 after the last\)$'
run 0 frames_json frames --json "$demo"
[ "$(grep -c '^{"index": ' "$work/frames_json.out")" -eq 750 ] || fail "frames --json: not 750 frame lines"
expect_line "$work/frames_json.out" '^\{"summary": \{"frames": 750, "video_frames": 375, "audio_frames": 375, '

run 0 snapshot snapshot "$demo" --at 2.5 -o "$work/shot.png"
expect_line "$work/snapshot.out" '^frame 62 at 2\.480 s, 704 x 576, written to '
[ "$(head -c 8 "$work/shot.png" | od -An -tx1 | tr -d ' ')" = 89504e470d0a1a0a ] || fail "snapshot: no PNG written"
run 0 snapshot_bmp snapshot "$demo" --frame 374 -o "$work/shot.bmp"
[ "$(head -c 2 "$work/shot.bmp")" = BM ] || fail "snapshot: no BMP written"
run 8 beyond snapshot "$demo" --at 15 -o "$work/beyond.png"
expect_line "$work/beyond.err" 'beyond the end: the recording lasts 14\.960 s'
run 8 beyond_frame snapshot "$demo" --frame 375 -o "$work/beyond.png"
expect_line "$work/beyond_frame.err" 'the recording has 375 video frames'
[ -e "$work/beyond.png" ] && fail "snapshot beyond the end wrote a file"
run 105 bad_time snapshot "$demo" --at 1:75 -o "$work/bad.png"
run 106 no_moment snapshot "$demo" -o "$work/bad.png"

run 0 decode decode "$demo"
expect_line "$work/decode.out" '^frames +750 \(375 video, 375 audio\)$'
expect_line "$work/decode.out" '^audio blocks +375$'
expect_line "$work/decode.out" '^speed +[0-9.]+ video frames per second$'
# The decoder holds a few pictures back (reordering, frame threads): most
# frames, never more than all, come with a picture.
pictures=$(sed -n 's/^pictures *\([0-9]*\)$/\1/p' "$work/decode.out")
if [ -z "$pictures" ] || [ "$pictures" -lt 360 ] || [ "$pictures" -gt 375 ]; then
  fail "decode: pictures '$pictures', expected 360 to 375"
fi
# stderr is a file here: no progress bar.
[ -s "$work/decode.err" ] && fail "decode wrote to stderr without a terminal: $(cat "$work/decode.err")"

run 3 missing info "$work/no such file.qv"
expect_line "$work/missing.err" 'cannot open the file.*0x8AB50021 \(PLAY_E_FILE_OPEN\): check the path'
run 3 missing_decode decode "$work/no such file.qv"
run 3 missing_frames frames "$work/no such file.qv"
run 3 missing_snapshot snapshot "$work/no such file.qv" --at 1 -o "$work/x.png"

run 4 foreign info "$samples/README.md"
expect_line "$work/foreign.err" 'not a recording of a known container.*0x8AB50002 \(PLAY_E_NOT_SUPPORTED\)'
run 4 foreign_decode decode "$samples/README.md"
run 4 foreign_frames frames "$samples/README.md"

# Refused as it is, or (wine makes the command line wide first) not found.
run 3 bad_utf8 info "$work/bad"$'\xff'".qv"
expect_line "$work/bad_utf8.err" 'not valid UTF-8|cannot open the file'

# Two-, three- and four-byte UTF-8 (a surrogate pair in UTF-16).
unicode="$work/démo 日本 🎥.qv"
cp "$demo" "$unicode"
run 0 unicode info "$unicode"
expect_line "$work/unicode.out" '^video frames +375 '

run 106 usage info

if [ "$failed" -ne 0 ]; then
  echo "qvplay checks failed"
  exit 1
fi
echo "qvplay checks passed"

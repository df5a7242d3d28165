#!/usr/bin/env bash
# Makes the audio payloads the audio decoder tests compare against FFmpeg, and
# the MD5 of FFmpeg's own decoding of each. The Windows test programs cannot
# run FFmpeg under wine, so they read these committed files; the native tests
# also run FFmpeg live on longer inputs.
# Needs Debian's ffmpeg and espeak-ng (installed by scripts/setup) and python3.
#
#   samples/audio/make-audio-refs.sh      writes the files and refs.txt here
#
# refs.txt has one line per reference: NAME MD5 BYTES, where NAME is the
# payload file, or the payload file with a suffix naming how it was decoded.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cd "$here"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

ff=(ffmpeg -hide_banner -loglevel error -y)
seconds=4

espeak-ng -w "$tmp/speech.wav" -s 150 \
  "Camera four reports motion near the loading dock. The recorder keeps writing to disk, \
and the operator checks the gate at twelve thirty."
# At 60 % level: a louder peak overloads the 16 kbit/s coder, where FFmpeg
# wraps the sample around and our decoder saturates.
"${ff[@]}" -i "$tmp/speech.wav" -t "$seconds" -af volume=0.6 -ar 8000 -ac 1 -f s16le "$tmp/speech8k.raw"
"${ff[@]}" -i "$tmp/speech.wav" -t "$seconds" -ar 16000 -ac 1 -f s16le "$tmp/speech16k.raw"

refs=refs.txt
: >"$refs"
ref() { # NAME FILE
  echo "$1 $(md5sum <"$2" | cut -d' ' -f1) $(stat -c %s "$2")" >>"$refs"
}

# G.726 at 2..5 bits per code: the least-significant-bit-first payload is
# committed; the most-significant-bit-first one is only referenced (the test
# repacks the committed codes and compares).
for bits in 2 3 4 5; do
  in=(-f s16le -ar 8000 -ac 1 -i "$tmp/speech8k.raw")
  "${ff[@]}" "${in[@]}" -c:a g726le -code_size "$bits" -f g726le "g726le_$bits.bin"
  "${ff[@]}" "${in[@]}" -c:a g726 -code_size "$bits" -f g726 "$tmp/g726_$bits.bin"
  ref "g726le_$bits.bin" "g726le_$bits.bin"
  ref "g726_$bits.bin" "$tmp/g726_$bits.bin"
  "${ff[@]}" -f g726le -code_size "$bits" -ar 8000 -ac 1 -i "g726le_$bits.bin" -f s16le "$tmp/out.raw"
  ref "g726le_$bits.bin.pcm" "$tmp/out.raw"
  "${ff[@]}" -f g726 -code_size "$bits" -ar 8000 -ac 1 -i "$tmp/g726_$bits.bin" -f s16le "$tmp/out.raw"
  ref "g726_$bits.bin.pcm" "$tmp/out.raw"
done

# G.722: FFmpeg's encoder writes one byte per sample pair (upper-band code in
# bits 7..6, lower-band code in bits 5..0). Decoded with 6 bits per codeword
# FFmpeg uses only bits 7..2 (the 48 kbit/s mode); the test repacks those
# codes four pairs to three bytes.
"${ff[@]}" -f s16le -ar 16000 -ac 1 -i "$tmp/speech16k.raw" -c:a g722 -f g722 g722_64k.bin
ref g722_64k.bin g722_64k.bin
"${ff[@]}" -bits_per_codeword 6 -f g722 -i g722_64k.bin -f s16le "$tmp/out.raw"
ref g722_64k.bin.mode48.pcm "$tmp/out.raw"
# FFmpeg scales the QMF output to 16 bits; our decoder stores it clamped to
# -16384..16383 unscaled, which is FFmpeg's sample shifted right by one.
python3 - "$tmp/out.raw" "$tmp/half.raw" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
n = len(data) // 2
samples = struct.unpack('<%dh' % n, data)
half = [min(16383, max(-16384, s >> 1)) for s in samples]
open(sys.argv[2], 'wb').write(struct.pack('<%dh' % n, *half))
PY
ref g722_64k.bin.mode48.half.pcm "$tmp/half.raw"

cat "$refs"
ls -l "$here"

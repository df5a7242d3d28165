#!/usr/bin/env bash
# The deb-src entry scripts/setup derives from the configured apt sources:
# sample configurations in both formats, each with the entry it must give or
# the failure it must report, then writing the entry only when it changed.
#
#   tests/scripts/setup_sources_test.sh [path/to/setup]
set -uo pipefail

setup=${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/scripts/setup}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
fail() {
  printf 'FAIL %s: %s\n' "$1" "$2"
  failed=$((failed + 1))
}

# A fresh apt folder: FILE=CONTENT pairs, relative to it.
apt_dir() {
  local dir=$work/apt-$1
  shift
  rm -rf "$dir" && mkdir -p "$dir/sources.list.d"
  while [ $# -gt 0 ]; do
    printf '%s\n' "${1#*=}" >"$dir/${1%%=*}"
    shift
  done
  printf '%s\n' "$dir"
}

# check NAME CODENAME EXPECTED FILE=CONTENT...: EXPECTED is the entry
# printed, or "FAIL" for a failure with a message naming the folder.
check() {
  local name=$1 codename=$2 expected=$3 dir out rc
  shift 3
  dir=$(apt_dir "$name" "$@")
  out=$(QVPLAY_APT_DIR=$dir QVPLAY_DEBIAN_CODENAME=$codename "$setup" --print-deb-src 2>"$work/err")
  rc=$?
  if [ "$expected" = FAIL ]; then
    if [ $rc = 0 ]; then
      fail "$name" "succeeded with: $out"
    elif ! grep -q "error: no Debian source configured.*$dir" "$work/err"; then
      fail "$name" "unclear message: $(cat "$work/err")"
    else
      passed=$((passed + 1))
    fi
  elif [ $rc != 0 ]; then
    fail "$name" "failed: $(cat "$work/err")"
  elif [ "$out" != "$expected" ]; then
    fail "$name" "got"$'\n'"$out"$'\n'"expected"$'\n'"$expected"
  else
    passed=$((passed + 1))
  fi
}

entry() { # URI SUITE [SIGNED_BY]
  printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main' "$1" "$2"
  if [ $# -gt 2 ]; then printf '\nSigned-By: %s' "$3"; fi
}

keyring=/usr/share/keyrings/debian-archive-keyring.gpg

check deb822-release-and-security bookworm "$(entry http://deb.debian.org/debian bookworm $keyring)" \
  "sources.list.d/debian.sources=Types: deb
# http://snapshot.debian.org/archive/debian/20250520T000000Z
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: $keyring

Types: deb
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: $keyring"

check one-line-mirror bookworm "$(entry http://ftp.de.debian.org/debian/ bookworm)" \
  "sources.list=# the mirror
deb http://security.debian.org/debian-security bookworm-security main
deb-src http://src.example.org/debian bookworm main
deb http://ftp.de.debian.org/debian/ bookworm main contrib non-free-firmware  # trailing comment"

check signed-mirror-before-third-party bookworm "$(entry http://mirror.example.net/pub/os bookworm $keyring)" \
  "sources.list=deb https://packages.example.org/php/ bookworm main" \
  "sources.list.d/mirror.list=deb [ arch=amd64 signed-by=$keyring ] http://mirror.example.net/pub/os bookworm main"

check debian-path-before-third-party bookworm "$(entry https://mirror.example.org/debian bookworm)" \
  "sources.list=deb [arch=amd64] https://packages.example.org/php/ bookworm main" \
  "sources.list.d/debian.sources=Types: deb
URIs: https://mirror.example.org/debian
Suites: bookworm
Components: contrib main"

check disabled-stanza-skipped bookworm "$(entry http://other.example.org/debian bookworm $keyring)" \
  "sources.list.d/debian.sources=Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Enabled: no
Signed-By: $keyring

types: deb deb-src
uris: http://other.example.org/debian
suites: bookworm
components: main
signed-by: $keyring"

check snapshot-and-inline-key bookworm "$(entry http://snapshot.debian.org/archive/debian/20250520T000000Z bookworm)" \
  "sources.list.d/snapshot.sources=Types: deb deb-src
URIs: http://snapshot.debian.org/archive/debian/20250520T000000Z
Suites: bookworm-updates bookworm
Components: contrib main
Signed-By:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 mQINBGPLWq0BEAC
 -----END PGP PUBLIC KEY BLOCK-----"

check first-of-equals-wins bookworm "$(entry http://a.example.org/debian bookworm)" \
  "sources.list=deb http://a.example.org/debian bookworm main" \
  "sources.list.d/b.list=deb http://b.example.org/debian bookworm main"

check release-named-by-os sid "$(entry http://deb.debian.org/debian sid)" \
  "sources.list=deb http://deb.debian.org/debian trixie main
deb http://deb.debian.org/debian sid main"

check codename-unknown "" "$(entry http://deb.debian.org/debian trixie)" \
  "sources.list=deb http://deb.debian.org/debian trixie-updates main
deb http://deb.debian.org/debian trixie main"

check main-component-needed bookworm FAIL \
  "sources.list=deb http://deb.debian.org/debian bookworm contrib non-free"

check only-updates-security-and-others bookworm FAIL \
  "sources.list.d/debian.sources=Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-updates
Components: main

Types: deb
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main" \
  "sources.list.d/nodesource.sources=Types: deb
URIs: https://deb.nodesource.com/node_20.x
Suites: nodistro
Components: main"

check files-apt-ignores bookworm FAIL \
  "sources.list.d/debian.sources.disabled=Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main" \
  "sources.list.d/old.list.save=deb http://deb.debian.org/debian bookworm main"

check source-entries-only bookworm FAIL \
  "sources.list=deb-src http://deb.debian.org/debian bookworm main"

check nothing-configured bookworm FAIL

# Writing: once, then not again while unchanged, again once the source moved.
dir=$(apt_dir write "sources.list=deb http://one.example.org/debian bookworm main")
write() {
  QVPLAY_APT_DIR=$dir QVPLAY_DEBIAN_CODENAME=bookworm "$setup" --write-deb-src 2>&1
}
target=$dir/sources.list.d/qvplay-deb-src.sources
out=$(write)
if [ "$(cat "$target" 2>/dev/null)" = "$(entry http://one.example.org/debian bookworm)" ] &&
  [[ "$out" == *writing* ]]; then
  passed=$((passed + 1))
else
  fail write-first "$out"
fi
stamp=$(stat -c %Y.%i "$target")
out=$(write)
if [ -z "$out" ] && [ "$(stat -c %Y.%i "$target")" = "$stamp" ]; then
  passed=$((passed + 1))
else
  fail write-unchanged "rewritten: $out"
fi
printf '%s\n' "deb http://two.example.org/debian bookworm main" >"$dir/sources.list"
out=$(write)
if [ "$(cat "$target")" = "$(entry http://two.example.org/debian bookworm)" ] && [[ "$out" == *writing* ]]; then
  passed=$((passed + 1))
else
  fail write-changed "$out"
fi
rm "$dir/sources.list"
if write >/dev/null; then
  fail write-without-source "succeeded"
elif [ "$(cat "$target")" != "$(entry http://two.example.org/debian bookworm)" ]; then
  fail write-without-source "the file was touched"
else
  passed=$((passed + 1))
fi

printf '%d passed, %d failed\n' "$passed" "$failed"
[ "$failed" = 0 ]

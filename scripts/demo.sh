#!/usr/bin/env bash
# Lays out a realistic offline cache under the build directory and shows what
# the ktcache command makes of it: the table, the JSON report, and the cache
# file names of a few real-world download URLs.
#
#   usage: scripts/demo.sh [BUILD_DIR]
set -euo pipefail

build=${1:-build}
tool="$build/ktcache"
cache="$build/demo-cache"

[ -x "$tool" ] || { echo "demo: $tool is not built; run 'make demo'" >&2; exit 1; }

rm -rf "$cache"
mkdir -p "$cache/covers"

# put NAME SIZE HEADER: a file of SIZE bytes that starts with the printf-escaped
# HEADER and is padded with zero bytes.
put() {
  local name=$1 size=$2 header=$3
  { printf "$header"; head -c "$size" /dev/zero; } | head -c "$size" >"$cache/$name"
}

# Valid tracks of several containers, with the headers real encoders write.
put "Aurora Lane - Nightfall.m4a" 4823449 '\0\0\0\040ftypM4A \0\0\002\0M4A mp42isom\0\0\0\0'
put "Café Tacvba – Eres.mp3" 3512001 'ID3\004\0\0\0\0\037\166TIT2\0\0\0\006\0\0\003Eres'
put "Live at the Roxy (Remastered).flac" 18874368 'fLaC\0\0\0\042\020\0\020\0\0\006\055\0\045\255'
put "Field Recording 03.ogg" 2345678 'OggS\0\002\0\0\0\0\0\0\0\0\161\045\0\0\0\0\0\0'
put "Interlude.wav" 1058444 'RIFF\204\046\020\0WAVEfmt \020\0\0\0\001\0\002\0'
put "Radio Jingle.aac" 412003 '\377\361\120\200\057\337\374\041\020\004'

# What goes wrong in a real cache:
# a CDN error page saved under the track's name,
{
  printf '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8"><title>403 Forbidden</title>\n<style>\n'
  for rule in body main h1 p a footer; do
    printf '  %s { font-family: system-ui, sans-serif; margin: 0 auto; max-width: 42rem; color: #222; line-height: 1.5; }\n' "$rule"
    printf '  %s:hover { color: #0a58ca; text-decoration: underline; transition: color 0.2s ease-in-out; }\n' "$rule"
  done
  printf '</style></head>\n<body><main><h1>403 Forbidden</h1><p>The link to this track has expired.</p></main></body></html>\n'
} >"$cache/Midnight Drive.m4a"
# a download cut short below the minimum size,
put "Slow Burn.mp3" 700 'ID3\004\0\0\0\0\0\0'
# a partial download still in progress (hidden, never touched),
put ".Summer Anthem.m4a.part" 65536 '\0\0\0\040ftypM4A \0\0\0\0'
# and album art in a subdirectory (never entered).
put "covers/aurora-lane.jpg" 48213 '\377\330\377\340\0\020JFIF\0'

# quoted ARG...: the arguments as a shell reads them back, so that a shown
# command can be pasted: plain words as they are, others in single quotes.
quoted() {
  local arg words=()
  for arg; do
    if [[ $arg =~ ^[A-Za-z0-9_./:=@%+,-]+$ ]]; then
      words+=("$arg")
    else
      words+=("'${arg//\'/\'\\\'\'}'")
    fi
  done
  printf '%s' "${words[*]}"
}

run() {
  printf '\n$ ktcache %s\n' "$(quoted "$@")"
  "$tool" "$@" || true
}

echo "sample cache laid out in $cache"
run scan "$cache"
run scan --json "$cache"
run name \
  "https://cdn.kelvanetunes.example/music/u/184467/Aurora%20Lane%20-%20Nightfall.m4a?token=eyJhbGciOi&exp=1765300000" \
  "https://media.example.org/stream/v2/tracks/88121/Caf%C3%A9%20Tacvba%20%E2%80%93%20Eres.mp3#t=30" \
  "https://files.example.net/share/AC%2FDC%3A%20Live%20%2A%20Remastered%3F.flac" \
  "https://audio.example.com/podcasts/episode-42/" \
  "https://cdn.example.com/?download=1"

#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each (default 600) under AddressSanitizer
# and UndefinedBehaviorSanitizer. An input that crashes, leaks, takes more than
# 2 s or more than 512 MB is a finding: it is saved under build/fuzz/findings/
# and the script fails. Usage: bash fuzz/run.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(avi mov mov_compressed mpeg rows iso mkv ts headers asf flv ogg ps rowcodec)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target make_seeds "${targets[@]/#/fuzz_}"
work=build/fuzz
build/fuzz/fuzz/make_seeds "$work/seeds"
# Real muxers' files as seeds too, where ffmpeg is installed: short clips of
# the formats whose headers it writes.
if command -v ffmpeg >/dev/null; then
  clip=(-f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i sine -t 1 -pix_fmt yuv420p)
  while read -r target name codecs; do
    mkdir -p "$work/seeds/$target"
    # shellcheck disable=SC2086
    ffmpeg -nostdin -v error -y "${clip[@]}" $codecs "$work/seeds/$target/$name" || true
  done <<'CLIPS'
asf ffmpeg.wmv -c:v wmv2 -c:a wmav2
asf ffmpeg.asf -c:v msmpeg4 -c:a libmp3lame
flv ffmpeg.flv -c:v flv1 -c:a libmp3lame
flv bare.flv -c:v libx264 -c:a aac -flvflags no_metadata
ogg ffmpeg.ogv -c:v libtheora -c:a libvorbis
ps ffmpeg.vob -target pal-dvd -s 64x48
ps ffmpeg.mpg -c:v mpeg1video -r 25 -c:a mp2 -f mpeg
CLIPS
fi
# The sanitizer's own quarantine of freed memory is kept small, so that the
# memory limit measures what an input makes the readers hold.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16:detect_leaks=1}
status=0
for target in "${targets[@]}"; do
  corpus="$work/corpus/$target"
  findings="$work/findings/$target"
  mkdir -p "$corpus" "$findings"
  echo "== $target: ${seconds} s"
  inputs=("$corpus" "$work/seeds/$target")
  [ -d "tests/fuzz-regressions/$target" ] && inputs+=("tests/fuzz-regressions/$target")
  if ! "$work/fuzz/fuzz_$target" "${inputs[@]}" \
      -dict=fuzz/vidarium.dict -max_total_time="$seconds" -rss_limit_mb=512 -timeout=2 \
      -max_len=65536 -print_final_stats=1 -artifact_prefix="$findings/" 2>"$work/$target.log"; then
    echo "!! $target: finding saved in $findings (log: $work/$target.log)"
    status=1
  fi
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$work/$target.log" || true
done
exit $status

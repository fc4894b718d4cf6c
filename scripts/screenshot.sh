#!/usr/bin/env bash
# Remakes docs/screenshot.png: the window after a scan, with "All formats"
# on, of a folder of today's files that ffmpeg makes (the classic demo
# folder beside them), its columns fitted to their content, drawn by the
# offscreen platform. Needs ffmpeg with libx264, libx265 and libvpx.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build --preset dev --target window_screenshot demo
cd build/dev
folder=screenshot-demo
rm -rf "$folder"
mkdir -p "$folder/Films" "$folder/Series" "$folder/Phone"
cp -r demo "$folder/Archive"
make() { # OUTPUT SECONDS SIZE RATE ARGUMENTS...
    local output=$1 seconds=$2 size=$3 rate=$4
    shift 4
    ffmpeg -hide_banner -loglevel error -nostdin -y \
        -f lavfi -i "testsrc2=size=$size:rate=$rate" \
        -f lavfi -i "sine=frequency=440:sample_rate=48000" -t "$seconds" "$@" "$folder/$output"
}
make "Films/Harbour at Dusk (2160p HDR).mkv" 2 3840x2160 24000/1001 \
    -c:v libx265 -preset ultrafast -pix_fmt yuv420p10le -x265-params log-level=none \
    -color_primaries bt2020 -color_trc smpte2084 -colorspace bt2020nc \
    -c:a ac3 -ac 6 -b:a 448k -metadata:s:a:0 language=ger
make "Films/Mountain Trail.mp4" 3 1920x1080 25 \
    -c:v libx264 -preset ultrafast -c:a aac -b:a 160k -metadata:s:a:0 language=eng
make "Series/Episode 2.webm" 2 1280x720 30 -c:v libvpx-vp9 -deadline realtime -c:a libopus
make "Series/Episode 10.webm" 2 1280x720 30 -c:v libvpx-vp9 -deadline realtime -c:a libopus
make "Series/Pilot.ts" 2 720x576 25 -c:v mpeg2video -b:v 6M -c:a mp2 -b:a 192k
make "Phone/IMG_0412.MOV" 2 1920x1080 30 \
    -c:v libx264 -preset ultrafast -c:a aac -metadata:s:v:0 rotate=90
# Settings and catalogue of their own, so the user's stay as they are.
export XDG_CONFIG_HOME="$PWD/$folder.config" XDG_DATA_HOME="$PWD/$folder.data"
rm -rf "$XDG_CONFIG_HOME" "$XDG_DATA_HOME"
QT_QPA_PLATFORM=offscreen tests/window_screenshot --all-formats "$folder" ../../docs/screenshot.png

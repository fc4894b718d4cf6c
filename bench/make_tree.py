#!/usr/bin/env python3
"""Writes a benchmark tree: COUNT movie files over nested directories, plus
non-movie files. The movies are copies of a few clips of every kind: AVI,
QuickTime with the movie header first and last, MPEG program and elementary
streams. With ffmpeg on the PATH the clips are real ffmpeg files; otherwise
they come from CLIPS (a folder of the project's own demo files). With
--modern, the clips are MP4 files of every common codec instead (movie box
first and last, fragmented with and without a fragment index), Matroska and
WebM files, one of them live (no duration), transport streams, and
Windows Media, Flash Video and Ogg video files, and the classic shapes that
All formats reads anew (a phone's HEVC .mov, a DVD VOB, MPEG-2 with LPCM,
AVIs of XVID and AVC); ffmpeg needed.

Usage: make_tree.py [--modern] DIR COUNT [CLIPS]"""
import os
import random
import shutil
import subprocess
import sys
import time


def ffmpeg_clips(folder):
    source = ["-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-f", "lavfi",
              "-i", "sine=sample_rate=44100", "-t", "2"]
    recipes = {
        "xvid.avi": source + ["-c:v", "mpeg4", "-vtag", "XVID", "-c:a", "libmp3lame"],
        "mjpeg.avi": source + ["-c:v", "mjpeg", "-c:a", "pcm_s16le"],
        "silent.avi": source[:4] + ["-t", "2", "-c:v", "mpeg4"],
        "moov-last.mov": source + ["-c:v", "mpeg4", "-c:a", "aac"],
        "moov-first.mov": source + ["-c:v", "mjpeg", "-c:a", "pcm_s16be", "-movflags", "+faststart"],
        "mp4.mov": source + ["-c:v", "mpeg4", "-c:a", "aac", "-f", "mp4"],
        "program.mpg": source + ["-c:v", "mpeg1video", "-c:a", "mp2", "-f", "mpeg"],
        "dvd.vob": source + ["-target", "pal-dvd"],
        "elementary.m2v": source[:4] + ["-t", "2", "-c:v", "mpeg2video"],
    }
    clips = []
    for name, arguments in recipes.items():
        path = os.path.join(folder, name)
        subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y"]
                       + arguments + [path], check=True)
        clips.append(path)
    return clips


def modern_clips(folder):
    video = ["-f", "lavfi", "-i", "testsrc=size=640x360:rate=25"]
    sound = ["-f", "lavfi", "-i", "sine=sample_rate=48000"]
    both = video + sound + ["-t", "5", "-pix_fmt", "yuv420p"]
    x264 = ["-c:v", "libx264", "-preset", "veryfast", "-g", "25"]
    recipes = {
        "h264-moov-last.mp4": both + x264 + ["-c:a", "aac"],
        "h264-moov-first.mp4": both + x264 + ["-c:a", "aac", "-movflags", "+faststart"],
        "hevc.mp4": both + ["-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                            "log-level=none", "-tag:v", "hvc1", "-c:a", "ac3"],
        "vp9.mp4": both + ["-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8",
                           "-c:a", "libopus"],
        "mpeg4.3gp": video + sound + ["-t", "5", "-s", "176x144", "-c:v", "h263", "-c:a", "aac",
                                      "-ac", "1", "-ar", "8000"],
        "fragmented.mp4": both + x264 + ["-c:a", "aac", "-movflags", "frag_keyframe+empty_moov"],
        "fragmented-index.mp4": both + x264 + ["-c:a", "aac", "-movflags",
                                               "frag_keyframe+empty_moov+global_sidx"],
        "alac.m4v": both + x264 + ["-c:a", "alac"],
        "h264.mkv": both + x264 + ["-c:a", "aac"],
        "hevc-ac3.mkv": both + ["-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                                "log-level=none", "-c:a", "ac3"],
        "vp9.webm": both + ["-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8",
                            "-c:a", "libopus"],
        "live.webm": both + ["-c:v", "libvpx", "-deadline", "realtime", "-cpu-used", "8",
                             "-c:a", "libvorbis", "-live", "1"],
        "h264-aac.ts": both + x264 + ["-c:a", "aac"],
        "hevc-ac3.m2ts": both + ["-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                                 "log-level=none", "-c:a", "ac3", "-mpegts_m2ts_mode", "1"],
        "mpeg2-mp2.mts": both + ["-c:v", "mpeg2video", "-c:a", "mp2"],
        "wmv2.wmv": both + ["-c:v", "wmv2", "-c:a", "wmav2"],
        "msmpeg4-mp3.asf": both + ["-c:v", "msmpeg4", "-c:a", "libmp3lame", "-ar", "44100"],
        "spark.flv": both + ["-c:v", "flv1", "-c:a", "libmp3lame", "-ar", "44100"],
        "h264-aac.flv": both + x264 + ["-c:a", "aac"],
        "theora-vorbis.ogv": both + ["-c:v", "libtheora", "-c:a", "libvorbis"],
        "phone-hevc.mov": both + ["-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                                  "log-level=none", "-tag:v", "hvc1", "-c:a", "aac"],
        "dvd.vob": video + sound + ["-t", "5", "-target", "pal-dvd"],
        "mpeg2-lpcm.mpg": both + ["-c:v", "mpeg2video", "-c:a", "pcm_dvd", "-f", "vob"],
        "xvid-mp3.avi": both + ["-c:v", "libxvid", "-c:a", "libmp3lame"],
        "h264-aac.avi": both + x264 + ["-c:a", "aac"],
    }
    clips = []
    for name, arguments in recipes.items():
        path = os.path.join(folder, name)
        subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y"]
                       + arguments + [path], check=True)
        clips.append(path)
    return clips


def main():
    modern = sys.argv[1] == "--modern"
    arguments = sys.argv[2:] if modern else sys.argv[1:]
    root, count = arguments[0], int(arguments[1])
    clips_folder = os.path.join(root + ".clips")
    os.makedirs(clips_folder, exist_ok=True)
    if modern:
        clips = modern_clips(clips_folder)
    elif shutil.which("ffmpeg"):
        clips = ffmpeg_clips(clips_folder)
    else:
        demo = arguments[2]
        clips = [os.path.join(demo, dirpath, name) for dirpath, _, names in os.walk(demo)
                 for name in names]
    shutil.rmtree(root, ignore_errors=True)
    random.seed(2026)
    for i in range(count):
        depth = random.randrange(4)
        folder = os.path.join(root, *("d%d" % random.randrange(6) for _ in range(depth)))
        os.makedirs(folder, exist_ok=True)
        clip = clips[i % len(clips)]
        name = "m%05d-%s" % (i, os.path.basename(clip))
        shutil.copyfile(clip, os.path.join(folder, name))
        if i % 4 == 0:
            with open(os.path.join(folder, "n%05d.txt" % i), "w") as note:
                note.write("not a movie\n")
    # Last changed an hour ago, as a collection's files are: a catalogue
    # reads again a file that changed just before it was read.
    past = time.time() - 3600
    for dirpath, _, names in os.walk(root):
        for name in names:
            os.utime(os.path.join(dirpath, name), (past, past))


if __name__ == "__main__":
    main()

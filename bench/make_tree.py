#!/usr/bin/env python3
"""Writes a benchmark tree: COUNT movie files over nested directories, plus
non-movie files. The movies are copies of a few clips of every kind: AVI,
QuickTime with the movie header first and last, MPEG program and elementary
streams. With ffmpeg on the PATH the clips are real ffmpeg files; otherwise
they come from CLIPS (a folder of the project's own demo files).

Usage: make_tree.py DIR COUNT [CLIPS]"""
import os
import random
import shutil
import subprocess
import sys


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


def main():
    root, count = sys.argv[1], int(sys.argv[2])
    clips_folder = os.path.join(root + ".clips")
    os.makedirs(clips_folder, exist_ok=True)
    if shutil.which("ffmpeg"):
        clips = ffmpeg_clips(clips_folder)
    else:
        demo = sys.argv[3]
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


if __name__ == "__main__":
    main()

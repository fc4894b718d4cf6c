#!/usr/bin/env python3
"""How often vidarium-scan and MediaInfo agree with ffprobe, field by field,
over a set of movie files: by default a set of ffmpeg-made files of every
container and common codec (made once under WORK), plus any folders given.

A field is compared where ffprobe states it: the length (within 0.15 s or
1 %), width and height (exactly), frame rate (0.5 %), sample rate and
channels (exactly), the video and sound bit rates (5 %), and the video and
sound codecs (by the names ALIASES gives ffprobe's).

A second set holds the kinds that editing suites, camcorders, archives and
discs write (QuickTime masters of professional codecs and PCM, uncompressed
and RLE AVI, MPEG-2 sound in ASF, TrueHD in M2TS), and shapes ffmpeg does not
write, made from its files: an FLV with an empty AAC header, an elementary
stream with zero bytes first, a transport stream cut before its tables. A tool that
gives no value for a compared field disagrees; a file a tool gives no row
for counts every field it had as a miss.

With --real, a second set: the movie files of public projects' test data
(parsers, tools), fetched once with git at the commits below.

Usage: agreement.py [--scan PATH] [--work DIR] [--real] [FOLDER...]"""
import argparse
import json
import os
import subprocess
import sys

VIDEO = ["-f", "lavfi", "-i", "testsrc=size=320x240:rate=25"]
NTSC = ["-f", "lavfi", "-i", "testsrc=size=320x240:rate=30000/1001"]
SOUND = ["-f", "lavfi", "-i", "sine=sample_rate=48000"]
BOTH = VIDEO + SOUND + ["-t", "3", "-pix_fmt", "yuv420p"]
LONGER = ["-f", "lavfi", "-i", "testsrc=size=320x240:rate=25:duration=2", "-f", "lavfi", "-i",
          "sine=sample_rate=48000:duration=2.6", "-pix_fmt", "yuv420p"]
X264 = ["-c:v", "libx264", "-preset", "veryfast"]
X265 = ["-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=none"]
VP9 = ["-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8"]
RECIPES = {
    "h264-aac.mp4": BOTH + X264 + ["-c:a", "aac"],
    "hevc-ac3.mp4": BOTH + X265 + ["-tag:v", "hvc1", "-c:a", "ac3"],
    "vp9-opus.mp4": BOTH + VP9 + ["-c:a", "libopus"],
    "mpeg4-mp3.mp4": BOTH + ["-c:v", "mpeg4", "-c:a", "libmp3lame"],
    "fragmented.mp4": BOTH + X264 + ["-c:a", "aac", "-movflags", "frag_keyframe+empty_moov"],
    "h263-aac.3gp": ["-f", "lavfi", "-i", "testsrc=size=176x144:rate=15", "-f", "lavfi", "-i",
                     "sine=sample_rate=8000", "-t", "3", "-c:v", "h263", "-c:a", "aac", "-ac", "1"],
    "h264-alac.mov": BOTH + X264 + ["-c:a", "alac"],
    "prores-pcm.mov": BOTH + ["-c:v", "prores", "-c:a", "pcm_s16le"],
    "h264-aac.mkv": BOTH + X264 + ["-c:a", "aac"],
    "hevc-eac3.mkv": BOTH + X265 + ["-c:a", "eac3"],
    "mpeg2-mp2.mkv": BOTH + ["-c:v", "mpeg2video", "-c:a", "mp2"],
    "ffv1-pcm.mkv": BOTH + ["-c:v", "ffv1", "-c:a", "pcm_s16le"],
    "vp9-opus.webm": BOTH + VP9 + ["-c:a", "libopus"],
    "vp8-vorbis.webm": BOTH + ["-c:v", "libvpx", "-deadline", "realtime", "-c:a", "libvorbis"],
    "h264-aac.ts": BOTH + X264 + ["-c:a", "aac"],
    "mpeg2-mp2.ts": BOTH + ["-c:v", "mpeg2video", "-c:a", "mp2"],
    "hevc-ac3.m2ts": BOTH + X265 + ["-c:a", "ac3", "-mpegts_m2ts_mode", "1"],
    "wmv2-wmav2.wmv": BOTH + ["-c:v", "wmv2", "-c:a", "wmav2"],
    "ntsc-wmav2.wmv": NTSC + SOUND + ["-t", "3", "-c:v", "wmv2", "-c:a", "wmav2"],
    "spark-mp3.flv": BOTH + ["-c:v", "flv1", "-c:a", "libmp3lame", "-ar", "44100"],
    "h264-aac.flv": BOTH + X264 + ["-c:a", "aac"],
    "theora-vorbis.ogv": BOTH + ["-c:v", "libtheora", "-c:a", "libvorbis"],
    "xvid-mp3.avi": BOTH + ["-c:v", "libxvid", "-c:a", "libmp3lame"],
    "h264-aac.avi": BOTH + X264 + ["-c:a", "aac"],
    "mjpeg-pcm.avi": BOTH + ["-c:v", "mjpeg", "-c:a", "pcm_s16le"],
    "pal.vob": VIDEO + SOUND + ["-t", "3", "-target", "pal-dvd"],
    "mpeg1-mp2.mpg": BOTH + ["-c:v", "mpeg1video", "-c:a", "mp2", "-f", "mpeg"],
    "mpeg2-lpcm.mpg": BOTH + ["-c:v", "mpeg2video", "-c:a", "pcm_dvd", "-f", "vob"],
    # More codecs in each container.
    "av1-opus.mp4": BOTH + ["-c:v", "libaom-av1", "-cpu-used", "8", "-b:v", "200k",
                            "-c:a", "libopus"],
    "hevc10-aac.mp4": BOTH[:-1] + ["yuv420p10le"] + X265 + ["-tag:v", "hvc1", "-c:a", "aac"],
    "h264-flac.mp4": BOTH + X264 + ["-c:a", "flac", "-strict", "-2"],
    "h264-eac3.mp4": BOTH + X264 + ["-c:a", "eac3"],
    "ntsc-aac.mp4": NTSC + SOUND + ["-t", "3", "-pix_fmt", "yuv420p"] + X264 + ["-c:a", "aac"],
    "film-aac.mov": ["-f", "lavfi", "-i", "testsrc=size=320x240:rate=24000/1001"] + SOUND
    + ["-t", "3", "-pix_fmt", "yuv420p"] + X264 + ["-c:a", "aac"],
    "indexed-fragments.mp4": BOTH + X264 + ["-c:a", "aac", "-movflags",
                                            "frag_keyframe+empty_moov+default_base_moof"],
    "dash.mp4": BOTH + X264 + ["-c:a", "aac", "-movflags", "frag_keyframe+empty_moov+dash"],
    "av1-opus.mkv": BOTH + ["-c:v", "libaom-av1", "-cpu-used", "8", "-b:v", "200k",
                            "-c:a", "libopus"],
    "h264-dts.mkv": BOTH + X264 + ["-c:a", "dca", "-strict", "-2"],
    "h264-truehd.mkv": BOTH + X264 + ["-c:a", "truehd", "-strict", "-2"],
    "mpeg4-mp3.mkv": BOTH + ["-c:v", "mpeg4", "-c:a", "libmp3lame"],
    "theora-flac.mkv": BOTH + ["-c:v", "libtheora", "-c:a", "flac"],
    "h264-ac3.ts": BOTH + X264 + ["-c:a", "ac3"],
    "h264-eac3.ts": BOTH + X264 + ["-c:a", "eac3"],
    "h264-mp3.ts": BOTH + X264 + ["-c:a", "libmp3lame"],
    "hevc-aac.ts": BOTH + X265 + ["-c:a", "aac"],
    "msmpeg4-wmav2.asf": BOTH + ["-c:v", "msmpeg4", "-c:a", "wmav2"],
    "large-frames.wmv": ["-f", "lavfi", "-i", "testsrc=size=1280x720:rate=30"] + SOUND
    + ["-t", "3", "-c:v", "wmv1", "-c:a", "wmav2"],
    "spark-mp3-22k.flv": BOTH + ["-c:v", "flv1", "-c:a", "libmp3lame", "-ar", "22050"],
    "theora-opus.ogv": BOTH + ["-c:v", "libtheora", "-c:a", "libopus"],
    "dv-pcm.avi": ["-f", "lavfi", "-i", "testsrc=size=720x576:rate=25"] + SOUND
    + ["-t", "3", "-c:v", "dvvideo", "-pix_fmt", "yuv420p", "-c:a", "pcm_s16le"],
    "mpeg4-ac3.avi": BOTH + ["-c:v", "mpeg4", "-c:a", "ac3"],
    "ntsc.vob": ["-f", "lavfi", "-i", "testsrc=size=720x480:rate=30000/1001"] + SOUND
    + ["-t", "3", "-target", "ntsc-dvd"],
    # Sound that runs past the last frame.
    **{"longer-sound." + suffix: LONGER + codecs for suffix, codecs in (
        ("mp4", X264 + ["-c:a", "aac"]), ("mkv", X264 + ["-c:a", "aac"]),
        ("ts", X264 + ["-c:a", "aac"]), ("avi", ["-c:v", "mpeg4", "-c:a", "libmp3lame"]),
        ("flv", ["-c:v", "flv1", "-c:a", "libmp3lame", "-ar", "44100"]),
        ("wmv", ["-c:v", "wmv2", "-c:a", "wmav2"]),
        ("ogv", ["-c:v", "libtheora", "-c:a", "libvorbis"]),
        ("mpg", ["-c:v", "mpeg2video", "-c:a", "mp2", "-f", "vob"]))},
}
# The files that editing suites, camcorders, archives and discs hold.
QT = ["-f", "mov"]
PRO_VIDEO = VIDEO + ["-t", "2"]
PRO_BOTH = VIDEO + SOUND + ["-t", "2"]
MPEG2_TAGGED = ["-c:v", "mpeg2video", "-pix_fmt", "yuv422p", "-b:v", "20M"]
PRO_RECIPES = {
    **{"mpeg2-%s.mov" % tag: ["-f", "lavfi", "-i", "testsrc=size=%s:rate=25" % size, "-t", "2"]
       + MPEG2_TAGGED + ["-vtag", tag] + QT
       for tag, size in (("hdv2", "1440x1080"), ("xd5c", "1920x1080"), ("xdvc", "1440x1080"),
                         ("mx5p", "720x608"))},
    "prores_ks.mov": PRO_BOTH + ["-c:v", "prores_ks", "-profile:v", "3", "-c:a", "pcm_s24le"],
    "dnxhd.mov": ["-f", "lavfi", "-i", "testsrc=size=1920x1080:rate=25", "-t", "1", "-c:v",
                  "dnxhd", "-b:v", "120M", "-pix_fmt", "yuv422p"],
    "dnxhr.mov": VIDEO + ["-t", "1", "-c:v", "dnxhd", "-profile:v", "dnxhr_lb", "-pix_fmt",
                          "yuv422p"],
    "dv.mov": ["-f", "lavfi", "-i", "testsrc=size=720x576:rate=25", "-t", "2", "-c:v", "dvvideo",
               "-pix_fmt", "yuv420p"],
    "rawvideo.mov": VIDEO + ["-t", "1", "-c:v", "rawvideo", "-pix_fmt", "rgb24"],
    "v210.mov": VIDEO + ["-t", "1", "-c:v", "v210"],
    "qtrle.mov": VIDEO + ["-t", "1", "-c:v", "qtrle"],
    "png.mov": VIDEO + ["-t", "1", "-c:v", "png"],
    "jpeg2000.mov": VIDEO + ["-t", "1", "-c:v", "jpeg2000"],
    "cinepak.mov": VIDEO + ["-t", "1", "-c:v", "cinepak"],
    **{"pcm-%s.mov" % codec: PRO_BOTH + ["-c:v", "mjpeg", "-c:a", codec, "-ac", "2"]
       for codec in ("pcm_s16be", "pcm_s24le", "pcm_s32be", "pcm_f32le")},
    "rawvideo.avi": VIDEO + ["-t", "1", "-c:v", "rawvideo", "-pix_fmt", "bgr24"],
    "pal8.avi": VIDEO + ["-t", "1", "-c:v", "rawvideo", "-pix_fmt", "pal8"],
    "mp2.wmv": PRO_BOTH + ["-c:v", "wmv2", "-c:a", "mp2"],
    "truehd.m2ts": PRO_BOTH + X264 + ["-c:a", "truehd", "-strict", "-2",
                                      "-mpegts_m2ts_mode", "1"],
    "aac.flv": PRO_BOTH + X264 + ["-c:a", "aac", "-ac", "2"],
    "mpeg2.m2v": VIDEO + ["-t", "10", "-c:v", "mpeg2video", "-b:v", "4M"],
    "segment.ts": BOTH + X264 + ["-c:a", "aac"],
}


def flv_without_aac_header(data):
    """An FLV whose AAC sequence header is empty, its metadata saying mono."""
    out, pos = bytearray(data[:13]), 13
    while pos + 11 <= len(data):
        size = int.from_bytes(data[pos + 1:pos + 4], "big")
        head, body = bytearray(data[pos:pos + 11]), bytearray(data[pos + 11:pos + 11 + size])
        if head[0] == 8 and body[0] >> 4 == 10 and body[1] == 0:
            body = body[:2]
        if head[0] == 18 and b"stereo" in body:
            body[body.index(b"stereo") + 7] = 0
        head[1:4] = len(body).to_bytes(3, "big")
        out += head + body + (11 + len(body)).to_bytes(4, "big")
        pos += 11 + size + 4
    return bytes(out)


def avi_as_rle(data):
    """A palette AVI whose compression field says RLE8 (ffmpeg writes no RLE)."""
    at = data.index(b"strf") + 8 + 16
    return data[:at] + (1).to_bytes(4, "little") + data[at + 4:]


# Shapes ffmpeg does not write, made from its files: the file the recipe
# made, and the bytes that become the set's file.
SHAPES = {
    "aac.flv": flv_without_aac_header,
    "pal8.avi": avi_as_rle,
    "mpeg2.m2v": lambda data: bytes(16) + data,  # zero bytes before the first header
    "segment.ts": lambda data: data[188 * 40:],  # its tables come after its first packets
}
# ffprobe's codec names and the names Vidarium and MediaInfo give them.
ALIASES = {
    "h264": ("AVC",), "hevc": ("HEVC",), "mpeg2video": ("MPEG-2 Video", "MPEG Video"),
    "mpeg1video": ("MPEG-1 Video", "MPEG Video"), "mpeg4": ("MPEG-4 Visual",),
    "prores": ("ProRes",), "dnxhd": ("DNxHD", "DNxHR", "VC-3"), "dvvideo": ("DV",),
    "rawvideo": ("Uncompressed", "RGB", "YUV"), "v210": ("Uncompressed", "YUV"),
    "qtrle": ("Animation", "RLE"), "msrle": ("Microsoft RLE", "RLE"), "png": ("PNG",),
    "jpeg2000": ("JPEG 2000",), "cinepak": ("Cinepak",), "mjpeg": ("Motion JPEG", "JPEG"),
    "wmv2": ("WMV2",), "flv1": ("Sorenson Spark",), "vp8": ("VP8",), "vp9": ("VP9",),
    "av1": ("AV1",), "theora": ("Theora",), "ffv1": ("FFV1",), "h263": ("H.263",),
    "msmpeg4v3": ("MPEG-4 Visual", "MP43"),
    "aac": ("AAC", "HE-AAC", "HE-AACv2"), "mp3": ("MP3", "MPEG Audio"),
    "mp2": ("MP2", "MPEG Audio"), "ac3": ("AC-3",), "eac3": ("E-AC-3",), "dts": ("DTS",),
    "truehd": ("TrueHD", "MLP FBA"), "opus": ("Opus",), "vorbis": ("Vorbis",),
    "flac": ("FLAC",), "alac": ("ALAC",), "wmav2": ("WMA v2", "WMA"),
}
# Public projects whose test data holds movie files: repository, commit.
REAL_SOURCES = [
    ("mozilla/mp4parse-rust", "8a49a0769764152022bf14a8253bcde1971a75df"),
    ("wader/fq", "65fcd537f788149e2bcfc599a74800c9292d2194"),
    ("androidx/media", "2bc207851df311340767e913931ca7b28cab1794"),
    ("Eyevinn/mp4ff", "c0bd02b1a8ed5758660f1ea328d492e74eb18686"),
]
MOVIE_SUFFIXES = (".mp4", ".m4v", ".mov", ".3gp", ".mkv", ".webm", ".ts", ".m2ts", ".flv",
                  ".ogv", ".ogg", ".avi", ".wmv", ".asf", ".mpg", ".vob")
FIELDS = ["duration", "width", "height", "frame rate", "sample rate", "channels",
          "video bit rate", "audio bit rate", "video codec", "audio codec"]


def number(value):
    try:
        return float(str(value).split("/")[0]) / (float(str(value).split("/")[1])
                                                  if "/" in str(value) else 1.0)
    except (ValueError, ZeroDivisionError):
        return None


def probe(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-show_format", "-show_streams", "-of",
                          "json", path], capture_output=True, text=True).stdout
    try:
        data = json.loads(out or "{}")
    except json.JSONDecodeError:
        return {}
    facts = {"duration": number(data.get("format", {}).get("duration"))}
    streams = data.get("streams", [])
    video = next((s for s in streams if s.get("codec_type") == "video"), None)
    sound = next((s for s in streams if s.get("codec_type") == "audio"), None)
    if video:
        facts.update({"width": number(video.get("width")), "height": number(video.get("height")),
                      "frame rate": number(video.get("r_frame_rate")),
                      "video bit rate": number(video.get("bit_rate"))})
    if sound:
        facts.update({"sample rate": number(sound.get("sample_rate")),
                      "channels": number(sound.get("channels")),
                      "audio bit rate": number(sound.get("bit_rate"))})
    # A codec is compared where the aliases know ffprobe's name (PCM's many
    # names all read PCM).
    for kind, stream in (("video codec", video), ("audio codec", sound)):
        name = (stream or {}).get("codec_name", "")
        facts[kind] = ("PCM",) if name.startswith("pcm_") else ALIASES.get(name)
    return {k: v for k, v in facts.items() if v}


def vidarium(scan, path):
    out = subprocess.run([scan, "--all-formats", "--format=json", path],
                         capture_output=True, text=True).stdout
    try:
        row = json.loads(out.splitlines()[0]) if out.strip() else {}
    except json.JSONDecodeError:
        return None
    if row.get("reader", "none") == "none":
        return None
    ms = row.get("duration_ms")
    return {"duration": ms / 1000 if ms is not None else None, "width": row.get("width"),
            "height": row.get("height"), "frame rate": row.get("frame_rate"),
            "sample rate": row.get("sample_rate"), "channels": row.get("channels"),
            "video bit rate": row.get("video_bit_rate"),
            "audio bit rate": row.get("audio_bit_rate"),
            "video codec": row.get("video_codec_name"), "audio codec": row.get("audio_codec_name")}


def mediainfo(path):
    out = subprocess.run(["mediainfo", "--Output=JSON", path], capture_output=True,
                         text=True).stdout
    try:
        tracks = json.loads(out or "{}").get("media", {}) or {}
    except json.JSONDecodeError:
        return None
    tracks = tracks.get("track", [])
    general = next((t for t in tracks if t.get("@type") == "General"), {})
    video = next((t for t in tracks if t.get("@type") == "Video"), {})
    sound = next((t for t in tracks if t.get("@type") == "Audio"), {})
    if not video and not sound:
        return None
    return {"duration": number(general.get("Duration")), "width": number(video.get("Width")),
            "height": number(video.get("Height")), "frame rate": number(video.get("FrameRate")),
            "sample rate": number(sound.get("SamplingRate")),
            "channels": number(sound.get("Channels")),
            "video bit rate": number(video.get("BitRate")),
            "audio bit rate": number(sound.get("BitRate")),
            "video codec": video.get("Format"), "audio codec": sound.get("Format")}


def agrees(field, ours, theirs):
    if ours is None:
        return False
    if field.endswith("codec"):
        # The name without the code a row may add in brackets ("(XVID)").
        return str(ours).split(" (")[0].lower() in (name.lower() for name in theirs)
    ours = float(ours)
    if field == "duration":
        return abs(ours - theirs) <= max(0.15, theirs * 0.01)
    if field == "frame rate":
        return abs(ours - theirs) <= theirs * 0.005
    if field.endswith("bit rate"):
        return abs(ours - theirs) <= theirs * 0.05
    return ours == theirs


def make_set(work, name="ffmpeg-made", recipes=None):
    folder = os.path.join(work, name)
    os.makedirs(folder, exist_ok=True)
    for name, arguments in (recipes or RECIPES).items():
        path = os.path.join(folder, name)
        if os.path.exists(path):
            continue
        made = subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin",
                               "-y"] + arguments + [path], check=False)
        if made.returncode != 0 and os.path.exists(path):
            os.remove(path)  # an encoder this ffmpeg lacks: left out of the set
        elif made.returncode == 0 and recipes is PRO_RECIPES and name in SHAPES:
            with open(path, "rb") as made_file:
                shaped = SHAPES[name](made_file.read())
            with open(path, "wb") as out:
                out.write(shaped)
    return folder


def real_set(work, url_format):
    """The movie files of REAL_SOURCES, copied (once) under WORK/real."""
    folder = os.path.join(work, "real")
    for repo, commit in REAL_SOURCES:
        target = os.path.join(folder, repo.replace("/", "+"))
        if os.path.isdir(target):
            continue
        clone = os.path.join(work, "clones", repo.replace("/", "+"))
        if not os.path.isdir(clone):
            subprocess.run(["git", "clone", "--quiet", "--no-checkout", "--filter=blob:none",
                            url_format.format(repo=repo, owner=repo.split("/")[0],
                                              name=repo.split("/")[1]), clone], check=True)
        names = subprocess.run(["git", "-C", clone, "ls-tree", "-r", "--name-only", commit],
                               capture_output=True, text=True, check=True).stdout.split("\n")
        for name in names:
            if not name.lower().endswith(MOVIE_SUFFIXES):
                continue
            data = subprocess.run(["git", "-C", clone, "show", "%s:%s" % (commit, name)],
                                  capture_output=True).stdout
            if data:  # a file the clone cannot give is passed over
                path = os.path.join(target, name)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "wb") as out:
                    out.write(data)
    return folder


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scan", default="build/dev/cli/vidarium-scan")
    parser.add_argument("--work", default="build/agreement")
    parser.add_argument("--real", action="store_true")
    parser.add_argument("--git-url", default="https://github.com/{repo}.git",
                        help="where the public projects are cloned from ({repo}, "
                        "{owner} and {name} are filled in)")
    parser.add_argument("folders", nargs="*")
    options = parser.parse_args()
    sets = [("ffmpeg-made", make_set(options.work)),
            ("editors, cameras, archives, discs",
             make_set(options.work, "professional", PRO_RECIPES))]
    if options.real:
        sets.append(("public test data", real_set(options.work, options.git_url)))
    sets += [(f, f) for f in options.folders]
    print("| set | files | fields compared | Vidarium agrees | MediaInfo agrees "
          "| rows: Vidarium | rows: MediaInfo |")
    print("|---|---|---|---|---|---|---|")
    for label, folder in sets:
        files = sorted(os.path.join(root, name) for root, _, names in os.walk(folder)
                       for name in names)
        compared = ours_agree = theirs_agree = our_rows = their_rows = 0
        misses = []
        for path in files:
            truth = probe(path)
            if not truth:
                continue
            ours = vidarium(options.scan, path)
            theirs = mediainfo(path)
            our_rows += ours is not None
            their_rows += theirs is not None
            if ours is None and theirs is not None:
                misses.append("* %s: no row" % os.path.relpath(path, folder))
            for field, value in truth.items():
                compared += 1
                ok = agrees(field, (ours or {}).get(field), value)
                theirs_ok = agrees(field, (theirs or {}).get(field), value)
                ours_agree += ok
                theirs_agree += theirs_ok
                if not ok:
                    # Marked: ffprobe and MediaInfo agree, Vidarium does not.
                    misses.append("%s%s: %s %s, ffprobe %s" % (
                        "* " if theirs_ok else "", os.path.basename(path), field,
                        (ours or {}).get(field), value))
        print("| %s | %d | %d | %d (%.1f %%) | %d (%.1f %%) | %d | %d |" % (
            label, len(files), compared, ours_agree, 100.0 * ours_agree / max(compared, 1),
            theirs_agree, 100.0 * theirs_agree / max(compared, 1), our_rows, their_rows))
        for miss in misses:
            print("  - " + miss, file=sys.stderr)


if __name__ == "__main__":
    main()

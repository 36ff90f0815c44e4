#!/usr/bin/env python3
"""Whole-process times: bmpsepia against djpeg -bmp and ImageMagick's sepia, paired runs.

usage: bench_process.py BUILD_DIR PHOTO.jpg... [--runs N]
"""
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time


def run(command):
    """Wall seconds and peak resident kilobytes of one run of a command."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    return seconds, peak if peak > before else None


def peak_kb(command):
    out = subprocess.run(["/usr/bin/time", "-f", "%M"] + command, check=True,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    return int(out.stderr.strip().splitlines()[-1])


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    runs = 7
    if "--runs" in sys.argv:
        runs = int(sys.argv[sys.argv.index("--runs") + 1])
        args.remove(str(runs))
    build, photos = args[0], args[1:]
    tool = os.path.join(build, "bmpsepia")
    # tmpfs where there is one, as a conversion of many files would write to a fast disk.
    shm = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    out = tempfile.mkdtemp(prefix="bmpsepia-bench-", dir=shm)
    tools = {
        "bmpsepia": lambda p: [tool, p, f"{out}/ours.bmp"],
        "djpeg": lambda p: ["djpeg", "-bmp", "-outfile", f"{out}/djpeg.bmp", p],
        "magick": lambda p: ["/usr/bin/convert", p, "-sepia-tone", "80%", f"{out}/magick.bmp"],
    }
    print(f"{'photo':<16} {'bmpsepia s':>10} {'djpeg s':>8} {'magick s':>9} "
          f"{'vs djpeg':>9} {'vs magick':>9} {'peak MiB':>8} {'B/px':>5}")
    for photo in photos:
        times = {name: [] for name in tools}
        ratios_djpeg, ratios_magick = [], []
        for name, make in tools.items():  # warm the page cache and the binaries
            run(make(photo))
        for _ in range(runs):
            pair = {name: run(make(photo))[0] for name, make in tools.items()}
            for name, seconds in pair.items():
                times[name].append(seconds)
            ratios_djpeg.append(pair["bmpsepia"] / pair["djpeg"])
            ratios_magick.append(pair["bmpsepia"] / pair["magick"])
        peak = peak_kb(tools["bmpsepia"](photo))
        with open(f"{out}/ours.bmp", "rb") as f:
            header = f.read(26)
        pixels = int.from_bytes(header[18:22], "little") * int.from_bytes(header[22:26], "little")
        print(f"{os.path.basename(photo):<16} {statistics.median(times['bmpsepia']):>10.3f} "
              f"{statistics.median(times['djpeg']):>8.3f} {statistics.median(times['magick']):>9.3f} "
              f"{statistics.median(ratios_djpeg):>9.2f} {statistics.median(ratios_magick):>9.2f} "
              f"{peak / 1024:>8.1f} {peak * 1024 / pixels:>5.2f}")
    subprocess.run(["rm", "-rf", out])


if __name__ == "__main__":
    main()

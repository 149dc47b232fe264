#!/usr/bin/env python3
"""The measurement command against libjpeg-turbo's djpeg on the same JPEGs.

Times the whole command with one worker (decoding, analysis and the refined
step, process start included) over all the photographs, and djpeg decoding
each of them to /dev/null in a process of its own, in turns (the order
swapped every round, so that a busy spell on a shared machine hits both
alike), and prints the medians per photograph, their ratio (goal at most
1.5) and the photographs per second on one core (goal at least 60). Then
the peak memory of the command's largest process, its worker: ru_maxrss of
the waited-for children (getrusage RUSAGE_CHILDREN) in a process that runs
nothing but the command.

usage: against_djpeg.py COMMAND PHOTO... [--rounds N]
"""
import argparse
import statistics
import subprocess
import sys
import time

RATIO_GOAL = 1.5    # command time / djpeg time, per photograph
RATE_GOAL = 60.0    # photographs per second on one core


def seconds(arguments):
    start = time.perf_counter()
    subprocess.run(arguments, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def time_command(command, photos):
    return seconds([command, "--jobs", "1"] + photos) / len(photos)


def time_djpeg(photos):
    start = time.perf_counter()
    for photo in photos:
        subprocess.run(["djpeg", "-outfile", "/dev/null", photo], check=True)
    return (time.perf_counter() - start) / len(photos)


def peak_kib(command, photos):
    """ru_maxrss (KiB) of the largest process the command's run left behind."""
    probe = ("import resource, subprocess, sys\n"
             "subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)\n"
             "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n")
    out = subprocess.run([sys.executable, "-c", probe, command, "--jobs", "1"] + photos,
                         capture_output=True, text=True, check=True)
    return int(out.stdout.strip())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("command")
    parser.add_argument("photos", nargs="+")
    parser.add_argument("--rounds", type=int, default=7)
    options = parser.parse_args()
    photos = options.photos
    # One run of each first, so that the files and both programs are cached.
    time_command(options.command, photos)
    time_djpeg(photos)
    command_s, djpeg_s = [], []
    for r in range(options.rounds):
        if r % 2 == 0:
            command_s.append(time_command(options.command, photos))
            djpeg_s.append(time_djpeg(photos))
        else:
            djpeg_s.append(time_djpeg(photos))
            command_s.append(time_command(options.command, photos))
    command_ms = 1000.0 * statistics.median(command_s)
    djpeg_ms = 1000.0 * statistics.median(djpeg_s)
    ratio = command_ms / djpeg_ms
    rate = 1000.0 / command_ms
    print("  against djpeg, medians of %d interleaved runs over %d photos:" % (options.rounds, len(photos)))
    print("    command --jobs 1 (refined included) %.2f ms per photo (runs %s)"
          % (command_ms, " ".join("%.1f" % (1000.0 * s) for s in command_s)))
    print("    djpeg -outfile /dev/null %.2f ms per file (runs %s)"
          % (djpeg_ms, " ".join("%.1f" % (1000.0 * s) for s in djpeg_s)))
    print("    ratio %.2f (goal <= %.1f: %s); %.1f photos/s on one core (goal >= %.0f: %s)"
          % (ratio, RATIO_GOAL, "met" if ratio <= RATIO_GOAL else "missed",
             rate, RATE_GOAL, "met" if rate >= RATE_GOAL else "missed"))
    print("    peak memory of the worker (ru_maxrss of the children): %.1f MiB"
          % (peak_kib(options.command, photos) / 1024.0))
    return 0


if __name__ == "__main__":
    sys.exit(main())

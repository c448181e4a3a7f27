#!/usr/bin/env python3
"""Time and peak memory of whole updates whose every one of thousands of small files changed.

Publishes on tests/support/httpserver.py a release of N files of 4 to 16 KiB in nested folders,
each packed as a "._lzma2_" container behind a five-field line of the client's product ini, over
an installed client that has other bytes in every one of those files, and runs the built
`update` through both stages the way the client starts it. For each N it prints the time of both
stages, the time of the second stage (from its start to the client's start), the cost per file of
the second stage without its fixed start and hand-over delays, and the second stage's peak
resident memory (VmHWM, read until it exits). A run counts only when every client file equals
its release and nothing of the update is left in the temporary folder. As a yardstick, the same
containers are fetched by curl with 6 parallel transfers, checked by sha512sum and copied by cp.

    bench/many_files_bench.py --build BUILD [--baseline OTHER_BUILD] [--files 1000,10000,40000]
                              [--runs N] [--work DIR]

BUILD holds src/update (a release build with the development key). Releases are made once per
file count under DIR (default /dev/shm, tmpfs) and reused by every run; with --baseline, runs of
the two builds alternate.
"""

import argparse
import hashlib
import lzma
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zlib

from benchsupport import (ROOT, VERSION, digest, digest_and_size, install_client, publish_ini, run_stages, served,
                          user_environment, write)

sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from vlvarint import varint  # noqa: E402

CONTAINER_MAGIC = 132781929
# The 2 MiB dictionary of LZMA2 property 18 holds every file.
DICTIONARY_PROPERTY = 18
# The second stage waits this long before it starts, and this long before it hands over.
FIXED_DELAYS_S = 2.0 + 1.0


def sha512(data):
    return hashlib.sha512(data).hexdigest()


def container(data):
    """A directive-1 container of data, as the release tooling packs a plain file."""
    block = lzma.compress(data, format=lzma.FORMAT_RAW,
                          filters=[{"id": lzma.FILTER_LZMA2, "preset": 0, "dict_size": 2 << 20}])
    crc = ~zlib.crc32(data) & 0xFFFFFFFF
    return (varint(CONTAINER_MAGIC) + varint(crc) + varint(1) + bytes([DICTIONARY_PROPERTY])
            + varint(len(data)) + block)


def pack(plain, packed):
    with open(plain, "rb") as f:
        write(packed, container(f.read()))


def client_paths(count):
    """Nested folders of at most 40 files and 20 subfolders each."""
    paths = []
    for i in range(count):
        folder, leaf = divmod(i, 40)
        parts = []
        while True:
            folder, digit = divmod(folder, 20)
            parts.append("d%02d" % digit)
            if folder == 0:
                break
        paths.append("/".join(reversed(parts)) + "/file%05d.dat" % i)
    return paths


def make_release(data_dir, count):
    """The served release and the installed client one version behind, made once per count."""
    release = os.path.join(data_dir, "release_%d" % count)
    if os.path.exists(os.path.join(release, "complete")):
        return release
    shutil.rmtree(release, ignore_errors=True)
    print("making a release of %d files in %s" % (count, release), file=sys.stderr)
    rng = random.Random(count)
    files = os.path.join(release, "www", "files", str(VERSION))
    client = os.path.join(release, "client")
    lines = []
    for path in client_paths(count):
        size = rng.randint(4 << 10, 16 << 10)
        # Half random, half repeated: the containers compress as real files do.
        new = rng.randbytes(size // 2) + bytes(size - size // 2)
        packed = container(new)
        write(os.path.join(files, "client", path + "._lzma2_"), packed)
        write(os.path.join(client, path), rng.randbytes(rng.randint(1, 4 << 10)))
        write(os.path.join(release, "expected", path), new)
        lines.append("%s._lzma2_=%s::%d::%s::%d::%s\n" % (path, sha512(packed), len(packed), sha512(new),
                                                         len(new), path))
    ini = ("[client]\n" + "".join(lines)).encode()
    publish_ini(files, "vl3_client_linux_amd64.ini", ini, pack)
    write(os.path.join(release, "complete"), b"")
    print("product ini: %d bytes, %d packed" % (len(ini), os.path.getsize(
        os.path.join(files, "vl3_client_linux_amd64.ini._lzma2_"))), file=sys.stderr)
    return release


def same_tree(expected, actual):
    """None when the two folders hold the same files with the same bytes, else the first difference."""
    for folder, _, names in os.walk(expected):
        for name in names:
            path = os.path.join(folder, name)
            other = os.path.join(actual, os.path.relpath(path, expected))
            with open(path, "rb") as a:
                try:
                    with open(other, "rb") as b:
                        if a.read() != b.read():
                            return other
                except OSError:
                    return other
    return None


def run_update(build, release, work_dir, timeout):
    """(both stages s, stage two s, stage two peak MiB), or raises SystemExit naming the work folder."""
    work = tempfile.mkdtemp(prefix="vl_many_files_bench_", dir=work_dir)
    client = os.path.join(work, "client")
    shutil.copytree(os.path.join(release, "client"), client)
    updater = install_client(client, build)
    # The release as linked files, with the first stage's product ini naming this build's updater.
    www = os.path.join(work, "www")
    subprocess.run(["cp", "-al", os.path.join(release, "www"), www], check=True)
    publish_ini(os.path.join(www, "files", str(VERSION)), "update_linux_amd64.ini",
                ("[updater]\nupdate=%s\n" % digest_and_size(updater)).encode(), pack)
    with served(www, timeout + 60) as port:
        env, tmp = user_environment(work, port)
        figures = run_stages(updater, env, tmp, work, timeout)
    wrong = same_tree(os.path.join(release, "expected"), client)
    if wrong:
        raise SystemExit("%s is not the release's; see %s" % (wrong, work))
    # The single-instance guard's folder stays by design; everything else is the update's.
    left = [name for name in os.listdir(tmp) if not name.startswith("voxlane_runtime_")]
    if left:
        raise SystemExit("left in the temporary folder: %s; see %s" % (", ".join(left), work))
    shutil.rmtree(work)
    return figures


def run_yardstick(release, work_dir, timeout):
    """Seconds for curl (6 parallel transfers) + sha512sum + cp of the release's containers."""
    work = tempfile.mkdtemp(prefix="vl_many_files_yardstick_", dir=work_dir)
    www = os.path.join(release, "www")
    served_files = os.path.join(www, "files", str(VERSION), "client")
    names = [os.path.relpath(os.path.join(folder, name), served_files)
             for folder, _, files in os.walk(served_files) for name in files]
    sums = os.path.join(work, "sums")
    with open(sums, "w") as f:
        for name in names:
            f.write("%s  fetched/%s\n" % (digest(os.path.join(served_files, name)), name))
    try:
        with served(www, timeout + 60) as port:
            config = os.path.join(work, "curl.config")
            with open(config, "w") as f:
                for name in names:
                    f.write('url = "http://127.0.0.1:%d/files/%d/client/%s"\noutput = "fetched/%s"\n'
                            % (port, VERSION, name, name))
            started = time.monotonic()
            subprocess.run(["curl", "--silent", "--fail", "--create-dirs", "--parallel", "--parallel-max", "6",
                            "--config", config], cwd=work, check=True, timeout=timeout,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.run(["sha512sum", "--quiet", "--check", sums], cwd=work, check=True, timeout=timeout)
            subprocess.run(["cp", "-r", "fetched", "copied"], cwd=work, check=True, timeout=timeout)
            return time.monotonic() - started
    finally:
        shutil.rmtree(work)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--baseline")
    parser.add_argument("--files", default="1000,10000,40000")
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--work", default="/dev/shm")
    parser.add_argument("--timeout", type=int, default=900)
    args = parser.parse_args()

    builds = [("updater", os.path.abspath(args.build))]
    if args.baseline:
        builds.append(("baseline", os.path.abspath(args.baseline)))
    data_dir = os.path.join(args.work, "vl_many_files_bench_data")
    print("%-9s %7s %11s %11s %13s %13s %11s" % ("build", "files", "both s", "stage two s", "ms per file",
                                                 "peak MiB", "curl etc s"))
    for count in (int(n) for n in args.files.split(",")):
        release = make_release(data_dir, count)
        yardstick = statistics.median(run_yardstick(release, args.work, args.timeout) for _ in range(args.runs))
        results = {label: [] for label, _ in builds}
        for _ in range(max(1, args.runs)):
            for label, build in builds:
                try:
                    results[label].append(run_update(build, release, args.work, args.timeout))
                except SystemExit as failure:
                    print("%-9s %7d   failed: %s" % (label, count, failure), flush=True)
        for label, _ in builds:
            runs = results[label]
            if not runs:
                continue
            both = statistics.median(r[0] for r in runs)
            two = statistics.median(r[1] for r in runs)
            print("%-9s %7d %11.2f %11.2f %13.3f %13.1f %11.2f" % (
                label, count, both, two, (two - FIXED_DELAYS_S) * 1000.0 / count,
                statistics.median(r[2] for r in runs), yardstick), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

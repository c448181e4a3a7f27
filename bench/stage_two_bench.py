#!/usr/bin/env python3
"""Peak memory and time of a whole second stage that replaces several hundred MB of client.

Publishes a release on tests/support/httpserver.py whose client is made of large libraries of
this machine, some as preprocessed containers and some as plain ones (as vlpack packs them), and
runs the built `update` through both stages the way the client starts it. The second stage is the
copy the first one starts from its session folder; its peak resident memory is its VmHWM (the
figure /usr/bin/time -v reports as maximum resident set size), read until it exits. The run is
only counted when every replaced file equals its library.

    bench/stage_two_bench.py --build BUILD [--baseline OTHER_BUILD] [--runs N] [--data DIR]

BUILD holds src/update and tools/vlpack/vlpack (a release build with the development key). The
containers are packed once into DIR (default: BUILD/bench/unpack_bench-data, which
bench/unpack_bench fills with the same names) and reused. With --baseline, runs of the two builds
alternate and both are reported.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

from benchsupport import (VERSION, digest, digest_and_size, install_client, publish_ini, run_stages, served,
                          user_environment, write)

LIBRARIES = "/usr/lib/x86_64-linux-gnu/"
# (library, packing): executables preprocessed, data and one more library plain.
CLIENT = [("libLLVM-15.so.1", "pre"), ("libLLVM-14.so.1", "pre"), ("libQt5WebKit.so.5.212.0", "pre"),
          ("libicudata.so.72.1", "plain"), ("libclang-14.so.14.0.6", "plain")]
# The Debian 12 packages that hold them; tools/install-deps does not install them all.
PACKAGES = "libllvm15 libllvm14 libqt5webkit5 libicu72 libclang1-14"


def pack(vlpack, data, name, kind):
    container = os.path.join(data, "%s.%s._lzma2_" % (name, kind))
    if not os.path.exists(container):
        print("packing %s" % container, file=sys.stderr)
        args = [vlpack] + (["--plain"] if kind == "plain" else []) + [LIBRARIES + name, container + ".part"]
        subprocess.run(args, check=True, stdout=subprocess.DEVNULL)
        os.rename(container + ".part", container)
    return container


def make_release(work, build, containers, vlpack):
    """The installed client one version behind, and the release that replaces its libraries: the
    installed updater's path."""
    client = os.path.join(work, "client")
    files = os.path.join(work, "www", "files", str(VERSION))
    updater = install_client(client, build)
    lines = ""
    for (name, _), container in zip(CLIENT, containers):
        write(os.path.join(client, "lib", name), b"the previous release\n")
        served = os.path.join(files, "client", "lib", name + "._lzma2_")
        os.makedirs(os.path.dirname(served), exist_ok=True)
        os.link(container, served)
        lines += "lib/%s._lzma2_=%s::%s::lib/%s\n" % (name, digest_and_size(served),
                                                      digest_and_size(LIBRARIES + name), name)

    def pack_plain(plain, packed):
        subprocess.run([vlpack, "--plain", plain, packed], check=True, stdout=subprocess.DEVNULL)
    publish_ini(files, "update_linux_amd64.ini", ("[updater]\nupdate=%s\n" % digest_and_size(updater)).encode(),
                pack_plain)
    publish_ini(files, "vl3_client_linux_amd64.ini", ("[client]\n" + lines).encode(), pack_plain)
    return updater


def run_once(build, containers, vlpack, timeout):
    work = tempfile.mkdtemp(prefix="vl_stage_two_bench_")
    updater = make_release(work, build, containers, vlpack)
    with served(os.path.join(work, "www"), timeout + 60) as port:
        env, tmp = user_environment(work, port, logs=True)
        seconds, _, peak = run_stages(updater, env, tmp, work, timeout)
    for name, _ in CLIENT:
        if digest(os.path.join(work, "client", "lib", name)) != digest(LIBRARIES + name):
            raise SystemExit("stage_two_bench: lib/%s was not replaced; see %s" % (name, work))
    shutil.rmtree(work)
    return seconds, peak


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--baseline")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--data")
    parser.add_argument("--timeout", type=int, default=600)
    args = parser.parse_args()

    missing = [name for name, _ in CLIENT if not os.path.exists(LIBRARIES + name)]
    if missing:
        raise SystemExit("stage_two_bench: %s missing; install %s" % (", ".join(missing), PACKAGES))
    builds = [("updater", os.path.abspath(args.build))]
    if args.baseline:
        builds.append(("baseline", os.path.abspath(args.baseline)))
    vlpack = os.path.join(builds[0][1], "tools", "vlpack", "vlpack")
    data = args.data or os.path.join(builds[0][1], "bench", "unpack_bench-data")
    os.makedirs(data, exist_ok=True)
    containers = [pack(vlpack, data, name, kind) for name, kind in CLIENT]
    total = sum(os.path.getsize(LIBRARIES + name) for name, _ in CLIENT)
    print("client: %d files, %.0f MB (%s)" % (len(CLIENT), total / 1e6,
                                             ", ".join("%s %s" % (name, kind) for name, kind in CLIENT)))

    results = {label: [] for label, _ in builds}
    for _ in range(max(1, args.runs)):
        for label, build in builds:
            results[label].append(run_once(build, containers, vlpack, args.timeout))
    print("%-10s %22s %22s" % ("build", "both stages s (median)", "stage two peak MiB"))
    for label, _ in builds:
        runs = results[label]
        print("%-10s %22.2f %22.1f" % (label, statistics.median(r[0] for r in runs),
                                       statistics.median(r[1] for r in runs)))
    return 0


if __name__ == "__main__":
    sys.exit(main())

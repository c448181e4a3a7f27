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
import hashlib
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KEY = os.path.join(ROOT, "tests", "support", "development_rsa_private.pem")
HTTPSERVER = os.path.join(ROOT, "tests", "support", "httpserver.py")
LIBRARIES = "/usr/lib/x86_64-linux-gnu/"
VERSION = 4711
# (library, packing): executables preprocessed, data and one more library plain.
CLIENT = [("libLLVM-15.so.1", "pre"), ("libLLVM-14.so.1", "pre"), ("libQt5WebKit.so.5.212.0", "pre"),
          ("libicudata.so.72.1", "plain"), ("libclang-14.so.14.0.6", "plain")]
RUN_SCRIPT = b"#!/bin/sh\necho started >> \"$(dirname \"$0\")/client_started\"\n"


def digest(path):
    h = hashlib.sha512()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def digest_and_size(path):
    return "%s::%d" % (digest(path), os.path.getsize(path))


def write(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)


def pack(vlpack, data, name, kind):
    container = os.path.join(data, "%s.%s._lzma2_" % (name, kind))
    if not os.path.exists(container):
        print("packing %s" % container, file=sys.stderr)
        args = [vlpack] + (["--plain"] if kind == "plain" else []) + [LIBRARIES + name, container + ".part"]
        subprocess.run(args, check=True, stdout=subprocess.DEVNULL)
        os.rename(container + ".part", container)
    return container


def publish_ini(files, staging, name, text, vlpack):
    plain = os.path.join(staging, name)
    write(plain, text.encode())
    subprocess.run(["openssl", "dgst", "-sha1", "-sign", KEY, "-sigopt", "rsa_padding_mode:pss",
                    "-sigopt", "rsa_pss_saltlen:8", "-sigopt", "rsa_mgf1_md:sha1",
                    "-out", os.path.join(files, name + ".sig"), plain], check=True)
    subprocess.run([vlpack, "--plain", plain, os.path.join(files, name + "._lzma2_")], check=True,
                   stdout=subprocess.DEVNULL)


def make_release(work, build, containers, vlpack):
    """The installed client one version behind, and the release that replaces its libraries."""
    client = os.path.join(work, "client")
    files = os.path.join(work, "www", "files", str(VERSION))
    staging = os.path.join(work, "staging")
    os.makedirs(files)
    os.makedirs(staging)
    updater = os.path.join(client, "update")
    write(updater, open(os.path.join(build, "src", "update"), "rb").read(), 0o755)
    write(os.path.join(client, "vl3client_runscript.sh"), RUN_SCRIPT, 0o755)
    lines = ""
    for (name, _), container in zip(CLIENT, containers):
        write(os.path.join(client, "lib", name), b"the previous release\n")
        served = os.path.join(files, "client", "lib", name + "._lzma2_")
        os.makedirs(os.path.dirname(served), exist_ok=True)
        os.link(container, served)
        lines += "lib/%s._lzma2_=%s::%s::lib/%s\n" % (name, digest_and_size(served),
                                                      digest_and_size(LIBRARIES + name), name)
    publish_ini(files, staging, "update_linux_amd64.ini", "[updater]\nupdate=%s\n" % digest_and_size(updater),
                vlpack)
    publish_ini(files, staging, "vl3_client_linux_amd64.ini", "[client]\n" + lines, vlpack)
    return client


def second_stage(tmp):
    """The pid of a process running a program from the session folders under tmp, or None."""
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.readlink("/proc/%s/exe" % entry).startswith(tmp + "/"):
                    return int(entry)
            except OSError:
                pass
    return None


def high_water_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def run_once(build, containers, vlpack, timeout):
    work = tempfile.mkdtemp(prefix="vl_stage_two_bench_")
    server = None
    try:
        client = make_release(work, build, containers, vlpack)
        server = subprocess.Popen([sys.executable, HTTPSERVER, "--root", os.path.join(work, "www"),
                                   "--lifetime", str(timeout + 60)], stdout=subprocess.PIPE, text=True)
        port = int(server.stdout.readline().split()[1])
        write(os.path.join(work, "config", "update.ini"),
              ("[Channel]\nalpha=http://127.0.0.1:%d/files\nalphaRevno=%d\n" % (port, VERSION)).encode())
        tmp = os.path.join(work, "tmp")
        env = dict(os.environ, TMPDIR=tmp, HOME=os.path.join(work, "home"),
                   VL3_CONFIG_DIR=os.path.join(work, "config"), QT_QPA_PLATFORM="offscreen")
        for name in ("tmp", "home"):
            os.makedirs(os.path.join(work, name), exist_ok=True)
        # Both stages write their logs when this marker exists; they say why a run failed.
        write(os.path.join(tmp, "vl3_update_log"), b"")

        started = time.monotonic()
        with open(os.path.join(work, "output.txt"), "wb") as output:
            subprocess.run([os.path.join(client, "update")], env=env, stdout=output, stderr=output,
                           timeout=timeout, check=True)
        pid = None
        while pid is None and time.monotonic() - started < timeout:
            pid = second_stage(tmp)
            time.sleep(0.01)
        if pid is None:
            raise SystemExit("stage_two_bench: no second stage started; see %s" % work)
        peak = 0
        while True:
            hwm = high_water_kib(pid)
            if hwm is None:
                break
            if time.monotonic() - started > timeout:
                # A second stage that failed waits for someone to close its window.
                os.kill(pid, signal.SIGKILL)
                raise SystemExit("stage_two_bench: the second stage did not end; see %s" % work)
            peak = max(peak, hwm)
            time.sleep(0.02)
        marker = os.path.join(client, "client_started")
        while not os.path.exists(marker) and time.monotonic() - started < timeout:
            time.sleep(0.05)
        seconds = time.monotonic() - started
        for name, _ in CLIENT:
            if digest(os.path.join(client, "lib", name)) != digest(LIBRARIES + name):
                raise SystemExit("stage_two_bench: lib/%s was not replaced; see %s" % (name, work))
        shutil.rmtree(work)
        return seconds, peak / 1024.0
    finally:
        if server:
            server.kill()
            server.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--baseline")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--data")
    parser.add_argument("--timeout", type=int, default=600)
    args = parser.parse_args()

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

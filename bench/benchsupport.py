"""What the whole-update benchmarks share: a release served on tests/support/httpserver.py, an
installed client whose updater is the build's, and both stages run the way the client starts them,
with the second stage watched until it exits."""

import contextlib
import hashlib
import os
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KEY = os.path.join(ROOT, "tests", "support", "development_rsa_private.pem")
HTTPSERVER = os.path.join(ROOT, "tests", "support", "httpserver.py")
VERSION = 4711
RUN_SCRIPT = b"#!/bin/sh\necho started >> \"$(dirname \"$0\")/client_started\"\n"
# A stage that used no processor time for this long has stopped (a failed stage waits for its
# window to be closed).
IDLE_LIMIT_S = 15.0


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


def publish_ini(files, name, text, pack):
    """Serves the product ini `name` in `files`, signed, and packed by pack(plain, packed)."""
    with tempfile.TemporaryDirectory() as staging:
        plain = os.path.join(staging, name)
        write(plain, text)
        subprocess.run(["openssl", "dgst", "-sha1", "-sign", KEY, "-sigopt", "rsa_padding_mode:pss",
                        "-sigopt", "rsa_pss_saltlen:8", "-sigopt", "rsa_mgf1_md:sha1",
                        "-out", os.path.join(files, name + ".sig"), plain], check=True)
        pack(plain, os.path.join(files, name + "._lzma2_"))


def install_client(client, build):
    """The build's updater and a launch script that notes the client's start; the updater's path."""
    updater = os.path.join(client, "update")
    with open(os.path.join(build, "src", "update"), "rb") as f:
        write(updater, f.read(), 0o755)
    write(os.path.join(client, "vl3client_runscript.sh"), RUN_SCRIPT, 0o755)
    return updater


@contextlib.contextmanager
def served(www, lifetime):
    """The port on which tests/support/httpserver.py serves `www` for the with block. Its stderr
    would fill the table with the resets of connections that clients leave at their end."""
    server = subprocess.Popen([sys.executable, HTTPSERVER, "--root", www, "--lifetime", str(lifetime)],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        yield int(server.stdout.readline().split()[1])
    finally:
        server.kill()
        server.wait()


def user_environment(work, port, logs=False):
    """The environment of a user of `work` whose channel file names the server on `port`: (env, tmp)."""
    write(os.path.join(work, "config", "update.ini"),
          ("[Channel]\nalpha=http://127.0.0.1:%d/files\nalphaRevno=%d\n" % (port, VERSION)).encode())
    tmp = os.path.join(work, "tmp")
    for name in ("tmp", "home", "xdg"):
        os.makedirs(os.path.join(work, name), mode=0o700, exist_ok=True)
    if logs:
        # Both stages write their logs when this marker exists; they say why a run failed.
        write(os.path.join(tmp, "vl3_update_log"), b"")
    env = dict(os.environ, TMPDIR=tmp, HOME=os.path.join(work, "home"), XDG_RUNTIME_DIR=os.path.join(work, "xdg"),
               VL3_CONFIG_DIR=os.path.join(work, "config"), QT_QPA_PLATFORM="offscreen")
    return env, tmp


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


def process_figures(pid):
    """(VmHWM in KiB, processor ticks used) of a running process, or None once it is gone."""
    try:
        with open("/proc/%d/status" % pid) as f:
            hwm = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return hwm, int(fields[11]) + int(fields[12])
    except (OSError, StopIteration):
        return None


def run_stages(updater, env, tmp, work, timeout):
    """Runs both stages until the client has started: (both stages s, stage two s, stage two peak
    MiB), or raises SystemExit naming the work folder."""
    started = time.monotonic()
    with open(os.path.join(work, "output.txt"), "wb") as output:
        subprocess.run([updater], env=env, stdout=output, stderr=output, timeout=timeout, check=True)
    pid = None
    while pid is None and time.monotonic() - started < timeout:
        pid = second_stage(tmp)
        time.sleep(0.005)
    if pid is None:
        raise SystemExit("no second stage started; see %s" % work)
    stage_two_started = time.monotonic()
    marker = os.path.join(os.path.dirname(updater), "client_started")
    client_started = None
    peak, ticks, busy = 0, -1, time.monotonic()
    while True:
        figures = process_figures(pid)
        now = time.monotonic()
        if client_started is None and os.path.exists(marker):
            client_started = now
        if figures is None:
            break
        if figures[1] != ticks:
            ticks, busy = figures[1], now
        if now - started > timeout or now - busy > IDLE_LIMIT_S:
            os.kill(pid, signal.SIGKILL)
            raise SystemExit("the second stage stopped without finishing; see %s" % work)
        peak = max(peak, figures[0])
        time.sleep(0.01)
    while client_started is None and time.monotonic() - started < timeout:
        if os.path.exists(marker):
            client_started = time.monotonic()
        time.sleep(0.002)
    if client_started is None:
        raise SystemExit("the client was not started; see %s" % work)
    return client_started - started, client_started - stage_two_started, peak / 1024.0

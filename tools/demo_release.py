#!/usr/bin/env python3
"""Runs the built updater through both stages against a small local release.

Builds, in a temporary folder: an installed client (the updater beside an old client), and a
file server for release 1001 ("3.4.1") with the updater's and the client's product inis (signed
with the development key, packed with vlpack), two packed replacements, a plain new file, a
deletion and a version-server reply made by protoc. Serves it on 127.0.0.1 with tests/support/httpserver.py
for a bounded time, runs the updater on the user's display (under xvfb-run when none is
reachable), waits for the second stage to start the client, and reports what the client folder
looks like afterwards.

The updater must be built against this server: VL_VERSION_SERVER_HOST=127.0.0.1:PORT and
VL_FILE_SERVER_BASE_URL=http://127.0.0.1:PORT/updater-images/client/ (tools/demo does so).
"""

import argparse
import hashlib
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KEY = os.path.join(ROOT, "tests", "support", "development_rsa_private.pem")
HTTPSERVER = os.path.join(ROOT, "tests", "support", "httpserver.py")
PROTO = os.path.join(ROOT, "deps", "voxlane_updateserver_client", "src", "lib", "UpdateMessage.proto")

VERSION = 1001
VERSION_STRING = "3.4.1"
OLD_CLIENT = b"#!/bin/sh\necho 'Voxlane client 3.4.0'\n"
NEW_CLIENT = b"#!/bin/sh\necho 'Voxlane client 3.4.1'\n" + b"# release notes padding\n" * 200
OLD_README = b"Voxlane 3.4.0\n"
NEW_README = b"Voxlane 3.4.1: faster start, fewer surprises.\n"
CHANGELOG = b"3.4.1\n- the client starts faster\n"
RUN_SCRIPT = b"#!/bin/sh\n# Started by the updater after the client update.\ndate > client_started\n"


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha512(f.read()).hexdigest()


def write(path, data, executable=False):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    if executable:
        os.chmod(path, 0o755)


def run(args, **kwargs):
    subprocess.run(args, check=True, **kwargs)


def publish_ini(release, name, text, vlpack, work):
    """Writes a product ini's packed form and detached signature into the release folder."""
    plain = os.path.join(work, name)
    write(plain, text.encode())
    run(["openssl", "dgst", "-sha1", "-sign", KEY, "-sigopt", "rsa_padding_mode:pss",
         "-sigopt", "rsa_pss_saltlen:8", "-sigopt", "rsa_mgf1_md:sha1",
         "-out", os.path.join(release, name + ".sig"), plain])
    run([vlpack, "--plain", plain, os.path.join(release, name + "._lzma2_")], stdout=subprocess.DEVNULL)


def make_release(work, updater, vlpack):
    client = os.path.join(work, "client")
    server = os.path.join(work, "server")
    release = os.path.join(server, "updater-images", "client", str(VERSION))
    staging = os.path.join(work, "staging")
    os.makedirs(staging)
    os.makedirs(release)

    # The installed client, one version behind.
    os.makedirs(client)
    shutil.copy2(updater, os.path.join(client, "update"))
    os.chmod(os.path.join(client, "update"), 0o755)
    write(os.path.join(client, "vl3client"), OLD_CLIENT, executable=True)
    write(os.path.join(client, "data", "readme.txt"), OLD_README)
    write(os.path.join(client, "obsolete.txt"), b"left over from 3.3\n")
    write(os.path.join(client, "vl3client_runscript.sh"), RUN_SCRIPT, executable=True)

    # Step one: this release's updater is the installed one, so it is copied, not fetched.
    installed = os.path.join(client, "update")
    publish_ini(release, "update_linux_amd64.ini",
                "[updater]\nupdate=%s::%d\n" % (digest(installed), os.path.getsize(installed)), vlpack, staging)

    # Step two: two packed replacements, a plain new file and a deletion. A plain (two-field)
    # line only ever adds a file: the updater's copy does not overwrite one.
    new_client = os.path.join(staging, "vl3client")
    write(new_client, NEW_CLIENT, executable=True)
    new_readme = os.path.join(staging, "readme.txt")
    write(new_readme, NEW_README)
    packed_client = os.path.join(release, "client", "vl3client._lzma2_")
    packed_readme = os.path.join(release, "client", "data", "readme.txt._lzma2_")
    os.makedirs(os.path.dirname(packed_readme), exist_ok=True)
    run([vlpack, new_client, packed_client], stdout=subprocess.DEVNULL)
    run([vlpack, "--plain", new_readme, packed_readme], stdout=subprocess.DEVNULL)
    changelog = os.path.join(release, "client", "data", "changelog.txt")
    write(changelog, CHANGELOG)

    def packed_line(packed, plain, target):
        return "%s=%s::%d::%s::%d::%s\n" % (os.path.relpath(packed, os.path.join(release, "client")),
                                           digest(packed), os.path.getsize(packed), digest(plain),
                                           os.path.getsize(plain), target)

    publish_ini(release, "vl3_client_linux_amd64.ini",
                "[client]\n"
                + packed_line(packed_client, new_client, "vl3client")
                + packed_line(packed_readme, new_readme, "data/readme.txt")
                + "data/changelog.txt=%s::%d\n" % (digest(changelog), os.path.getsize(changelog))
                + "[delete]\n"
                "obsolete.txt=1\n",
                vlpack, staging)

    reply = 'licenseAgreementId: 1\nchannels { name: "stable" version_number: %d version_string: "%s" }\n' % (
        VERSION, VERSION_STRING)
    with open(os.path.join(server, "vl3-client-2"), "wb") as out:
        run(["protoc", "--encode=voxlane.update.Versions", "-I", os.path.dirname(PROTO), PROTO],
            input=reply.encode(), stdout=out)
    return client, server


def start_server(server, port, lifetime, log):
    with open(log + ".err", "w") as errors:
        process = subprocess.Popen([sys.executable, HTTPSERVER, "--root", server, "--port", str(port),
                                    "--lifetime", str(lifetime), "--log", log],
                                   stdout=subprocess.PIPE, stderr=errors, text=True)
    line = process.stdout.readline()
    if not line.startswith("PORT "):
        process.kill()
        process.wait()
        with open(log + ".err") as errors:
            reason = (errors.read().strip().splitlines() or ["no reason given"])[-1]
        raise SystemExit("demo: the demo server did not start on port %d (%s); choose another with --port N "
                         "or VL_DEMO_PORT" % (port, reason))
    return process


WINDOW_TITLE = "Voxlane 3 Client Update"


def display_reachable():
    """Whether $DISPLAY names an X server that accepts this user."""
    if not os.environ.get("DISPLAY"):
        return False
    return subprocess.run(["xdotool", "getdisplaygeometry"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


def run_updater(work, client, timeout, show):
    env = dict(os.environ)
    env.update({"TMPDIR": os.path.join(work, "tmp"), "HOME": os.path.join(work, "home"),
                "VL3_CONFIG_DIR": os.path.join(work, "config")})
    for name in ("tmp", "home", "config"):
        os.makedirs(os.path.join(work, name), exist_ok=True)
    # The updater writes its log files only when this marker exists.
    write(os.path.join(work, "tmp", "vl3_update_log"), b"")
    env.pop("QT_QPA_PLATFORM", None)
    if show:
        # The display's key lies in the user's own home, which the updater does not see here.
        env.setdefault("XAUTHORITY", os.path.join(os.path.expanduser("~"), ".Xauthority"))
    # The screenshot is taken while the second stage's window is up: it shows the finished update
    # for a second after the stage logs "onUpdateFinished". The first stage starts the second one
    # detached; the shell waits for the client's start (or the time limit), so that a virtual X
    # server outlives both stages.
    script = ('( i=0; while [ $i -lt %d ]; do\n'
              '    [ "$(grep -l onUpdateFinished "$TMPDIR"/voxlane_update_log/*.log 2>/dev/null | wc -l)" -ge 2 ] && break\n'
              '    sleep 0.1; i=$((i+1))\n'
              '  done\n'
              '  w=$(xdotool search --onlyvisible --name \'^%s$\' 2>/dev/null | head -n1)\n'
              '  [ -n "$w" ] && import -window "$w" "$0/../screen.png" 2>/dev/null ) &\n'
              '"$0/update"; echo "first stage exit code $?"\n'
              'i=0; while [ ! -e "$0/client_started" ] && [ $i -lt %d ]; do sleep 1; i=$((i+1)); done\n'
              'wait\n' % (timeout * 10, WINDOW_TITLE, timeout))
    command = ["sh", "-c", script, client]
    if not show:
        command = ["xvfb-run", "-a", "-s", "-screen 0 1024x768x24"] + command
    started = time.monotonic()
    subprocess.run(command, env=env, timeout=timeout + 60)
    return time.monotonic() - started


def report(work, client, server_log, seconds):
    print("\n== client folder after the update (%s), %.1f s" % (client, seconds))
    for folder, dirs, files in sorted(os.walk(client)):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, client)
            info = os.stat(path)
            line = "  %-28s %8d bytes  %s" % (rel, info.st_size, stat.filemode(info.st_mode))
            if name != "update" and info.st_size < 4096:
                with open(path, "rb") as f:
                    first = f.read().split(b"\n")
                text = next((l for l in first if l and not l.startswith(b"#!")), b"")
                line += "  | " + text.decode(errors="replace")
            print(line)
    checks = [
        ("client program is 3.4.1", open(os.path.join(client, "vl3client"), "rb").read() == NEW_CLIENT),
        ("readme is 3.4.1", open(os.path.join(client, "data", "readme.txt"), "rb").read() == NEW_README),
        ("changelog added", os.path.exists(os.path.join(client, "data", "changelog.txt"))),
        ("obsolete.txt deleted", not os.path.exists(os.path.join(client, "obsolete.txt"))),
        ("session record removed", not os.path.exists(os.path.join(client, "update.ini"))),
        ("client started", os.path.exists(os.path.join(client, "client_started"))),
    ]
    tmp = os.path.join(work, "tmp")
    leftovers = [n for n in os.listdir(tmp) if n.startswith("voxlane_temp_")]
    checks.append(("temporary session folder removed", not leftovers))
    print("\n== checks")
    for text, ok in checks:
        print("  %-34s %s" % (text, "yes" if ok else "NO"))
    with open(server_log) as f:
        requests = [l.split()[1] for l in f if l.strip()]
    print("\n== requests to the local server (%d)" % len(requests))
    for r in requests:
        print("  " + r)
    return all(ok for _, ok in checks)


def print_kept(work, client):
    """Says where the kept demo folder holds what a newcomer may want to look at."""
    logs = os.path.join(work, "tmp", "voxlane_update_log")
    screenshot = os.path.join(work, "screen.png")
    print("\n== kept in %s" % work)
    print("  client folder   %s" % client)
    if os.path.isdir(logs):
        for name in sorted(os.listdir(logs)):
            print("  updater log     %s" % os.path.join(logs, name))
    else:
        print("  updater logs    none were written (%s is missing)" % logs)
    print("  server log      %s" % os.path.join(work, "server.log"))
    if os.path.exists(screenshot):
        print("  screenshot      %s (the updater's window as the second stage ended)" % screenshot)
    else:
        print("  screenshot      none was taken")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="build folder holding src/update and tools/vlpack/vlpack")
    parser.add_argument("--port", type=int, default=18080)
    parser.add_argument("--timeout", type=int, default=120, help="seconds to wait for both stages")
    parser.add_argument("--keep", action="store_true",
                        help="keep the demo folder (client, updater logs, screenshot) and print where it is")
    args = parser.parse_args()

    updater = os.path.join(args.build, "src", "update")
    vlpack = os.path.join(args.build, "tools", "vlpack", "vlpack")
    for path in (updater, vlpack):
        if not os.access(path, os.X_OK):
            raise SystemExit("demo: %s is missing; build first" % path)

    work = tempfile.mkdtemp(prefix="voxlane_demo_")
    server_process = None
    ok = False
    try:
        client, server = make_release(work, updater, vlpack)
        server_log = os.path.join(work, "server.log")
        server_process = start_server(server, args.port, args.timeout + 120, server_log)
        print("demo: release %d (%s) served on http://127.0.0.1:%d/, client in %s"
              % (VERSION, VERSION_STRING, args.port, client))
        show = display_reachable()
        print("demo: the updater's windows show on display %s" % os.environ["DISPLAY"] if show
              else "demo: no display reachable ($DISPLAY); the updater runs in a virtual X server (xvfb-run)")
        seconds = run_updater(work, client, args.timeout, show)
        ok = report(work, client, server_log, seconds)
    finally:
        if server_process:
            server_process.kill()
            server_process.wait()
        if args.keep:
            print_kept(work, os.path.join(work, "client"))
        else:
            shutil.rmtree(work, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

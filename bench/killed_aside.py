#!/usr/bin/env python3
"""Runs of runel killed by TERM and then KILL while a name is moved aside, and what the next run
in the folder leaves at a private name (`.runel-removing-`).

    bench/killed_aside.py RUNEL [--trials 300] [--scenario stale|signal] [--aimed] [--name-taken]
        [--term-only]

Each trial has a folder of its own. `stale`: the folder holds an earlier result and an empty
board, so the run fails and removes that result as stale, moving its name aside first. `signal`:
the run writes a 4 MB result and is sent TERM part-way; its handler takes the created file back,
moving the name aside first. KILL follows TERM after 300 us. With --aimed, a preloaded library
pauses each process 50 ms just after it moves a name aside (Linux), so that every kill lands
there; without, TERM comes after a random delay. With --name-taken, another file is put at the
result's name after the kill, as another run would. With --term-only, no KILL follows: a run that
holds its signals while a name is aside ends only once the file is back or gone. Then one more run, with a board that succeeds,
runs in the folder; the script counts the folders with a private name left after the kill and
after that run.
"""
import argparse
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

MARK = ".runel-removing-"
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

PAUSE_SOURCE = r"""
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
typedef int (*rename_call)(int, const char*, int, const char*, unsigned);
static rename_call next_rename;
__attribute__((constructor)) static void find_next(void)
{
    next_rename = (rename_call)dlsym(RTLD_NEXT, "renameat2");
}
int renameat2(int from_folder, const char* from, int to_folder, const char* to, unsigned flags)
{
    int done = next_rename(from_folder, from, to_folder, to, flags);
    if (done == 0 && strstr(to, ".runel-removing-") != NULL) {
        struct timespec pause = { 0, 50 * 1000 * 1000 };
        nanosleep(&pause, NULL);
    }
    return done;
}
"""


def build_pause(work):
    source = os.path.join(work, "pause.c")
    library = os.path.join(work, "pause.so")
    with open(source, "w") as out:
        out.write(PAUSE_SOURCE)
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", library, source, "-ldl"], check=True)
    return library


def aside_names(folder):
    return [name for name in os.listdir(folder) if MARK in name]


def wait_for_aside(folder, run, limit=2.0):
    end = time.monotonic() + limit
    while time.monotonic() < end and run.poll() is None:
        if aside_names(folder):
            return True
    return False


def kill_later(run, pause=0.0003):
    time.sleep(pause)
    try:
        run.send_signal(signal.SIGKILL)
    except ProcessLookupError:
        pass


def trial(runel, folder, scenario, env, term_only=False):
    board = os.path.join(ROOT, "bench", "boards", "05_4m.txt")
    if scenario == "stale":
        with open(os.path.join(folder, "Runel_out.txt"), "w") as out:
            out.write("an earlier result\n")
        open(os.path.join(folder, "Runel_in.txt"), "w").close()
    else:
        shutil.copy(board, os.path.join(folder, "Runel_in.txt"))
    run = subprocess.Popen([runel], cwd=folder, env=env, stderr=subprocess.DEVNULL)
    aimed = "LD_PRELOAD" in env
    if scenario == "stale":
        if aimed:
            wait_for_aside(folder, run)
        else:
            time.sleep(random.uniform(0, 0.004))
        run.send_signal(signal.SIGTERM)
    else:
        time.sleep(random.uniform(0.005, 0.06))
        run.send_signal(signal.SIGTERM)
        if aimed:
            wait_for_aside(folder, run)
    if not term_only:
        kill_later(run)
    run.wait()
    return bool(aside_names(folder))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("runel")
    parser.add_argument("--trials", type=int, default=300)
    parser.add_argument("--scenario", choices=["stale", "signal"], default="stale")
    parser.add_argument("--aimed", action="store_true")
    parser.add_argument("--name-taken", action="store_true")
    parser.add_argument("--term-only", action="store_true")
    args = parser.parse_args()
    runel = os.path.abspath(args.runel)
    work = tempfile.mkdtemp(prefix="killed-aside-")
    env = dict(os.environ)
    if args.aimed:
        env["LD_PRELOAD"] = build_pause(work)
    stranded = left = kept = missing = 0
    example = os.path.join(ROOT, "examples")
    for number in range(args.trials):
        folder = os.path.join(work, str(number))
        os.mkdir(folder)
        stranded += trial(runel, folder, args.scenario, env, args.term_only)
        if args.name_taken:
            with open(os.path.join(folder, "Runel_out.txt"), "w") as out:
                out.write("another run's result\n")
        shutil.copy(os.path.join(example, "Runel_in.txt"), os.path.join(folder, "Runel_in.txt"))
        next_run = subprocess.run([runel], cwd=folder, capture_output=True, text=True)
        left += bool(aside_names(folder))
        kept += "is kept, as" in next_run.stderr
        with open(os.path.join(example, "Runel_out.expected.txt")) as expected:
            result = os.path.join(folder, "Runel_out.txt")
            missing += not os.path.exists(result) or open(result).read() != expected.read()
    shutil.rmtree(work)
    how = args.scenario + (" aimed" if args.aimed else "") + (", name taken" if args.name_taken else "")
    print(f"{how}: {args.trials} runs killed; "
          f"a private name left after the kill in {stranded}, after the next run in {left}; "
          f"the next run said a file was kept in {kept}, and its result was wrong in {missing}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

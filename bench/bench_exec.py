"""Running commands: exec_command against subprocess and against shell-only floors.

    python bench/bench_exec.py [--calls 300] [--rounds 3]

Prints, side by side in one run:
  1. latency of exec_command("true") and of subprocess.run(["/bin/sh", "-c", "true"],
     capture_output=True);
  2. capturing 100 MB of standard output: exec_command (head and tail kept),
     subprocess.run(..., capture_output=True) and a C-to-C pipe
     (head -c 100000000 /dev/zero | cat >/dev/null);
  3. exec_command("true") in a loop on 4 threads against 1 thread, and the same for 1 and 4
     parallel sh loops that each spawn "sh -c true" (no Python at all).
Each figure is the best of --rounds rounds, which keeps noise from other work on the machine
out of the ratios.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import threading
import time

from tarnwistle import _core

MB100 = 100_000_000
HEAD = f"head -c {MB100} /dev/zero"


def best_interleaved(rounds, *fns):
    """Best time of each function, the rounds alternating between them so that a change in
    the machine's load during the run hits all of them alike."""
    results = [float("inf")] * len(fns)
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            results[i] = min(results[i], fn())
    return results


def per_call(calls, fn):
    def once():
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        return (time.perf_counter() - start) / calls

    return once


def threaded_rate(threads, calls, fn):
    """Calls per second with `threads` threads each making `calls` calls."""

    def once():
        barrier = threading.Barrier(threads + 1)

        def work():
            barrier.wait()
            for _ in range(calls):
                fn()

        pool = [threading.Thread(target=work) for _ in range(threads)]
        for t in pool:
            t.start()
        barrier.wait()
        start = time.perf_counter()
        for t in pool:
            t.join()
        return (time.perf_counter() - start) / (threads * calls)

    return once


def shell_loop_rate(loops, calls):
    """Seconds per spawn with `loops` parallel sh loops each spawning `sh -c true` `calls` times."""
    script = f'i=0; while [ "$i" -lt {calls} ]; do /bin/sh -c true; i=$((i + 1)); done'

    def once():
        start = time.perf_counter()
        procs = [subprocess.Popen(["/bin/sh", "-c", script]) for _ in range(loops)]
        for p in procs:
            p.wait()
        return (time.perf_counter() - start) / (loops * calls)

    return once


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=300)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    client = _core.LocalClient(tempfile.gettempdir())
    calls, rounds = args.calls, args.rounds
    print(f"python {sys.version.split()[0]}, {os.cpu_count()} cpus, {calls} calls, best of {rounds}")

    # 1. latency of one short command
    ours, theirs = best_interleaved(
        rounds,
        per_call(calls, lambda: client.exec_command("true")),
        per_call(calls, lambda: subprocess.run(["/bin/sh", "-c", "true"], capture_output=True)),
    )
    print(f"latency  exec_command('true')   {ours * 1e3:7.3f} ms/call")
    print(f"latency  subprocess.run         {theirs * 1e3:7.3f} ms/call")
    print(f"latency  ratio ours/subprocess  {ours / theirs:7.2f}x  (goal <= 1.0x)")

    # 2. capture throughput of 100 MB
    def capture_ours():
        start = time.perf_counter()
        r = client.exec_command(HEAD)
        assert r.stdout_total_bytes == MB100
        return time.perf_counter() - start

    def capture_subprocess():
        start = time.perf_counter()
        r = subprocess.run(["/bin/sh", "-c", HEAD], capture_output=True)
        assert len(r.stdout) == MB100
        return time.perf_counter() - start

    def c_pipe():
        start = time.perf_counter()
        subprocess.run(["/bin/sh", "-c", HEAD + " | cat >/dev/null"], check=True)
        return time.perf_counter() - start

    t_ours, t_sub, t_pipe = best_interleaved(rounds, capture_ours, capture_subprocess, c_pipe)
    for name, t in (("exec_command", t_ours), ("subprocess.run", t_sub), ("C pipe", t_pipe)):
        print(f"capture  {name:22s} {t * 1e3:8.1f} ms  {MB100 / t / 1e6:8.0f} MB/s")
    print(f"capture  speed ours/subprocess  {t_sub / t_ours:7.2f}x  (goal >= 2x)")
    print(f"capture  time ours/C pipe       {t_ours / t_pipe:7.2f}x  (goal <= 1.3x)")

    # 3. threads
    true = lambda: client.exec_command("true")  # noqa: E731
    one, four, sh_one, sh_four = best_interleaved(
        rounds,
        threaded_rate(1, calls, true),
        threaded_rate(4, calls, true),
        shell_loop_rate(1, calls),
        shell_loop_rate(4, calls),
    )
    ours_up, floor_up = one / four, sh_one / sh_four
    print(f"threads  exec_command 1 thread  {1 / one:8.0f} calls/s")
    print(f"threads  exec_command 4 threads {1 / four:8.0f} calls/s  speed-up {ours_up:.2f}x")
    print(f"threads  sh loop x1             {1 / sh_one:8.0f} spawns/s")
    print(f"threads  sh loops x4            {1 / sh_four:8.0f} spawns/s  speed-up {floor_up:.2f}x")
    print(f"threads  speed-up ours/floor    {ours_up / floor_up:7.2f}   (goal >= 0.9)")


if __name__ == "__main__":
    main()

"""Running commands: exec_command beside subprocess and a plain Python reader, in one run.

    python bench/bench_exec.py [--calls 300] [--rounds 5]

Prints the background (load, what else runs), then side by side:
  1. latency of exec_command("true") and of subprocess.run("true", shell=True,
     capture_output=True);
  2. capturing 20 MB and 100 MB of standard output: exec_command (head and tail kept),
     subprocess.run(..., capture_output=True), which keeps all of it, and Popen with 64 KiB
     reads that discard;
  3. a 1 MiB round trip through cat: exec_command("cat", stdin=...) and
     subprocess.run("cat", shell=True, input=..., capture_output=True);
  4. exec_command("true") in a loop on 4 threads against 1 thread, and the same for 1 and 4
     parallel sh loops that each spawn "sh -c true" (no Python at all).
Each figure is the best of --rounds rounds (three times as many for the captures, which take
milliseconds each and vary most), the rounds alternating between the ways, so that a change in
the machine's load hits all of them alike.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import threading
import time

from tarnwistle import _core

CHUNK = 65536


def background():
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    busy = set()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
            with open(f"/proc/{pid}/comm") as f:
                name = f.read().strip()
        except OSError:
            continue
        if state == "R" and int(pid) != os.getpid():
            busy.add(name)
    return f"load {load}, other runnable processes: {', '.join(sorted(busy)) or 'none'}"


def best_interleaved(rounds, *fns):
    results = [float("inf")] * len(fns)
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            results[i] = min(results[i], fn())
    return results


def timed(fn):
    def once():
        start = time.perf_counter()
        fn()
        return time.perf_counter() - start

    return once


def per_call(calls, fn):
    def once():
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        return (time.perf_counter() - start) / calls

    return once


def threaded_rate(threads, calls, fn):
    """Seconds per call with `threads` threads each making `calls` calls."""

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
    script = f'i=0; while [ "$i" -lt {calls} ]; do /bin/sh -c true; i=$((i + 1)); done'

    def once():
        start = time.perf_counter()
        procs = [subprocess.Popen(["/bin/sh", "-c", script]) for _ in range(loops)]
        for p in procs:
            p.wait()
        return (time.perf_counter() - start) / (loops * calls)

    return once


def discarding_reader(command, size):
    """Popen and 64 KiB reads that keep nothing: the floor for a Python capture."""

    def run():
        p = subprocess.Popen(command, shell=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        total, fd = 0, p.stdout.fileno()
        while chunk := os.read(fd, CHUNK):
            total += len(chunk)
        p.stderr.read()
        p.wait()
        assert total == size

    return run


def row(section, name, seconds, note=""):
    print(f"{section:<8} {name:<46} {seconds * 1e3:9.3f} ms  {note}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=300)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    client = _core.LocalClient(tempfile.gettempdir())
    calls, rounds = args.calls, args.rounds
    print(f"python {sys.version.split()[0]}, {os.cpu_count()} cpus, {calls} calls, "
          f"best of {rounds}")
    print(f"background at start: {background()}")

    # 1. latency of one short command
    ours, theirs = best_interleaved(
        rounds,
        per_call(calls, lambda: client.exec_command("true")),
        per_call(calls, lambda: subprocess.run("true", shell=True, capture_output=True)),
    )
    row("latency", "exec_command('true')", ours)
    row("latency", "subprocess.run('true', shell=True)", theirs)
    ratio = ours / theirs
    print(f"latency  time ours/subprocess {ratio:6.2f}x  (goal <= 1.0x) "
          f"{'ok' if ratio <= 1.0 else 'MISSED'}")

    # 2. capture
    for size in (20_000_000, 100_000_000):
        command = f"head -c {size} /dev/zero"

        def capture_ours(command=command, size=size):
            assert client.exec_command(command).stdout_total_bytes == size

        def capture_subprocess(command=command, size=size):
            r = subprocess.run(command, shell=True, capture_output=True)
            assert len(r.stdout) == size

        t_ours, t_sub, t_floor = best_interleaved(
            3 * rounds, timed(capture_ours), timed(capture_subprocess),
            timed(discarding_reader(command, size)))
        mb = size // 1_000_000
        row("capture", f"{mb} MB exec_command", t_ours, f"{size / t_ours / 1e6:6.0f} MB/s")
        row("capture", f"{mb} MB subprocess.run(capture_output=True)", t_sub,
            f"{size / t_sub / 1e6:6.0f} MB/s")
        row("capture", f"{mb} MB Popen + 64 KiB reads, discarding", t_floor,
            f"{size / t_floor / 1e6:6.0f} MB/s")
        speed, floor = t_sub / t_ours, t_ours / t_floor
        print(f"capture  {mb} MB speed ours/subprocess {speed:5.2f}x (goal >= 1.5x) "
              f"{'ok' if speed >= 1.5 else 'MISSED'}; time ours/discarding {floor:4.2f}x "
              f"(goal <= 1.3x) {'ok' if floor <= 1.3 else 'MISSED'}")

    # 3. a round trip through stdin
    text = ("0123456789abcdef" * 64 + "\n") * 1024  # 1 MiB and 1,024 line feeds
    data = text.encode()

    def cat_ours():
        assert client.exec_command("cat", stdin=text).stdout_total_bytes == len(data)

    def cat_subprocess():
        assert len(subprocess.run("cat", shell=True, input=data, capture_output=True).stdout) \
            == len(data)

    ours, theirs = best_interleaved(rounds, per_call(20, cat_ours), per_call(20, cat_subprocess))
    row("stdin", "1 MiB through cat, exec_command", ours)
    row("stdin", "1 MiB through cat, subprocess.run(input=...)", theirs)
    ratio = ours / theirs
    print(f"stdin    time ours/subprocess {ratio:6.2f}x  (goal <= 1.0x) "
          f"{'ok' if ratio <= 1.0 else 'MISSED'}")

    # 4. threads
    true = lambda: client.exec_command("true")  # noqa: E731
    one, four, sh_one, sh_four = best_interleaved(
        max(1, rounds // 2),
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
    print(f"background at end: {background()}")


if __name__ == "__main__":
    main()

"""Times SshClient over a loopback sshd (multiplexed) against its floors and against paramiko.

Run as root with the package installed (it creates a throwaway user and an sshd):
    python bench/bench_ssh.py
paramiko is optional (pip install paramiko); without it that column stays empty.

Columns, per operation:
  ours      SshClient, one client, its master connection warm
  floor     the very argument list ours passed to ssh (same script, same stdin), replayed by a
            small C program with posix_spawn + waitpid, both pipes read: what any client of
            this one-ssh-per-operation design must pay
  bare      `ssh <same options> host true` from the same C program
  paramiko  the same work on one open paramiko connection (SFTP stat / read / write to a
            temporary name + posix_rename, exec_command on a channel)
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

from ssh_server import SshWorld, ensure_sshd  # noqa: E402

from tarnwistle import _core  # noqa: E402

try:
    import paramiko
except ImportError:  # the column is left empty
    paramiko = None

FLOOR_C = r"""
#include <poll.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <fcntl.h>
#include <signal.h>
extern char** environ;

/* floor N ARGFILE [STDINFILE]: runs "ssh" + the NUL-separated arguments N times, feeding the
   file on stdin and draining stdout and stderr, and prints the mean seconds per run. */
static char* slurp(const char* path, size_t* len) {
  FILE* f = fopen(path, "rb"); fseek(f, 0, SEEK_END); long n = ftell(f); rewind(f);
  char* buf = malloc(n + 1); *len = fread(buf, 1, n, f); buf[*len] = 0; fclose(f); return buf;
}
int main(int argc, char** argv) {
  int runs = atoi(argv[1]);
  size_t alen, ilen = 0;
  char* args = slurp(argv[2], &alen);
  char* input = argc > 3 ? slurp(argv[3], &ilen) : NULL;
  char* av[256]; int ac = 0; av[ac++] = "ssh";
  for (size_t i = 0; i < alen; i += strlen(args + i) + 1) av[ac++] = args + i;
  av[ac] = NULL;
  static char sink[65536];
  signal(SIGPIPE, SIG_IGN);
  struct timespec t0, t1; clock_gettime(CLOCK_MONOTONIC, &t0);
  for (int r = 0; r < runs; ++r) {
    int out[2], err[2], in[2];
    pipe(out); pipe(err); if (input) pipe(in);
    posix_spawn_file_actions_t fa; posix_spawn_file_actions_init(&fa);
    if (input) posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    else posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    posix_spawn_file_actions_addclose(&fa, out[0]); posix_spawn_file_actions_addclose(&fa, err[0]);
    if (input) posix_spawn_file_actions_addclose(&fa, in[1]);
    pid_t pid;
    if (posix_spawnp(&pid, "ssh", &fa, NULL, av, environ) != 0) { perror("spawn"); return 1; }
    close(out[1]); close(err[1]);
    size_t sent = 0;
    if (input) { close(in[0]); fcntl(in[1], F_SETFL, O_NONBLOCK); if (ilen == 0) close(in[1]); }
    int open_in = input && ilen > 0, open_out = 1, open_err = 1;
    while (open_out || open_err || open_in) {
      struct pollfd p[3]; int n = 0;
      if (open_out) { p[n].fd = out[0]; p[n].events = POLLIN; n++; }
      if (open_err) { p[n].fd = err[0]; p[n].events = POLLIN; n++; }
      if (open_in) { p[n].fd = in[1]; p[n].events = POLLOUT; n++; }
      poll(p, n, -1);
      for (int k = 0; k < n; ++k) {
        if (!p[k].revents) continue;
        if (p[k].fd == in[1] && open_in) {
          ssize_t w = write(in[1], input + sent, ilen - sent);
          if (w > 0) sent += w;
          if (w < 0 || sent == ilen) { close(in[1]); open_in = 0; }
        } else {
          ssize_t got = read(p[k].fd, sink, sizeof sink);
          if (got > 0 && p[k].fd == err[0]) fwrite(sink, 1, got, stderr);
          if (got <= 0) { close(p[k].fd); if (p[k].fd == out[0]) open_out = 0; else open_err = 0; }
        }
      }
    }
    int status; waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) { fprintf(stderr, "run failed: %d\n", status); return 1; }
    posix_spawn_file_actions_destroy(&fa);
  }
  clock_gettime(CLOCK_MONOTONIC, &t1);
  printf("%.9f\n", ((t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9) / runs);
  return 0;
}
"""

WRAPPER_C = r"""
#include <unistd.h>
/* ssh with the benchmark's private client configuration; nothing else. */
int main(int argc, char** argv) {
  char* v[argc + 3]; v[0] = "ssh"; v[1] = "-F"; v[2] = CONFIG;
  for (int i = 1; i < argc; ++i) v[i + 2] = argv[i];
  v[argc + 2] = 0;
  execv("/usr/bin/ssh", v);
  return 127;
}
"""


def compile_c(source: str, out: Path, *flags: str) -> None:
    src = out.with_suffix(".c")
    src.write_text(source)
    subprocess.run(["cc", "-O2", "-o", str(out), str(src), *flags], check=True)


def per_call(fn, n):
    start = time.perf_counter()
    for _ in range(n):
        fn()
    return (time.perf_counter() - start) / n


class Bench:
    def __init__(self) -> None:
        why = ensure_sshd()
        if why:
            sys.exit(f"cannot run: {why}")
        self.world = SshWorld.create(subsystem_sftp=True)
        self.server = self.world.start_server()
        self.fast_bin = self.world.base / "fast-bin"
        self.fast_bin.mkdir()
        compile_c(WRAPPER_C, self.fast_bin / "ssh", f'-DCONFIG="{self.world.client_config}"')
        self.floor = self.world.base / "floor"
        compile_c(FLOOR_C, self.floor)
        self.path0 = os.environ["PATH"]
        self.use_fast_ssh()
        self.client = _core.SshClient("127.0.0.1", port=self.server.port, username=self.world.user,
                                      key_filename=str(self.world.key),
                                      allow_password_prompt=False, max_transfer_bytes=64 << 20)
        self.client.exists(".")
        self.home = self.world.home
        self.sftp = self.ssh = None
        if paramiko is not None:
            self.ssh = paramiko.SSHClient()
            self.ssh.load_host_keys(str(self.world.known_hosts))
            self.ssh.connect("127.0.0.1", port=self.server.port, username=self.world.user,
                             key_filename=str(self.world.key), allow_agent=False,
                             look_for_keys=False)
            self.sftp = self.ssh.open_sftp()
            self.sftp.chdir(str(self.home))

    def use_fast_ssh(self):
        os.environ["PATH"] = f"{self.fast_bin}{os.pathsep}{self.path0}"

    def captured_argvs(self, operation):
        """The argument lists ours passes to ssh for one call of `operation`, in order."""
        before = len(self.world.argv_records())
        os.environ["PATH"] = f"{self.world.bin_dir}{os.pathsep}{self.path0}"
        try:
            operation()
        finally:
            self.use_fast_ssh()
        return self.world.argv_records()[before:]

    def floor_of(self, argvs, n, stdin: bytes | None = None):
        """Seconds per call of replaying every run of one call; stdin goes to the first."""
        return sum(self.floor_time(argv, n, stdin if i == 0 else None)
                   for i, argv in enumerate(argvs))

    def floor_time(self, argv, n, stdin: bytes | None = None, parallel=1):
        argfile = self.world.base / f"args-{threading.get_ident()}"
        argfile.write_bytes(b"".join(a.encode() + b"\0" for a in argv))
        cmd = [str(self.floor), str(n), str(argfile)]
        if stdin is not None:
            infile = self.world.base / "stdin"
            infile.write_bytes(stdin)
            cmd.append(str(infile))
        if parallel == 1:
            return float(subprocess.run(cmd, check=True, capture_output=True, text=True).stdout)
        start = time.perf_counter()
        procs = [subprocess.Popen(cmd, stdout=subprocess.DEVNULL) for _ in range(parallel)]
        for p in procs:
            if p.wait() != 0:
                raise RuntimeError("floor run failed")
        return (time.perf_counter() - start) / (n * parallel)

    def bare_argv(self, argv):
        host = argv.index("127.0.0.1")
        return argv[:host + 1] + ["true"]

    def close(self):
        if self.ssh is not None:
            self.ssh.close()
        del self.client
        os.environ["PATH"] = self.path0
        self.world.close()


def main() -> None:
    b = Bench()
    try:
        run(b)
    finally:
        b.close()


def run(b: Bench) -> None:
    c = b.client
    home = b.home
    (home / "four.txt").write_text("x" * 4095 + "\n")
    (home / "lines.txt").write_text("".join(f"line {i} of the window file\n" for i in range(1000)))
    for p in (home / "four.txt", home / "lines.txt"):
        shutil.chown(p, b.world.user)
    content = "y" * 4095 + "\n"
    n = 20

    sftp = b.sftp

    def p_stat():
        sftp.lstat("four.txt")

    def p_read():
        with sftp.open("four.txt", "rb") as f:
            f.read().decode()

    def p_write():
        with sftp.open("w.tmp", "wb") as f:
            f.write(content.encode())
        sftp.posix_rename("w.tmp", "w.txt")

    def p_window():
        with sftp.open("lines.txt", "rb") as f:
            lines = f.read().decode().splitlines(keepends=True)
        "".join(lines[399:499])

    def p_exec():
        _, out, err = b.ssh.exec_command("true")
        out.channel.recv_exit_status()

    ops = [
        ("stat", lambda: c.stat("four.txt"), None, p_stat),
        ("read_text 4 KiB", lambda: c.read_text("four.txt"), None, p_read),
        ("write_text_atomic 4 KiB", lambda: c.write_text_atomic("w.txt", content),
         content.encode(), p_write),
        ("read_text_window 100 lines", lambda: c.read_text_window("lines.txt", 400, 100), None,
         p_window),
        ('exec_command("true")', lambda: c.exec_command("true"), None, p_exec),
    ]
    rounds = 5
    print(f"SshClient over loopback sshd, multiplexed; mean ms per call, best of {rounds} x {n} calls")
    print("(floor: the argument lists ours passed to ssh, one run per operation, replayed)")
    print(f"{'operation':28} {'ours':>7} {'floor':>7} {'bare':>7} {'paramiko':>9} "
          f"{'ours/floor':>10} {'ours/paramiko':>13}")
    for name, ours_fn, stdin, p_fn in ops:
        ours_fn()
        argvs = b.captured_argvs(ours_fn)
        ours = floor = bare = para = float("inf")
        for _ in range(rounds):  # interleaved, so load from elsewhere hits all columns alike
            ours = min(ours, per_call(ours_fn, n))
            floor = min(floor, b.floor_of(argvs, n, stdin))
            bare = min(bare, b.floor_time(b.bare_argv(argvs[0]), n))
            if sftp is not None:
                para = min(para, per_call(p_fn, n))
        print(f"{name:28} {ours * 1e3:7.2f} {floor * 1e3:7.2f} {bare * 1e3:7.2f} "
              f"{para * 1e3:9.2f} {ours / floor:10.2f} {ours / para:13.1f}")

    # ---- 8 MiB transfers --------------------------------------------------------------------
    big = os.urandom(8 << 20)
    (home / "big.bin").write_bytes(big)
    shutil.chown(home / "big.bin", b.world.user)
    tn = 5

    def p_read_big():
        with sftp.open("big.bin", "rb") as f:
            f.prefetch()
            f.read()

    def p_write_big():
        with sftp.open("big.tmp", "wb") as f:
            f.set_pipelined(True)
            f.write(big)
        sftp.posix_rename("big.tmp", "big2.bin")

    print()
    print(f"8 MiB transfers, MB/s (best of {rounds} x {tn})")
    print(f"{'transfer':28} {'ours':>7} {'floor':>7} {'paramiko':>9} {'ours/paramiko':>13}")
    for name, ours_fn, stdin, p_fn in [
        ("read_bytes 8 MiB", lambda: c.read_bytes("big.bin"), None, p_read_big),
        ("write_bytes 8 MiB", lambda: c.write_bytes("big2.bin", big), big, p_write_big),
    ]:
        ours_fn()
        argvs = b.captured_argvs(ours_fn)
        mb = 8 * 1.048576
        ours = floor = para = float("inf")
        for _ in range(rounds):
            ours = min(ours, per_call(ours_fn, tn))
            floor = min(floor, b.floor_of(argvs, tn, stdin))
            if sftp is not None:
                para = min(para, per_call(p_fn, tn))
        print(f"{name:28} {mb / ours:7.0f} {mb / floor:7.0f} {mb / para:9.0f} {para / ours:13.2f}")

    # ---- threads ----------------------------------------------------------------------------
    per_thread = 40

    def loop():
        for _ in range(per_thread):
            c.exists("four.txt")

    def threaded(k):
        start = time.perf_counter()
        threads = [threading.Thread(target=loop) for _ in range(k)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return (time.perf_counter() - start) / (per_thread * k)

    stat_argv = b.captured_argvs(lambda: c.exists("four.txt"))[0]
    true_argv = b.bare_argv(stat_argv)
    one = eight = float("inf")
    floors = {"ssh ... true": [float("inf")] * 2, "ssh ... <stat script>": [float("inf")] * 2}
    for _ in range(3):
        one = min(one, threaded(1))
        eight = min(eight, threaded(8))
        for label, argv in (("ssh ... true", true_argv), ("ssh ... <stat script>", stat_argv)):
            f = floors[label]
            f[0] = min(f[0], b.floor_time(argv, per_thread))
            f[1] = min(f[1], b.floor_time(argv, per_thread, parallel=8))
    print()
    print(f"scaling on {os.cpu_count()} cores: mean ms per call, 1 vs 8 concurrent")
    print(f"{'':34} {'1':>7} {'8':>7} {'speed-up':>9} {'ours/this':>10}")
    print(f"{'ours: exists(), 8 threads, 1 client':34} {one * 1e3:7.2f} {eight * 1e3:7.2f} "
          f"{one / eight:9.2f}")
    for label, (f_one, f_eight) in floors.items():
        print(f"{label + ', 8 processes':34} {f_one * 1e3:7.2f} {f_eight * 1e3:7.2f} "
              f"{f_one / f_eight:9.2f} {(one / eight) / (f_one / f_eight):10.2f}")


if __name__ == "__main__":
    main()

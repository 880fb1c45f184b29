"""Loopback OpenSSH servers for the remote-client tests and benchmarks.

Everything lives under one temporary directory: the keys, the server configurations, a client
configuration with its own known_hosts (the real ~/.ssh is never read or written) and an `ssh`
wrapper that adds `-F <client config>`, logs its argument list and execs the real program.
Put the wrapper's directory first on PATH. A throwaway non-root user with a random password
and an authorized key owns the remote side. `bsd_tools` builds a remote PATH whose `stat` only
speaks the BSD form (`-f` with %m, %z:%m:%i, %Lp), whose `wc` pads its counts as BSD `wc` does,
and which has no `setsid`.
"""

from __future__ import annotations

import contextlib
import dataclasses
import os
import pwd
import secrets
import shutil
import socket
import subprocess
import tempfile
import time
import uuid
from pathlib import Path
from types import SimpleNamespace

from proc_table import processes, running

SSHD, REAL_SSH = "/usr/sbin/sshd", "/usr/bin/ssh"

# Separators of the argv log: a record per run of the wrapper, one field per argument.
ARG_SEP, RECORD_SEP = "\x1e", "\x1d"

# Tools the remote scripts and the tests use, linked into the BSD-flavoured PATH directory.
# `setsid` is left out on purpose, and `stat` and `wc` are replaced by wrappers.
BSD_PATH_TOOLS = (
    "sh", "dash", "bash", "cat", "awk", "sed", "mkdir", "rmdir", "rm", "mv", "chmod", "sleep",
    "ps", "kill", "test", "[", "printf", "env", "true", "false", "ls", "id", "echo", "head",
    "tail", "tr", "cut", "grep", "touch", "ln", "readlink", "python3", "pwd", "uname",
)

BSD_STAT = """#!/bin/sh
# stat as BSD systems have it: only "-f FORMAT FILE..." is understood.
if [ "$1" != "-f" ] || [ "$#" -lt 3 ]; then
  echo "stat: illegal option -- ${1#-}" >&2
  exit 1
fi
fmt=$(printf '%s' "$2" | /usr/bin/sed -e 's/%Lp/%a/g' -e 's/%m/%Y/g' -e 's/%z/%s/g')
shift 2
exec /usr/bin/stat -c "$fmt" -- "$@"
"""

BSD_WC = """#!/bin/sh
# wc as BSD systems have it: counts right-aligned in eight columns.
out=$(/usr/bin/wc "$@") || exit $?
printf '%8s\\n' "$out"
"""

SSH_WRAPPER = """#!/bin/sh
# Test ssh: a private client configuration, and every argument list logged.
rs=$(printf '\\036')
rec=''
for a in "$@"; do rec="$rec$a$rs"; done
printf '%s\\035' "$rec" >> {log}
if [ -n "$SSH_ASKPASS" ]; then stat -c '%a %s %n' "$SSH_ASKPASS" >> {log}.askpass; fi
exec {real} -F {config} "$@"
"""


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def ensure_sshd() -> str | None:
    """Installs openssh-server when sshd is missing; returns why it cannot run, or None."""
    if os.path.exists(SSHD) and os.path.exists(REAL_SSH):
        return None
    if os.geteuid() != 0:
        return "sshd is not installed and installing it needs root"
    for cmd in (["apt-get", "update"], ["apt-get", "install", "-y", "openssh-server"]):
        done = subprocess.run(cmd, capture_output=True, text=True,
                              env={**os.environ, "DEBIAN_FRONTEND": "noninteractive"})
        if done.returncode != 0:
            return f"{' '.join(cmd)} failed: {done.stderr.strip()[-500:]}"
    if not os.path.exists(SSHD):
        return "openssh-server installed no sshd"
    return None


@dataclasses.dataclass
class Server:
    port: int
    process: subprocess.Popen
    config: Path
    log: Path


@dataclasses.dataclass
class SshWorld:
    """One user, keys, the client side and any number of servers."""

    base: Path
    user: str
    password: str
    home: Path
    servers: list[Server] = dataclasses.field(default_factory=list)

    def __post_init__(self):
        # other_key: a key the server does not know; bin_dir holds the ssh wrapper.
        for name, file in [("key", "id_ed25519"), ("other_key", "other_ed25519"),
                           ("host_key", "host_ed25519"), ("bin_dir", "bin"),
                           ("client_config", "ssh_config"), ("known_hosts", "known_hosts"),
                           ("argv_log", "argv.log")]:
            setattr(self, name, self.base / file)

    # ---- setup ---------------------------------------------------------------------------

    @classmethod
    def create(cls, subsystem_sftp: bool = False) -> "SshWorld":
        if os.geteuid() != 0:
            raise RuntimeError("the loopback servers need root to create a user")
        base = Path(tempfile.mkdtemp(prefix="tw-sshd-"))
        os.chmod(base, 0o755)
        user = "tw" + secrets.token_hex(4)
        password = "pw-" + secrets.token_urlsafe(12)
        subprocess.run(["useradd", "-m", "-s", "/bin/sh", user], check=True, capture_output=True)
        subprocess.run(["chpasswd"], input=f"{user}:{password}\n", text=True, check=True,
                       capture_output=True)
        home = Path(pwd.getpwnam(user).pw_dir)
        world = cls(base=base, user=user, password=password, home=home)
        world._sftp = subsystem_sftp
        try:
            world._make_keys()
            world._make_client_side()
        except BaseException:
            world.close()
            raise
        return world

    def _make_keys(self) -> None:
        for path in (self.key, self.other_key, self.host_key):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", str(path)],
                           check=True, capture_output=True)
        ssh_dir = self.home / ".ssh"
        ssh_dir.mkdir(mode=0o700, exist_ok=True)
        auth = ssh_dir / "authorized_keys"
        auth.write_text(Path(f"{self.key}.pub").read_text())
        os.chmod(auth, 0o600)
        self.give(ssh_dir, auth)

    def _make_client_side(self) -> None:
        self.bin_dir.mkdir()
        self.known_hosts.write_text("")
        self.argv_log.write_text("")
        self.client_config.write_text("\n  ".join([
            "Host *", f"UserKnownHostsFile {self.known_hosts}", "GlobalKnownHostsFile /dev/null",
            "CheckHostIP no", "UpdateHostKeys no", "IdentityAgent none", "IdentitiesOnly yes",
            "LogLevel ERROR"]) + "\n")
        wrapper = self.bin_dir / "ssh"
        wrapper.write_text(SSH_WRAPPER.format(log=self.argv_log, real=REAL_SSH,
                                              config=self.client_config))
        os.chmod(wrapper, 0o755)

    def bsd_tools(self) -> Path:
        """A PATH directory with a BSD-only stat, a padding wc and no setsid."""
        tools = self.base / "bsd-bin"
        if tools.exists():
            return tools
        tools.mkdir()
        os.chmod(tools, 0o755)
        for name in BSD_PATH_TOOLS:
            if real := shutil.which(name, path="/usr/bin:/bin"):
                (tools / name).symlink_to(real)
        for name, text in (("stat", BSD_STAT), ("wc", BSD_WC)):
            (tools / name).write_text(text)
            os.chmod(tools / name, 0o755)
        return tools

    def start_server(self, remote_path: Path | None = None) -> Server:
        """Starts one sshd on 127.0.0.1 and records its host key for the client."""
        Path("/run/sshd").mkdir(mode=0o755, parents=True, exist_ok=True)
        port = free_port()
        index = len(self.servers)
        config = self.base / f"sshd_config.{index}"
        lines = [f"Port {port}", "ListenAddress 127.0.0.1", f"HostKey {self.host_key}",
                 f"PidFile {self.base}/sshd.{index}.pid", "UsePAM no",
                 "PasswordAuthentication yes", "KbdInteractiveAuthentication no",
                 "PubkeyAuthentication yes", "PermitRootLogin no", f"AllowUsers {self.user}",
                 "StrictModes no", "MaxStartups 200", "MaxSessions 200", "MaxAuthTries 6",
                 "LogLevel ERROR", "UseDNS no", "PrintMotd no"]
        if self._sftp:
            lines.append("Subsystem sftp internal-sftp")
        if remote_path is not None:
            lines.append(f"SetEnv PATH={remote_path}")
        config.write_text("\n".join(lines) + "\n")
        log = self.base / f"sshd.{index}.log"
        with open(log, "wb") as out:
            process = subprocess.Popen([SSHD, "-D", "-e", "-f", str(config)],
                                       stdout=out, stderr=subprocess.STDOUT)
        server = Server(port=port, process=process, config=config, log=log)
        self.servers.append(server)
        self._wait_listening(server)
        pub = Path(f"{self.host_key}.pub").read_text().split()
        with open(self.known_hosts, "a") as kh:
            kh.write(f"[127.0.0.1]:{port} {pub[0]} {pub[1]}\n")
        return server

    @staticmethod
    def _wait_listening(server: Server) -> None:
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if server.process.poll() is not None:
                raise RuntimeError(f"sshd exited: {server.log.read_text()}")
            try:
                with socket.create_connection(("127.0.0.1", server.port), timeout=0.5) as s:
                    if s.recv(4).startswith(b"SSH-"):
                        return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError(f"sshd did not start: {server.log.read_text()}")

    # ---- what tests look at --------------------------------------------------------------

    def argv_records(self) -> list[list[str]]:
        text = self.argv_log.read_text(errors="surrogateescape")
        return [rec.split(ARG_SEP)[:-1] for rec in text.split(RECORD_SEP)[:-1]]

    def askpass_records(self) -> list[str]:
        """'{mode} {size} {path}' of the askpass script as each password run saw it."""
        log = Path(f"{self.argv_log}.askpass")
        return log.read_text().splitlines() if log.exists() else []

    @property
    def uid(self) -> int:
        return pwd.getpwnam(self.user).pw_uid

    def running(self, needle: str) -> list[int]:
        """The test user's live processes whose command line contains `needle`."""
        return running(needle, self.uid)

    # ---- what tests make -----------------------------------------------------------------

    def give(self, *paths) -> None:
        """Hands local paths under the remote home to the test user."""
        for path in paths:
            os.chown(path, self.uid, pwd.getpwnam(self.user).pw_gid)

    def remote_dir(self, prefix: str, files: dict[str, str] | None = None):
        """A fresh directory of the test user's: its name relative to the remote home and its
        local path, holding `files` (name: text)."""
        name = f"{prefix}-{uuid.uuid4().hex[:10]}"
        local = self.home / name
        local.mkdir()
        self.give(local)
        for file, text in (files or {}).items():
            (local / file).write_text(text)
            self.give(local / file)
        return name, local

    def client(self, server: Server | None = None, **kwargs):
        """An SshClient logging in with the key, without prompts."""
        from tarnwistle import _core

        options = {"port": (server or self.main).port, "key_filename": str(self.key),
                   "allow_password_prompt": False, "connect_timeout": 5,
                   "operation_timeout": 15, **kwargs}
        return _core.SshClient("127.0.0.1", username=self.user, **options)

    # ---- teardown ------------------------------------------------------------------------

    def close(self) -> None:
        # The per-connection sshd children of our listeners and the test user's processes.
        listeners = {s.process.pid for s in self.servers}
        session_pids = [pid for pid, (ppid, _, _) in processes().items() if ppid in listeners]
        with contextlib.suppress(KeyError):
            session_pids += list(processes(self.uid))
        for server in self.servers:
            server.process.terminate()
        for pid in session_pids:
            with contextlib.suppress(OSError):
                os.kill(pid, 9)
        for server in self.servers:
            try:
                server.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                server.process.kill()
                server.process.wait()
        subprocess.run(["userdel", "-r", "-f", self.user], capture_output=True)
        shutil.rmtree(self.base, ignore_errors=True)


@contextlib.contextmanager
def running_world(bsd: bool = False):
    """A world with a `main` server (and with `bsd`, a `bsd` one on the BSD-flavoured PATH);
    the ssh wrapper is first on PATH meanwhile."""
    why = ensure_sshd()
    if why is not None:
        raise RuntimeError(why)
    world = SshWorld.create()
    old_path = os.environ.get("PATH", "")
    try:
        world.main = world.start_server()
        if bsd:
            world.bsd = world.start_server(remote_path=world.bsd_tools())
        os.environ["PATH"] = f"{world.bin_dir}{os.pathsep}{old_path}"
        yield world
    finally:
        os.environ["PATH"] = old_path
        world.close()


@contextlib.contextmanager
def loopback_server():
    """One server and a working directory owned by the remote user, for demonstrations:
    yields port, user, key_path and workdir; the ssh wrapper is on PATH meanwhile."""
    with running_world() as world:
        _, workdir = world.remote_dir("work")
        yield SimpleNamespace(port=world.main.port, user=world.user, key_path=str(world.key),
                              workdir=str(workdir), world=world)

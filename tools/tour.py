"""A short tour: a versioned read-edit-write cycle, a patch and a time-limited command, on this
machine and, when a loopback sshd can be started, the same through SshClient."""

from __future__ import annotations

import os
import sys
import tempfile
from pathlib import Path

from tarnwistle import _core

ROOT = Path(__file__).resolve().parent.parent


def tour(client, workdir: str) -> None:
    name = f"{client.kind}:"
    path = client.join(workdir, "notes.txt")
    info = client.write_text_atomic(path, "alpha\nbeta\ngamma\n", create_only=True)
    print(name, "created", info)

    # Read, edit exactly, write back only if nobody changed the file meanwhile.
    text = client.read_text(path)
    new_text, count = _core.edit_text(text, "beta", "BETA", False)
    info = client.write_text_atomic(path, new_text, expected_version=info.version)
    print(name, f"edited {count} place(s); new version {info.version!r}")
    try:
        client.write_text_atomic(path, "stale", expected_version="local:0:0:0:0")
    except _core.ConflictError as exc:
        print(name, "a stale write is refused:", exc)

    # A patch hunk located by its context and applied to the current text.
    patched = _core.derive_new_contents(
        client.read_text(path), path, [("alpha", ["BETA"], ["beta", "delta"], False)]
    )
    client.write_text(path, patched)
    window = client.read_text_window(path, -2, 10)
    print(name, "last two lines:", window)

    # A command with a time limit: it is stopped, and the result says so.
    result = client.exec_command("echo started; sleep 5", cwd=workdir, timeout=0.5)
    print(name, result, repr(result.stdout), repr(result.stderr))
    client.delete(path)


def main() -> int:
    with tempfile.TemporaryDirectory() as tmp:
        tour(_core.LocalClient(tmp), tmp)
    sys.path.insert(0, str(ROOT / "tests" / "python"))
    try:
        from ssh_server import loopback_server  # the same server the tests use
    except ImportError as exc:
        print("ssh: skipped (no test server helper:", exc, ")")
        return 0
    try:
        with loopback_server() as server:
            client = _core.SshClient(
                "127.0.0.1",
                port=server.port,
                username=server.user,
                key_filename=server.key_path,
                cwd=server.workdir,
            )
            tour(client, server.workdir)
    except Exception as exc:  # no sshd here: the local tour stands on its own
        print("ssh: skipped (cannot start a loopback sshd:", exc, ")")
    return 0


if __name__ == "__main__":
    sys.exit(main())

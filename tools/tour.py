"""A short tour through the agent tools of examples/agent_tools.py: a view, a versioned
read-edit-write cycle that survives a concurrent writer, a patch and a command with a time
limit and bounded output, on this machine and, when a loopback sshd can be started, the same
through SshClient."""

from __future__ import annotations

import sys
import tempfile
from pathlib import Path

from tarnwistle import Client, ConflictError, LocalClient, SshClient

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
from agent_tools import edit, patch, rewrite, shell, view  # noqa: E402


def show(client: Client, step: str, text: str) -> None:
    print(f"{client.kind}: {step}\n    " + text.rstrip("\n").replace("\n", "\n    "))


def tour(client: Client, workdir: str) -> None:
    path = client.join(workdir, "notes.txt")
    info = client.write_text_atomic(path, "alpha\nbeta\ngamma\n", create_only=True)
    show(client, "created", repr(info))
    show(client, "view", view(client, path))

    # Read, edit exactly, write back only if nobody changed the file meanwhile.
    show(client, "edit beta -> BETA", edit(client, path, "beta", "BETA"))
    try:
        client.write_text_atomic(path, "stale", expected_version=info.version)
    except ConflictError as exc:
        show(client, "a write with the first version is refused", str(exc))

    # Another writer slips in between the read and the write: the write is refused, and the
    # change is made again on the text that writer left.
    calls = 0

    def capitalise(text: str) -> str:
        nonlocal calls
        calls += 1
        if calls == 1:
            client.write_text(path, text + "epsilon\n")  # the other writer, just now
        return text.replace("gamma", "GAMMA")

    rewrite(client, path, capitalise)
    show(client, f"gamma -> GAMMA, made {calls} times around a concurrent write",
         view(client, path))

    # A patch hunk located by its context and applied to the current text.
    hunk = "@@ alpha\n-BETA\n+beta\n+delta\n"
    show(client, "patch", patch(client, path, hunk))
    show(client, "the last three lines", view(client, path, -3))

    # Commands with a time limit and bounded output: the result says what happened.
    show(client, "sleep past the limit", shell(client, "echo started; sleep 5", workdir, 0.5))
    show(client, "a long output", shell(client, "seq 1 100000", workdir, max_output_bytes=64))
    client.delete(path)


def main() -> int:
    with tempfile.TemporaryDirectory() as tmp:
        tour(LocalClient(tmp), tmp)
    sys.path.insert(0, str(ROOT / "tests" / "python"))
    try:
        from ssh_server import loopback_server  # the same server the tests use
    except ImportError as exc:
        print("ssh: skipped (no test server helper:", exc, ")")
        return 0
    try:
        with loopback_server() as server:
            client = SshClient(
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

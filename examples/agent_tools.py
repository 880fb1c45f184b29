# pyright: strict
"""Four small agent tools on tarnwistle: view, exact edit, patch and shell.

Each tool takes a client, a `LocalClient` or an `SshClient`, and returns the text the agent
reads. Expected failures (a missing file, an edit that matches twice, a file that keeps
changing, a command that fails or runs too long) come back as text as well, so the agent can
react to them; only programming errors raise. `tools/tour.py` runs the tools on both clients.
"""

from __future__ import annotations

from collections.abc import Callable

from tarnwistle import (
    Client,
    ClientError,
    ConflictError,
    FileInfo,
    FileNotFoundError,
    derive_new_contents,
    edit_text,
    format_cat_n,
    slice_lines,
)

# (change_context, old_lines, new_lines, is_end_of_file), as derive_new_contents takes them
Hunk = tuple[str | None, list[str], list[str], bool]


def view(client: Client, path: str, offset: int = 1, limit: int = 200) -> str:
    """Lines `offset` to `offset + limit - 1` of a file (negative `offset`: the last lines)
    in `cat -n` form, with a notice when more lines follow."""
    try:
        text, total, start, end, truncated = client.read_text_window(path, offset, limit)
    except (ClientError, ValueError) as exc:
        return f"error: {exc}"
    if start > end:
        return f"{path}: no lines there; the file has {total}"
    numbered = format_cat_n(slice_lines(text, 0, end - start + 1), start, total, truncated)
    # A tail window carries no notice of the lines above it; say it here.
    above = f"... [{start - 1} lines above not shown]\n" if offset < 0 and start > 1 else ""
    return above + numbered


def rewrite(
    client: Client, path: str, change: Callable[[str], str], attempts: int = 3
) -> FileInfo:
    """Replace a file's text by `change(text)`, but only if nobody else wrote the file in
    between; when someone did, read it again and redo the change, at most `attempts` times.

    Raises ConflictError when every attempt met another writer, FileNotFoundError for a
    missing file, other ClientErrors from the client and whatever `change` raises.
    """
    for _ in range(attempts):
        # The version is taken before the read: a write in between then makes the write
        # below a conflict instead of silently undoing a change this text does not have.
        version = client.stat(path).version
        if version is None:  # None as expected_version would mean "write unconditionally"
            raise FileNotFoundError(f"{path}: file does not exist")
        new_text = change(client.read_text(path))
        try:
            return client.write_text_atomic(path, new_text, expected_version=version)
        except ConflictError:
            continue
    raise ConflictError(f"write conflict: {path}: changed by others {attempts} times in a row")


def edit(client: Client, path: str, old: str, new: str, replace_all: bool = False) -> str:
    """Replace the one occurrence of `old` in a file by `new` (every one with `replace_all`)."""
    count = 0

    def change(text: str) -> str:
        nonlocal count
        new_text, count = edit_text(text, old, new, replace_all)
        return new_text

    try:
        rewrite(client, path, change)
    except ValueError as exc:  # NOT_FOUND: or AMBIGUOUS: from edit_text
        hint = "; add lines around it to make it unique" if "AMBIGUOUS" in str(exc) else ""
        return f"error: {exc}{hint}"
    except ClientError as exc:
        return f"error: {exc}"
    return f"{path}: replaced {count} occurrence(s)"


def parse_hunks(patch: str) -> list[Hunk]:
    """Read hunks written as

        @@ a line that comes before the change (optional after the @@)
         an unchanged line
        -a removed line
        +an added line

    one or more, in file order. A blank line counts as an unchanged empty line.
    """
    hunks: list[Hunk] = []
    for line in patch.removesuffix("\n").split("\n"):
        if line.startswith("@@"):
            hunks.append((line[2:].strip() or None, [], [], False))
            continue
        if not hunks:
            raise ValueError("a patch starts with an @@ line")
        _, old, new, _ = hunks[-1]
        tag, body = line[:1], line[1:]
        if tag in (" ", ""):
            old.append(body)
            new.append(body)
        elif tag == "-":
            old.append(body)
        elif tag == "+":
            new.append(body)
        else:
            raise ValueError(f"patch line must start with ' ', '-' or '+': {line!r}")
    return hunks


def patch(client: Client, path: str, patch_text: str) -> str:
    """Apply the hunks of `patch_text` (see `parse_hunks`) to a file."""
    try:
        hunks = parse_hunks(patch_text)
        rewrite(client, path, lambda text: derive_new_contents(text, path, hunks))
    except (ClientError, ValueError) as exc:
        return f"error: {exc}"
    return f"{path}: applied {len(hunks)} hunk(s)"


def shell(
    client: Client,
    command: str,
    cwd: str | None = None,
    timeout: float = 60.0,
    max_output_bytes: int = 16384,
) -> str:
    """Run a shell command for at most `timeout` seconds; report its exit code and at most
    `max_output_bytes` of each output stream (the first and last halves)."""
    try:
        result = client.exec_command(
            command, cwd=cwd, timeout=timeout, max_output_bytes=max_output_bytes
        )
    except (ClientError, ValueError) as exc:  # bad options, or the command cannot start
        return f"error: {exc}"
    if result.timed_out:
        status = f"stopped at the time limit of {timeout:g} s (exit code {result.exit_code})"
    elif result.signal is not None:
        status = f"killed by signal {result.signal}"
    else:
        status = f"exit code {result.exit_code}"
    parts = [status]
    for name, text, omitted in (
        ("stdout", result.stdout, result.stdout_omitted_bytes),
        ("stderr", result.stderr, result.stderr_omitted_bytes),
    ):
        if text:
            cut = f" ({omitted} bytes cut from the middle)" if omitted else ""
            parts.append(f"--- {name}{cut}\n{text.rstrip()}")
    return "\n".join(parts)

"""File and command tools for coding agents, on this machine or on a POSIX host over ssh.

Two clients with one surface, `LocalClient` and `SshClient` (`Client` names either), and pure
text functions for line windows, exact edits and patch hunks. Failures are the exception
classes below, all derived from `ClientError`, or the built-in `ValueError`, `TypeError` and
`OverflowError` for bad arguments. File, process and network work runs with the GIL released;
clients are immutable and may be shared by threads.
"""

from collections.abc import Mapping, Sequence
from os import PathLike
from typing import ClassVar, TypeAlias, final

__all__ = [
    "ClientError",
    "FileNotFoundError",
    "PermissionDeniedError",
    "ConflictError",
    "OperationTimeoutError",
    "AuthenticationError",
    "TransferLimitError",
    "FileInfo",
    "CommandResult",
    "LocalClient",
    "SshClient",
    "Client",
    "normalize_flags",
    "inject_cmd_flag",
    "find_matches",
    "apply_replacements_text",
    "edit_text",
    "count_lines",
    "slice_lines",
    "format_cat_n",
    "prepare_read",
    "seek_sequence",
    "derive_new_contents",
    "apply_line_replacements",
]

_StrPath: TypeAlias = str | PathLike[str]
# (text, total_lines, start_line, end_line, truncated)
_TextWindow: TypeAlias = tuple[str, int, int, int, bool]

class ClientError(Exception):
    """Base class of every failure the clients report; its one argument is the message.

    Raised as itself for failures without a class of their own: an operating-system error
    other than "not found" and "permission denied" (a directory where a file was expected, a
    path through a file, a full disk), a codec failure, a bad `env`, `timeout` or
    `max_output_bytes` of `exec_command`, a command that cannot be started, and a remote
    script that failed ("SSH {op} failed with exit code {code}: {path}: {stderr}").
    `ValueError` for a bad argument value is not a `ClientError`.

    The exception classes can be pickled and copied once `tarnwistle` is imported, so they
    cross process pools.
    """

class FileNotFoundError(ClientError):
    """The path, or a component of it, does not exist.

    The module's own class: not the built-in `FileNotFoundError` and not an `OSError`.
    """

class PermissionDeniedError(ClientError):
    """The operating system or the remote side refused access.

    The module's own class: not the built-in `PermissionError`.
    """

class ConflictError(ClientError):
    """An optimistic check failed: the file's version is not `expected_version`, or a
    create-only write found the path present. The file is unchanged; re-read and retry."""

class OperationTimeoutError(ClientError):
    """An `SshClient` operation ran past `operation_timeout`, or the remote lock of a write or
    delete was not acquired within about 10 seconds. A command's own time limit is not an
    error: `exec_command` reports it in `CommandResult.timed_out`."""

class AuthenticationError(ClientError):
    """`ssh` could not log in: its message says "permission denied" and names "publickey" or
    "password"."""

class TransferLimitError(ClientError):
    """A whole-file read or write, or a read window, is larger than the client's
    `max_transfer_bytes`; nothing was transferred or changed."""

@final
class FileInfo:
    """What a path is, as `stat` and `write_text_atomic` describe it. Read-only; made only by
    the clients (calling the class raises `TypeError`).

    The repr shows `exists`, `kind`, `size` and `version`.
    """

    @property
    def exists(self) -> bool:
        """Whether the path exists; false exactly when `kind` is "missing"."""
    @property
    def kind(self) -> str:
        """"file", "directory", "symlink", "other" (device, pipe, socket) or "missing"."""
    @property
    def size(self) -> int:
        """Size in bytes as the file system reports it; 0 when missing (remotely: 0 for
        anything but a regular file)."""
    @property
    def modified_ns(self) -> int | None:
        """Modification time in nanoseconds since the Unix epoch; None when missing or not
        representable (before 1970). Remote times have whole-second resolution."""
    @property
    def is_symlink(self) -> bool:
        """Whether the described object is itself a symbolic link (`kind` "symlink")."""
    @property
    def version(self) -> str | None:
        """Opaque token of this state of the path; None exactly when it is missing.

        For optimistic concurrency: keep it, then pass it back as `expected_version` to
        `write_text_atomic` or `delete_if_version`, which refuse with `ConflictError` if the
        path has changed since. Versions compare as whole strings and are never parsed. Every
        atomic write gives the file a new version, even with identical content. The local
        form is "local:{size}:{mtime_ns}:{dev}:{ino}", the remote one "remote:{kind}:{...}";
        versions of different clients never match.
        """

@final
class CommandResult:
    """The outcome of one `exec_command`. Read-only; `bool(result)` is `result.ok`.

    A command that fails or times out still returns a result: read `exit_code`,
    `timed_out` and `truncated` instead of catching an exception.
    """

    @property
    def exit_code(self) -> int:
        """The command's exit status; minus the signal number when a signal killed it; 124
        when the time limit was reached; -1 for any other wait status. A remote run also
        returns `ssh`'s own 255 here (connection or login failure)."""
    @property
    def stdout(self) -> str:
        """Standard output decoded as UTF-8 (bad bytes become U+FFFD). When more than
        `max_output_bytes` were written, the first and last halves are kept around the line
        "... [truncated, {n} bytes omitted] ..."."""
    @property
    def stderr(self) -> str:
        """Standard error, kept and decoded like `stdout`."""
    @property
    def command(self) -> str:
        """The command text exactly as given to `exec_command`."""
    @property
    def cwd(self) -> str:
        """The working directory the command ran in, as the client resolved it."""
    @property
    def duration_ms(self) -> int:
        """Wall-clock run time in milliseconds."""
    @property
    def timed_out(self) -> bool:
        """Whether the time limit stopped the command (then `exit_code` is 124)."""
    @property
    def signal(self) -> int | None:
        """The signal that killed the command, or None (also None after a time-out)."""
    @property
    def stdout_total_bytes(self) -> int:
        """Bytes the command wrote to standard output, kept or not."""
    @property
    def stderr_total_bytes(self) -> int:
        """Bytes the command wrote to standard error, kept or not."""
    @property
    def stdout_omitted_bytes(self) -> int:
        """Bytes of standard output left out of `stdout`."""
    @property
    def stderr_omitted_bytes(self) -> int:
        """Bytes of standard error left out of `stderr`."""
    @property
    def ok(self) -> bool:
        """`exit_code` is 0 and the command did not time out."""
    @property
    def truncated(self) -> bool:
        """Bytes were left out of `stdout` or `stderr`."""
    @property
    def extras(self) -> dict[str, str]:
        """Facts about how the command ran: with an interpreter, "interpreter" and (when any)
        "flags", the final flags joined by spaces; empty otherwise. A new dict on each
        access."""
    def __bool__(self) -> bool:
        """`self.ok`."""

@final
class LocalClient:
    """Files and commands on this machine, relative to a working directory.

    Every path argument is a `str` or an `os.PathLike` giving one. A relative path is
    resolved against `cwd`, "~" and "~/..." against `$HOME`; an existing path comes back with
    its symbolic links resolved (so `stat` describes a link's target), a new one is cleaned
    lexically. `cwd` is a default, not a sandbox: absolute paths, "..", "~" and symbolic links
    all reach outside it.

    Whole-file reads and writes, and read windows, are bounded by `max_transfer_bytes`.
    Writes are atomic: a temporary file beside the target, then a rename. Writers and
    deleters of one path in this process run one at a time, so a version check and the
    replace after it cannot be interleaved by another thread; other processes are not
    locked out. Error messages name the path as the caller wrote it.
    """

    kind: ClassVar[str]
    """"local", on the class and on instances."""
    def __new__(
        cls, cwd: _StrPath | None = None, *, max_transfer_bytes: int = ...
    ) -> LocalClient:
        """Make a client; nothing on disk is touched or checked.

        Args:
            cwd: working directory; None or "" means the process's current directory. It is
                made absolute and canonical when it exists, and accepted as it is when not.
            max_transfer_bytes: the most bytes one whole-file read or write, or one read
                window, may move; default 16777216 (16 MiB), from 1 to 268435456 (256 MiB).

        Raises:
            ValueError: `max_transfer_bytes` out of range.
            TypeError: `cwd` is neither None, str nor a path object giving a str.
            ClientError: `cwd` is relative and the current directory cannot be determined.
        """
    @property
    def cwd(self) -> str:
        """The absolute working directory relative paths are resolved against."""
    def resolve(self, path: _StrPath) -> str:
        """Return the absolute path that the other methods would use for `path`.

        "" gives `cwd`. Existing paths have every symbolic link resolved; others are
        normalised lexically ("a/../b" gives "b"). Never fails and never checks existence.
        """
    def join(self, *parts: object) -> str:
        """Join path parts: an absolute part restarts the path; parts that are not `str` are
        skipped. Lexical only: no `cwd`, no "~" expansion, no normalisation; `join()` is ""."""
    def stat(self, path: _StrPath) -> FileInfo:
        """Describe the path (after resolution, so a working link gives its target).

        A missing path is a `FileInfo` with `exists` false, not an error.

        Raises:
            PermissionDeniedError: a directory on the way may not be searched.
            ClientError: other failures, e.g. a path through a regular file.
        """
    def exists(self, path: _StrPath) -> bool:
        """`stat(path).exists`; raises as `stat` does (a path through a file is an error)."""
    def is_file(self, path: _StrPath) -> bool:
        """Whether `stat(path).kind` is "file"; raises as `stat` does."""
    def is_dir(self, path: _StrPath) -> bool:
        """Whether `stat(path).kind` is "directory"; raises as `stat` does."""
    def path_info(self, path: _StrPath) -> tuple[bool, bool, bool]:
        """`(exists, is_file, is_dir)` from one `stat`; raises as `stat` does."""
    def read_text(self, path: _StrPath, *, encoding: str = "utf-8") -> str:
        """Read a whole file as text.

        Args:
            path: the file.
            encoding: any codec Python knows; bytes it cannot decode become U+FFFD.

        To edit safely, take the version with `stat` before reading, then write with
        `write_text_atomic(..., expected_version=...)`.

        Raises:
            FileNotFoundError: the file does not exist.
            TransferLimitError: the file is larger than `max_transfer_bytes`.
            PermissionDeniedError: the file may not be read.
            ClientError: a directory, an unknown codec, another operating-system failure.
        """
    def read_bytes(self, path: _StrPath) -> bytes:
        """Read a whole file as bytes; raises as `read_text` does."""
    def read_text_window(
        self, path: _StrPath, offset: int, limit: int, *, encoding: str = "utf-8"
    ) -> _TextWindow:
        """Read a window of lines in one streaming pass; only the window is kept in memory.

        Lines end at "\\n", which stays part of the line ("\\r\\n" too); a last line without
        one counts. An empty file has no lines.

        Args:
            path: a regular file.
            offset: 1-based first line (0 counts as 1); negative for the last `-offset`
                lines, and then `limit` is not used.
            limit: the most lines in a head window; must be at least 1.
            encoding: as for `read_text`.

        Returns:
            `(text, total_lines, start_line, end_line, truncated)`: the window's lines joined
            as they are in the file; the number of lines in the whole file; the 1-based
            numbers of the first and last line of the window (an empty window past the end
            has `start_line` `total_lines + 1` and `end_line` `start_line - 1`); whether lines
            follow the window (always false for a tail window). Give `slice_lines(text, 0,
            end_line - start_line + 1)` and the numbers to `format_cat_n` for a `cat -n` view.

        Raises:
            ValueError: `limit` is 0 ("limit must be > 0"), before the file is touched.
            OverflowError: `limit` is negative.
            FileNotFoundError: the file does not exist.
            TransferLimitError: the window is larger than `max_transfer_bytes` (a tail window
                also fails when any `-offset` consecutive lines are).
            ClientError: the path is a directory or not a regular file, or the codec fails.
        """
    def write_text(self, path: _StrPath, content: str, *, encoding: str = "utf-8") -> None:
        """Replace or create a file with `content` encoded strictly with `encoding`.

        Atomic (a temporary file beside the target, then a rename), unconditional, and
        missing parent directories are created. A new file gets mode 0600; an existing one
        keeps its permission bits. Writing through a symbolic link replaces its target.

        Raises:
            TransferLimitError: the encoded content is larger than `max_transfer_bytes`.
            PermissionDeniedError: the directory may not be written.
            ClientError: content that cannot be encoded, a directory at the path, another
                operating-system failure.
        """
    def write_bytes(self, path: _StrPath, data: bytes | bytearray | Sequence[int]) -> None:
        """Replace or create a file with `data` (bytes, or any sequence of ints 0 to 255 other
        than str), as `write_text` does."""
    def write_text_atomic(
        self,
        path: _StrPath,
        content: str,
        *,
        encoding: str = "utf-8",
        expected_version: str | None = None,
        create_only: bool = False,
    ) -> FileInfo:
        """Write like `write_text`, but only if the file is as the caller last saw it.

        Args:
            path: the file.
            content: the new text, encoded strictly with `encoding`.
            encoding: any codec Python knows.
            expected_version: a `FileInfo.version` taken earlier; the write happens only if
                the file still has exactly this version (a missing file never does). None
                skips the check.
            create_only: write only if nothing exists at the path yet.

        Returns:
            The `FileInfo` of the written file, with its new version for the next write.

        Raises:
            ConflictError: the path exists and `create_only` is true, or its version is not
                `expected_version`. Nothing was changed.
            TransferLimitError, PermissionDeniedError, ClientError: as for `write_text`.
        """
    def mkdir(self, path: _StrPath, *, parents: bool = True, exist_ok: bool = True) -> None:
        """Create a directory (mode 0777 less the umask).

        Args:
            path: the directory.
            parents: create missing ancestors too.
            exist_ok: an existing directory is success; when false, it is an error.

        Raises:
            ClientError: every failure, including an existing path when `exist_ok` is false.
        """
    def delete(self, path: _StrPath) -> None:
        """Remove a file (after resolution: a working link loses its target, not itself).

        Raises:
            FileNotFoundError: nothing exists at the path.
            PermissionDeniedError: the directory may not be written.
            ClientError: a directory, or another operating-system failure.
        """
    def delete_if_version(self, path: _StrPath, *, expected_version: str | None = None) -> None:
        """Remove a file only if its version is `expected_version` (None: unconditionally).

        Raises:
            ConflictError: the file's version differs; nothing was removed.
            FileNotFoundError, PermissionDeniedError, ClientError: as for `delete`.
        """
    def exec_command(
        self,
        command: str,
        *,
        cwd: _StrPath | None = None,
        timeout: float | None = None,
        env: Mapping[str, object] | None = None,
        stdin: str | None = None,
        interpreter: str | None = None,
        flags: str | Sequence[object] | None = None,
        max_output_bytes: int | None = None,
    ) -> CommandResult:
        """Run a command and wait for it; its failure or time-out is in the result.

        The command runs as `/bin/sh -c command` in a new process group, or as
        `interpreter [flags...] command` when an interpreter is given.

        Args:
            command: the command text, passed as one argument, never split or quoted.
            cwd: working directory, resolved like any path; None or "" is the client's
                `cwd`. Not a sandbox: the command may go anywhere.
            timeout: seconds; None or 0 means no limit. At the limit the process group gets
                SIGTERM, then SIGKILL a second later, and the result has `exit_code` 124 and
                `timed_out` true.
            env: variables set on top of the environment this process passes down; values
                are converted with `str()` (None becomes "None"). Nothing can be removed.
            stdin: text given UTF-8 encoded on standard input, which is then closed; None
                connects standard input to /dev/null.
            interpreter: a program found through PATH to run the command with, e.g. "bash"
                or "python3"; None or blank means /bin/sh. The flag that makes it take code
                from an argument is added unless `flags` already has it: "-c" for sh, bash,
                dash, zsh, ksh, fish and python, python3, python3.X; "-e" for perl and ruby;
                "/c" for cmd; "-Command" for pwsh and powershell; nothing for others.
            flags: arguments placed before the command, only with `interpreter` (ignored
                without one): a str split like a POSIX shell splits words, or a sequence
                whose items are converted with `str()`.
            max_output_bytes: bytes kept of each output stream, its first and last halves;
                default 1048576 (1 MiB), from 1 to 16777216.

        Ctrl-C in the main thread stops the command as a time-out does and raises
        KeyboardInterrupt at once.

        Returns:
            A `CommandResult`.

        Raises:
            ClientError: a bad `timeout`, `env`, `stdin` or `max_output_bytes`, or the
                program or working directory does not exist ("command failed to start: ").
            ValueError: bad `flags`.
        """

@final
class SshClient:
    """Files and commands on a remote POSIX host, through the system `ssh` program.

    Each operation is one run of `ssh` with a small shell script; with multiplexing on, the
    runs share one master connection, kept open 60 seconds after its last use and stopped
    when the client goes (or when the process exits with it alive). Making the
    client contacts nothing; the first operation does, and may fail with
    `AuthenticationError`.

    Remote paths are resolved lexically on this side: relative ones against `cwd`, "~" and
    "~/..." against the remote home; symbolic links are not followed, so `stat` of a link
    describes the link. `cwd` is a default, not a sandbox: absolute paths, "..", "~" and
    links all reach outside it.

    Every file operation is limited to `operation_timeout` (`OperationTimeoutError`) and
    `max_transfer_bytes` (`TransferLimitError`); writes and deletes of one target are
    serialised on the remote host by a lock directory "{target}.tarnwistle.lock". Remote
    failures are `ClientError` "SSH {op} failed with exit code {code}: {path}: {stderr}",
    `PermissionDeniedError` or `AuthenticationError` by what the remote side printed.
    """

    kind: ClassVar[str]
    """"ssh", on the class and on instances."""
    def __new__(
        cls,
        host: str,
        *,
        port: int,
        username: str,
        password: str | None = None,
        key_filename: _StrPath | None = None,
        cwd: _StrPath = ".",
        connect_timeout: float = 30.0,
        operation_timeout: float = ...,
        max_transfer_bytes: int = ...,
        multiplexing: bool = True,
        ssh_flags: str | Sequence[object] | None = None,
        allow_password_prompt: bool = True,
        accept_unknown_host_key: bool = False,
    ) -> SshClient:
        """Make a client; the host is not contacted yet.

        Args:
            host: host name or address; must not be empty or start with "-".
            port: TCP port, 1 to 65535 (required).
            username: remote user (required).
            password: used through a short-lived askpass helper and the environment of
                `ssh`, never on a command line; None or "" means key or agent login.
            key_filename: private key file ("~" is this machine's `$HOME`).
            cwd: remote working directory; relative to the remote home ("." is "~").
            connect_timeout: seconds for `ssh` to connect, rounded up to whole seconds.
            operation_timeout: seconds each file operation may take; default 30.0.
                `exec_command` has its own `timeout` instead.
            max_transfer_bytes: as for `LocalClient`; also the most output a file operation
                may print. Default 16777216, from 1 to 268435456.
            multiplexing: share one connection among runs through a control socket in a
                private temporary directory, removed with the client.
            ssh_flags: extra `ssh` switches; only "-X", "-Y", "-A", "-a" and "-C" are kept,
                others are dropped silently.
            allow_password_prompt: without a password, whether `ssh` may ask on the
                terminal; false adds BatchMode=yes.
            accept_unknown_host_key: record an unknown host key (StrictHostKeyChecking
                accept-new); false requires the key to be known already.

        Raises:
            ValueError: an empty or option-like host, a bad port or user, a timeout that is
                not a positive finite number, `max_transfer_bytes` out of range, bad
                `ssh_flags`.
            ClientError: the control directory cannot be created.
        """
    @property
    def cwd(self) -> str:
        """The resolved remote working directory, e.g. "~" or "~/work" or "/srv"."""
    def resolve(self, path: _StrPath) -> str:
        """Return the remote path the other methods would use: lexical, against `cwd` and
        "~"; "" gives `cwd`. Never contacts the host."""
    def join(self, *parts: object) -> str:
        """Join path parts with "/" (leading slashes of later parts are dropped); parts that
        are not `str` are skipped. Lexical only."""
    def stat(self, path: _StrPath) -> FileInfo:
        """Describe the remote path itself (a symbolic link is "symlink", even a working one).

        A missing path is a `FileInfo` with `exists` false, not an error.

        Raises:
            OperationTimeoutError, AuthenticationError, PermissionDeniedError, ClientError.
        """
    def exists(self, path: _StrPath) -> bool:
        """`stat(path).exists`; true for a dangling link."""
    def is_file(self, path: _StrPath) -> bool:
        """Whether `stat(path).kind` is "file" (false for a link to a file)."""
    def is_dir(self, path: _StrPath) -> bool:
        """Whether `stat(path).kind` is "directory" (false for a link to one)."""
    def path_info(self, path: _StrPath) -> tuple[bool, bool, bool]:
        """`(exists, is_file, is_dir)` from one `stat`."""
    def read_bytes(self, path: _StrPath) -> bytes:
        """Read a whole remote file as bytes.

        Raises:
            TransferLimitError: the file is larger than `max_transfer_bytes`.
            ClientError: the remote `cat` failed, also for a missing file (its message says
                so; call `stat` first to tell a missing file apart).
            OperationTimeoutError, AuthenticationError, PermissionDeniedError.
        """
    def read_text(self, path: _StrPath, *, encoding: str = "utf-8") -> str:
        """Read a whole remote file as text decoded with `encoding` (bad bytes become
        U+FFFD); raises as `read_bytes` does. Take the version with `stat` before reading to
        write back safely."""
    def read_text_window(
        self, path: _StrPath, offset: int, limit: int, *, encoding: str = "utf-8"
    ) -> _TextWindow:
        """Read a window of lines; arguments and the result
        `(text, total_lines, start_line, end_line, truncated)` as for
        `LocalClient.read_text_window`. A file replaced while it is read is read again.

        Raises:
            ValueError: `limit` is 0.
            FileNotFoundError: the file does not exist.
            TransferLimitError: the window is larger than `max_transfer_bytes`.
            ClientError: a directory or not a regular file, or the file kept changing.
            OperationTimeoutError, PermissionDeniedError.
        """
    def write_bytes(self, path: _StrPath, data: bytes | bytearray | Sequence[int]) -> None:
        """Replace or create a remote file with `data`, as `write_text` does."""
    def write_text(self, path: _StrPath, content: str, *, encoding: str = "utf-8") -> None:
        """Replace or create a remote file, atomically, unconditionally.

        The content goes to a temporary file beside the target, which then replaces it with
        `mv`; missing parent directories are created. A new file gets mode 0600, an existing
        one keeps its permission bits; a symbolic link at the path is replaced by the file.

        Raises:
            TransferLimitError: the encoded content is larger than `max_transfer_bytes`;
                nothing is sent.
            OperationTimeoutError: the run, or waiting for the remote lock, took too long.
            ClientError, PermissionDeniedError, AuthenticationError.
        """
    def write_text_atomic(
        self,
        path: _StrPath,
        content: str,
        *,
        encoding: str = "utf-8",
        expected_version: str | None = None,
        create_only: bool = False,
    ) -> FileInfo:
        """Write like `write_text`, only if the file still has `expected_version` and, with
        `create_only`, only if nothing exists at the path; arguments as for
        `LocalClient.write_text_atomic`.

        Returns:
            The `FileInfo` of the written file, from a second remote run.

        Raises:
            ConflictError: a check failed ("write conflict: {path}"); nothing was changed.
            As `write_text` otherwise.
        """
    def mkdir(self, path: _StrPath, *, parents: bool = True, exist_ok: bool = True) -> None:
        """Create a remote directory; arguments as for `LocalClient.mkdir`.

        Raises:
            ClientError: the remote `mkdir` failed, e.g. an existing path with `exist_ok`
                false.
        """
    def delete(self, path: _StrPath) -> None:
        """Remove a remote file or symbolic link (the link itself).

        Raises:
            FileNotFoundError: nothing exists at the path.
            OperationTimeoutError: the remote lock was not acquired.
            ClientError: a directory, or another remote failure.
        """
    def delete_if_version(self, path: _StrPath, *, expected_version: str | None = None) -> None:
        """Remove a remote file only if its version is `expected_version` (None: always).

        Raises:
            ConflictError: the version differs ("delete conflict: {path}").
            As `delete` otherwise.
        """
    def exec_command(
        self,
        command: str,
        *,
        cwd: _StrPath | None = None,
        timeout: float | None = None,
        env: Mapping[str, object] | None = None,
        stdin: str | None = None,
        interpreter: str | None = None,
        flags: str | Sequence[object] | None = None,
        max_output_bytes: int | None = None,
    ) -> CommandResult:
        """Run a command on the remote host; arguments and result as for
        `LocalClient.exec_command`, with these differences.

        The remote side runs `cd {cwd} && export NAME=value ... && {command}` with `sh`, so
        `command` is shell text and `env` is laid over the remote login environment. A
        missing `cwd`, a missing interpreter, or `ssh` failing to connect or log in (exit
        code 255) are reported in the result, not raised. At the time limit the remote
        process group (or, without `setsid`, the process tree) is stopped first, then the
        local `ssh`; the result has `exit_code` 124 and `timed_out` true.
        `operation_timeout` does not apply.

        Raises:
            ClientError: a bad `timeout`, `env`, `stdin` or `max_output_bytes`, or `ssh`
                cannot be started.
            ValueError: bad `flags`.
        """

Client: TypeAlias = LocalClient | SshClient
"""Either client: `LocalClient | SshClient`, for annotations and `isinstance`."""

def normalize_flags(
    flags: str | Sequence[object] | None = None, *, posix: bool | None = None
) -> list[str]:
    """Turn `flags` into the argument list `exec_command` would use.

    Args:
        flags: None gives []; a str is trimmed and split into words; any other iterable
            gives its items converted with `str()`, not split.
        posix: split a str like a POSIX shell (quotes, backslashes, "#" comments; the
            default, also for None); false splits on whitespace with plain quotes and no
            escapes, dropping empty words.

    Raises:
        ValueError: an unclosed quote in POSIX mode ("invalid flags: missing closing
            quote"), or `flags` neither a str nor iterable.
    """

def inject_cmd_flag(interpreter: str, flags: Sequence[str]) -> list[str]:
    """Return `flags` with the flag that makes `interpreter` run code from its next
    argument appended, unless `flags` already asks for it.

    The interpreter's file name, lower-cased and without ".exe", decides: "-c" for sh, bash,
    dash, zsh, ksh, fish, python, python3 and python3.X (a short-option cluster such as
    "-lc" counts as asking); "-e" for perl and ruby ("-ne" counts); "/c" for cmd;
    "-Command" for pwsh and powershell. Any other interpreter gets `flags` unchanged.
    """

def find_matches(text: str, pattern: str) -> list[tuple[int, int]]:
    """Find where `pattern` occurs in `text`, as `edit_text` does.

    Exact, leftmost, non-overlapping occurrences first. If there are none: when `text` has
    CRLF line endings, the pattern with CRLF endings; then whole-line matches that ignore
    trailing whitespace on each line. An empty pattern matches only an empty text.

    Returns:
        `(byte_start, byte_len)` pairs, offsets into the UTF-8 form of `text`, in order.
    """

def apply_replacements_text(
    text: str, matches: Sequence[tuple[int, int]], new_string: str
) -> str:
    """Replace each `(byte_start, byte_len)` span of `text` (UTF-8 offsets, any order) by
    `new_string`.

    Raises:
        ValueError: a span out of range, overlapping another, or not on a character
            boundary; nothing is replaced then.
    """

def edit_text(text: str, old_string: str, new_string: str, replace_all: bool) -> tuple[str, int]:
    """Replace `old_string` in `text` by `new_string`, matching as `find_matches` does.

    In a text with any CRLF line ending the inserted lines get CRLF endings too.

    Args:
        text: the whole current text.
        old_string: the piece to find; must occur once unless `replace_all`.
        new_string: its replacement.
        replace_all: replace every occurrence instead of requiring exactly one.

    Returns:
        `(new_text, replacement_count)`.

    Raises:
        ValueError: "NOT_FOUND: old_string not found", or "AMBIGUOUS: old_string found {n}
            times" when `replace_all` is false.
    """

def count_lines(text: str) -> int:
    """Count the lines of `text`: "\\n" ends a line, a final piece without one is a line, an
    empty text has none ("a\\nb" and "a\\nb\\n" both have 2)."""

def slice_lines(text: str, start: int, take: int) -> list[str]:
    """Return at most `take` lines of `text` from the 0-based line `start`, each with its own
    line ending; lines end at "\\n" only. Out-of-range values give fewer lines, or []."""

def format_cat_n(lines: Sequence[str], start_line: int, total_lines: int, truncated: bool) -> str:
    """Number `lines` like `cat -n`: each line prefixed by its number (from `start_line`),
    right-aligned to at least 4 columns (the width of `total_lines` if more), and a tab.

    Lines are used as given: give them with their line endings. If `truncated` and lines
    follow the last one shown, the notice "... [truncated, {n} lines not shown]" is added on
    a line of its own (no line ending after it), {n} being `total_lines` minus the last line
    number shown. No lines give "".
    """

def prepare_read(
    text: str, offset: int, limit: int, show_line_numbers: bool
) -> tuple[str, int, int, int, bool, list[str]]:
    """Cut a bounded window of lines out of `text` already in memory.

    Args:
        text: the whole text.
        offset: 1-based first line (0 counts as 1); negative for the last `-offset` lines,
            and then `limit` is not used.
        limit: the most lines in a head window; at least 1.
        show_line_numbers: give `content` in `format_cat_n` form, with its truncation
            notice.

    Returns:
        `(content, total_lines, start_line, end_line, truncated, raw_lines)`: the first five
        as for `LocalClient.read_text_window`, and the window's lines with their endings.

    Raises:
        ValueError: `limit` is 0 ("limit must be > 0").
    """

def seek_sequence(
    lines: Sequence[str], pattern: Sequence[str], start: int, eof: bool
) -> int | None:
    """Return the index of the first line at or after `start` where the lines `pattern`
    follow one another in `lines`, or None.

    Four passes, each only if the earlier ones found nothing: exact lines; lines with
    trailing whitespace ignored; with surrounding whitespace ignored; and with typographic
    dashes, quotes and spaces read as their ASCII forms. With `eof` the pattern must end
    the list. An empty pattern gives `start`.
    """

def derive_new_contents(
    original_content: str,
    path: str,
    chunks: Sequence[tuple[str | None, Sequence[str], Sequence[str], bool]],
) -> str:
    """Apply patch hunks to a file's text and return the new text.

    Args:
        original_content: the current text of the file.
        path: used in error messages only.
        chunks: `(change_context, old_lines, new_lines, is_end_of_file)` tuples, in file
            order. `change_context` is None or one line that must come before the change;
            `old_lines` (found with `seek_sequence` after the previous chunk) are replaced
            by `new_lines`, both without line endings; no `old_lines` adds `new_lines` after
            the context line, or at the end without one; `is_end_of_file` anchors the old
            lines at the end of the file.

    Returns:
        The new text: every line ended by "\\n", or "\\r\\n" when the original had any CRLF;
        "" when no line is left. No chunks give `original_content` unchanged.

    Raises:
        ValueError: "Failed to find context '{context}' in {path}", or "Failed to find
            expected lines in {path}:" followed by the old lines.
    """

def apply_line_replacements(
    lines: Sequence[str], replacements: Sequence[tuple[int, int, Sequence[str]]]
) -> list[str]:
    """Rebuild `lines` with each `(start, count, new_lines)` replacement applied: the
    `count` lines from the 0-based index `start` give way to `new_lines` (count 0 inserts).
    Replacements may come in any order.

    Raises:
        ValueError: a replacement out of range or overlapping another.
    """

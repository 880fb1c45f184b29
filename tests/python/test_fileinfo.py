"""FileInfo records and the local version string, seen through LocalClient.stat."""

import os
import socket

import pytest


@pytest.fixture
def client(core, tmp_path):
    return core.LocalClient(str(tmp_path))


def expected_version(path):
    st = os.lstat(path)
    return f"local:{st.st_size}:{st.st_mtime_ns}:{st.st_dev}:{st.st_ino}"


class TestClass:
    def test_attributes_in_order_and_read_only(self, core, client, tmp_path):
        names = [n for n, v in vars(core.FileInfo).items() if type(v).__name__ == "getset_descriptor"]
        assert names == ["exists", "kind", "size", "modified_ns", "is_symlink", "version"]
        info = client.stat("nothing")
        for name in names:
            assert getattr(core.FileInfo, name).__doc__ == ""
            with pytest.raises(AttributeError):
                setattr(info, name, None)
        with pytest.raises(AttributeError):
            info.extra = 1  # no instance dictionary

    def test_type_identity(self, core, client):
        assert type(client.stat("x")) is core.FileInfo


class TestDescriptions:
    def test_missing(self, client):
        info = client.stat("missing.txt")
        assert (info.exists, info.kind, info.size, info.modified_ns, info.is_symlink, info.version) == (
            False, "missing", 0, None, False, None)
        assert repr(info) == 'FileInfo(exists=false, kind="missing", size=0, version=None)'

    def test_regular_file(self, client, tmp_path):
        p = tmp_path / "f.txt"
        p.write_bytes(b"hello world\n")
        info = client.stat("f.txt")
        assert (info.exists, info.kind, info.size, info.is_symlink) == (True, "file", 12, False)
        assert info.modified_ns == os.lstat(p).st_mtime_ns
        assert info.version == expected_version(p)
        assert info.version.startswith("local:12:")
        assert repr(info) == f'FileInfo(exists=true, kind="file", size=12, version=Some("{info.version}"))'

    def test_directory(self, client, tmp_path):
        (tmp_path / "d").mkdir()
        info = client.stat("d")
        assert (info.kind, info.is_symlink, info.version) == ("directory", False, expected_version(tmp_path / "d"))

    def test_fifo_and_socket_are_other(self, client, tmp_path):
        os.mkfifo(tmp_path / "fifo")
        assert client.stat("fifo").kind == "other"
        sock = socket.socket(socket.AF_UNIX)
        try:
            sock.bind(str(tmp_path / "sock"))
            assert client.stat("sock").kind == "other"
        finally:
            sock.close()

    def test_dangling_link_is_described_itself(self, client, tmp_path):
        os.symlink("no-such-target", tmp_path / "dangling")
        info = client.stat("dangling")
        assert (info.exists, info.kind, info.is_symlink, info.size) == (True, "symlink", True, len("no-such-target"))
        assert info.version == expected_version(tmp_path / "dangling")

    def test_working_link_describes_target(self, client, tmp_path):
        (tmp_path / "t.txt").write_text("abc")
        os.symlink("t.txt", tmp_path / "l")
        info = client.stat("l")
        assert (info.kind, info.is_symlink, info.version) == ("file", False, expected_version(tmp_path / "t.txt"))

    def test_link_loop_is_a_symlink(self, client, tmp_path):
        os.symlink("b", tmp_path / "a")
        os.symlink("a", tmp_path / "b")
        assert client.stat("a").kind == "symlink"


class TestTimes:
    @pytest.mark.parametrize("mtime_ns", [-5 * 10**9, -1, -(10**9) + 1])
    def test_before_epoch_is_not_representable(self, client, tmp_path, mtime_ns):
        p = tmp_path / "old"
        p.write_text("x")
        os.utime(p, ns=(0, mtime_ns))
        info = client.stat("old")
        assert info.modified_ns is None
        st = os.lstat(p)
        assert info.version == f"local:1:0:{st.st_dev}:{st.st_ino}"

    @pytest.mark.parametrize("mtime_ns", [0, 999_999_999, 7_258_118_400_123_456_789])
    def test_epoch_and_far_future(self, client, tmp_path, mtime_ns):
        p = tmp_path / "t"
        p.write_text("x")
        os.utime(p, ns=(0, mtime_ns))
        info = client.stat("t")
        assert info.modified_ns == mtime_ns
        assert info.version.split(":")[2] == str(mtime_ns)

    def test_touch_changes_version(self, client, tmp_path):
        p = tmp_path / "t"
        p.write_text("x")
        os.utime(p, ns=(0, 10**18))
        before = client.stat("t").version
        os.utime(p, ns=(0, 10**18 + 1))
        assert client.stat("t").version != before


class TestStatErrors:
    def test_through_a_file(self, core, client, tmp_path):
        (tmp_path / "file.txt").write_text("x")
        with pytest.raises(core.ClientError) as e:
            client.stat("file.txt/x")
        assert type(e.value) is core.ClientError
        assert str(e.value) == "stat failed: file.txt/x: Not a directory (os error 20)"

    def test_nul_byte(self, core, client):
        with pytest.raises(core.ClientError) as e:
            client.stat("a\0b")
        assert str(e.value) == "stat failed: a\0b: file name contained an unexpected NUL byte"

    def test_name_too_long(self, core, client):
        with pytest.raises(core.ClientError) as e:
            client.stat("n" * 300)
        assert type(e.value) is core.ClientError
        assert str(e.value).startswith("stat failed: " + "n" * 300 + ": File name too long (os error 36)")

#!/usr/bin/env python3
"""The built programs, one table run by pytest: each row lays out files in a scratch folder, runs a program there under
its set-ups, and checks its output, status and the files left (those laid out, unchanged, plus its added or changed
ones). Given by the environment: QUISTEL, VORLUNE, SHORT_WRITES (the native short-write library), SCRATCH (the folder
for scratch folders), WINE and WINEPREFIX to run .exe files under Wine (texts in code page 936, CRLF), HOLD_OPEN, and
WIN32_RULES (the table of Win32 rules, run under the same Wine server)."""
import collections, dataclasses, fcntl, fnmatch, glob, grp, os, pathlib, pwd, resource, signal, stat, subprocess, sys
import tempfile, time

import pytest

found = lambda name: name in os.environ and os.path.abspath(os.environ[name])
QUISTEL, VORLUNE, HOLD_OPEN, SHORT_WRITES, WIN32_RULES = map(
    found, ("QUISTEL", "VORLUNE", "HOLD_OPEN", "SHORT_WRITES", "WIN32_RULES")
)
WINE = [os.environ["WINE"]] if os.environ.get("WINE") else []
SCRATCH = os.path.realpath(os.environ.get("SCRATCH", "/tmp"))
Q, V, PAUSE = "quistel", "vorlune", "\n按回车键退出程序..."
TEXTS = {
    Q: {
        "usage": "请将文件拖拽到这个 EXE 上运行！\n提示: 拖入 .png 会生成 .xyz; 拖入 .xyz 会还原 .png\n",
        "open_failed": "错误: 无法打开文件。请确认文件存在且未被占用。\n",
        "created": "转换成功！已生成: {}\n" + PAUSE,
        "write_failed": "写入失败: {}\n" + PAUSE,
    },
    V: {
        "usage": "【Vorlune】\n请将 .mp4 / .txt / .xyz 文件拖拽到这里！\n提示: 拖入 .xyz 文件可以一键还原！\n",
        "open_failed": "错误: 无法读取文件，请检查路径或确认文件未被占用。\n",
        "created": "处理成功！已生成: {}\n" + PAUSE,
        "write_failed": "写入失败，请检查权限或空间。\n" + PAUSE,
    },
}
# The disguise of each byte value, 0x00 to 0xff, written out (package_install_test.py checks with masked() too).
DISGUISE = bytes.fromhex(
    "6b6a69686f6e6d6c63626160676665647b7a79787f7e7d7c73727170777675744b4a49484f4e4d4c43424140474645445b5a59585f5e5d5c5352515057565554"
    "2b2a29282f2e2d2c23222120272625243b3a39383f3e3d3c33323130373635340b0a09080f0e0d0c03020100070605041b1a19181f1e1d1c1312111017161514"
    "ebeae9e8efeeedece3e2e1e0e7e6e5e4fbfaf9f8fffefdfcf3f2f1f0f7f6f5f4cbcac9c8cfcecdccc3c2c1c0c7c6c5c4dbdad9d8dfdedddcd3d2d1d0d7d6d5d4"
    "abaaa9a8afaeadaca3a2a1a0a7a6a5a4bbbab9b8bfbebdbcb3b2b1b0b7b6b5b48b8a89888f8e8d8c83828180878685849b9a99989f9e9d9c9392919097969594"
)


def masked(data):
    return data.translate(DISGUISE)


A, AX, OLD = b"abc", b"\n\t\x08", b"an old output, longer than the new one"
S = (bytes(range(256)) + b"!") * 9728 + b"ragged"  # every byte value, past two 1 MiB pieces, in no step of 16
SX = masked(S)
# A file other than plain bytes: laid out by write(path); test(path) tells what is wrong with it, if anything.
Kind = collections.namedtuple("Kind", "write test")
DIR, ANY = Kind(os.mkdir, lambda path: not os.path.isdir(path) and "not a folder"), Kind(None, lambda path: None)
WX_DIR = Kind(lambda path: (os.mkdir(path), os.chmod(path, 0o333)), lambda path: None)  # write and search, not read
FIFO = Kind(os.mkfifo, lambda path: not stat.S_ISFIFO(os.stat(path).st_mode) and "not a FIFO")
LINK = lambda target: Kind(lambda path: os.symlink(target, path), lambda path: not os.path.islink(path) and "no link")
# An access ACL (owner rw, user nobody rw, group r, mask rw, others none), as the kernel stores it.
ACL = bytes.fromhex(
    "02000000" "01000600ffffffff" "02000600feff0000" "04000400ffffffff" "10000600ffffffff" "20000000ffffffff"
)
ACCESS, mode_of = "system.posix_acl_access", lambda path: stat.S_IMODE(os.stat(path).st_mode)
# A folder with a default ACL (the one above), which every file made in it takes as its access ACL.
ACL_FOLDER = Kind(lambda path: (os.mkdir(path), os.setxattr(path, "system.posix_acl_default", ACL)), lambda path: None)


def marked(content, mark, what, has_it):  # content, then mark(path); has_it(path) tells whether it kept `what`
    return Kind(
        lambda p: (pathlib.Path(p).write_bytes(content), mark(p)),
        lambda p: not has_it(p) and what or difference(p, content),
    )


def with_acl(content):
    return marked(content, lambda p: os.setxattr(p, ACCESS, ACL), "ACL lost", lambda p: os.getxattr(p, ACCESS) == ACL)


def without_acl(content):  # the access ACL from the folder's default one taken away
    return marked(content, lambda p: os.removexattr(p, ACCESS), "an ACL", lambda p: ACCESS not in os.listxattr(p))


def read_only(content):
    return marked(content, lambda p: os.chmod(p, 0o444), "writable", lambda p: mode_of(p) == 0o444)


def hidden(content):  # as Wine keeps the attribute
    dos = "user.DOSATTRIB"
    return marked(content, lambda p: os.setxattr(p, dos, b"0x2"), "not hidden", lambda p: os.getxattr(p, dos) == b"0x2")


def owned(content, mode, owner=None):  # owner: a user name; None: whoever runs the tests
    ids = (pwd.getpwnam(owner).pw_uid, grp.getgrnam("nogroup").gr_gid) if owner else (os.geteuid(), os.getegid())
    got = lambda p: ((os.stat(p).st_uid, os.stat(p).st_gid), mode_of(p))
    return marked(
        content, lambda p: (os.chown(p, *ids), os.chmod(p, mode)), "owner, mode", lambda p: got(p) == (ids, mode)
    )


def sparse(size, disguised=False):  # bytes set around 2 and 4 GiB and at its end; disguised: their masked form
    at = [o for o in (0, 2**31, 2**32 - 2, 2**32 - 1, 2**32, 2**32 + 1, size - 1) if o < size]
    marks = {offset: b"1234567"[i : i + 1] for i, offset in enumerate(at)}
    probes = {**{o: b"\0" for o in (1, 2**32 - 3) if o < size}, **marks, size: b""}  # at its size: its end

    def write(path):
        with open(path, "wb") as f:
            f.truncate(size)
            for offset, byte in marks.items():
                os.pwrite(f.fileno(), byte, offset)

    def test(path):
        with open(path, "rb") as f:
            read = {offset: os.pread(f.fileno(), 1, offset) for offset in probes}
        wrong = [o for o, byte in sorted(probes.items()) if read[o] != (masked(byte) if disguised else byte)]
        return wrong and f"wrong bytes at {wrong}"

    return Kind(write, test)


BIG, FAR, NEAR, L = sparse(6 * 2**30), 2**32 + 1000, 2**32 - 1, "n" * 251
DEEP = "/".join(["d" * 60] * 5)  # past 260 characters wherever the scratch folder is
ZONE = b"[ZoneTransfer]\r\nZoneId=3\r\n"  # under Wine a stream is a file "name:stream"
DOWNLOADED = {"dl.txt.xyz": A, "dl.txt.xyz:Zone.Identifier": ZONE, "dl.txt": OLD}


class Setup:
    """What a row needs beyond the common steps (lay out, start, compare the text, the status and the files), added
    through hooks, each a no-op unless a set-up has its own: traced() system calls and strace() options of the one strace
    the program runs under (no call traced: no strace), mount() before the files are laid out, prepare() after them,
    wrap(): a command the program runs under, during() its run, check() after its text and status are compared, undo()
    at the end, whatever happened. Every set-up is a dataclass: its fields are its arguments, its repr names it. One
    this machine cannot give skips its row."""

    repeat, hides_output = 1, False  # runs of the row; True: nothing reaches the test's standard output
    traced = strace = wrap = lambda self, *run: []
    mount = prepare = during = check = undo = lambda self, *run: None

    def __init_subclass__(cls):
        dataclasses.dataclass(cls)


class PressEnter(Setup):  # standard input held open: the run must wait, then end at one line
    def during(self, run, process):
        time.sleep(1.5)
        assert process.poll() is None, "did not wait for Enter"
        process.stdin.write(b"\n")  # left open: a second wait would hang
        wait_for(lambda: process.poll() is not None, "the end after one Enter", 20)


class MidRun(Setup):  # act() once the share `at` of the output is written
    def during(self, run, process):
        size = os.path.getsize(run.path())
        writer = lambda: output_writer(run.folder, run.row.before) or (0, -1)
        wait_for(lambda: writer()[1] >= self.at * size, f"{self.at:.0%} written", 60)
        assert process.poll() is None, f"finished before {self}"
        self.act(run, writer()[0])


class Signal(MidRun):
    name: str
    at: float
    act = lambda self, run, pid: os.kill(pid, signal.Signals[self.name])


class LimitLowered(MidRun):  # the file size limit, to 1 byte
    at: float
    act = lambda self, run, pid: resource.prlimit(pid, resource.RLIMIT_FSIZE, (1, 1))


class FolderMoved(MidRun):  # "sub" renamed "moved"
    at: float
    act = lambda self, run, pid: os.rename(run.path("sub"), run.path("moved"))


class InputMoved(MidRun):  # 1% in: given other permissions, then another name ("moved")
    at = 0.01
    act = lambda self, run, pid: (os.chmod(run.path(), 0o600), os.rename(run.path(), run.path("moved")))


class InSystem32(Setup):  # `name` in System32 and, other bytes, in the SysWOW64 a 32-bit program is redirected to
    name: str

    def files(self, suffix=""):  # in System32, then in SysWOW64
        folders = [pathlib.Path(os.environ["WINEPREFIX"], "drive_c/windows", f) for f in ("system32", "syswow64")]
        return [folder / (self.name + suffix) for folder in folders]

    prepare = lambda self, run: [path.write_bytes(content) for path, content in zip(self.files(), (A, b"wow"))]
    undo = lambda self, run: [path.unlink(True) for path in self.files() + self.files(".xyz")]

    def check(self, run):
        native, wow = self.files(".xyz")
        assert native.read_bytes() == AX and not wow.exists(), "SysWOW64 read or written for System32"


class InputChanged(MidRun):  # 1% in: a byte longer, or (rewritten) its first byte written again
    rewritten: bool = False
    at = 0.01

    def act(self, run, pid):
        with open(run.path(), "r+b") as changed:
            changed.write(b"x") if self.rewritten else changed.truncate(os.path.getsize(changed.name) + 1)


class LateLock(MidRun):  # `name` locked (flock) by this process, 1% in
    name: str
    at = 0.01
    act = lambda self, run, pid: fcntl.flock(run.hold(open(run.path(self.name), "rb")), fcntl.LOCK_EX)


class SignalAt(Setup):  # `call` held 0.4 s on its way back; `signal` once a name matching `when` shows
    call: str
    signal: str
    when: str
    traced = lambda self, run: [self.call]
    strace = lambda self, run: ["-e", f"inject={self.call}:delay_exit=400000"]

    def during(self, run, process):
        wait_for(lambda: fnmatch.filter(os.listdir(run.folder), self.when), self.when)
        program = pathlib.Path(f"/proc/{process.pid}/task/{process.pid}/children").read_text().split()[0]
        os.kill(int(program), signal.Signals[self.signal])


class Inject(Setup):  # the calls fail with the error; `on`: only those on these files
    calls: str
    error: str
    on: tuple = ()
    traced = lambda self, run: self.calls.split(",")
    kinds = dict(sync_file_range="sent", fsync="flush", fdatasync="flush", syncfs="flush")
    strace = lambda self, run: ["-e", f"inject={self.calls}:error={self.error}", *sum([["-P", f] for f in self.on], [])]


class NamedTemporary(Setup):  # the unnamed output refused (the second open of the folder itself), as on exFAT
    traced = lambda self, run: ["openat"]
    strace = lambda self, run: ["-P", ".", "-e", "inject=openat:error=EOPNOTSUPP:when=2"]

    def check(self, run):
        lines = pathlib.Path(run.trace).read_bytes().splitlines()
        assert any(b"O_TMPFILE" in line and b"INJECTED" in line for line in lines), "the unnamed output not refused"


class NothingWritten(Setup):  # no write reaches the scratch folder; some write is seen, so the watch itself works
    traced = lambda self, run: ["write", "pwrite64", "writev"]
    strace = lambda self, run: ["-y"]  # each write with the file it went to

    def check(self, run):
        trace = pathlib.Path(run.trace).read_bytes()
        assert b"write" in trace and run.folder.encode() not in trace, "a write reached the folder, or none was seen"


class DurableOrder(Setup):  # twice (new, then replacing): sent, flushed, named, made durable, reported (Wine: flushes)
    repeat, runs, calls = 2, 0, "sync_file_range,fsync,fdatasync,syncfs,linkat,renameat,renameat2,rename,write"
    traced = lambda self, run: self.calls.split(",")
    kinds = dict(sync_file_range="sent", fsync="flush", fdatasync="flush", syncfs="flush")
    strace = lambda self, run: ["-y"]  # a write's descriptor with its pipe: the report's, or Wine's own
    during = lambda self, run, process: setattr(self, "report", f"<pipe:[{os.fstat(process.stdout.fileno()).st_ino}]>")

    def check(self, run):
        steps, self.runs = [], self.runs + 1
        for line in pathlib.Path(run.trace).read_text(errors="replace").splitlines():
            call = line.split(None, 1)[-1]
            if call.startswith("write(") and self.report in call:
                break
            named = call.startswith(("linkat(", "rename")) and f'"{run.row.args[0]}.xyz"' in call
            steps += ["name"] * named + [step for k, step in self.kinds.items() if call.startswith(k + "(")]
        expected = ["flush", "flush"] if WINE else ["sent", "flush", "name", "flush"]
        assert steps == expected, f"run {self.runs}: {steps}"


class NameFlushFails(Setup):  # the flush that makes the new name durable fails (under Wine, every second fsync)
    traced = lambda self, run: ["fsync", "syncfs"]
    strace = lambda self, run: ["-e", f"inject=fsync,syncfs:error=EIO:when={'2+2' if WINE else '1+'}"]


class SizeLimit(Setup):  # ulimit -f, in bytes
    size: int
    wrap = lambda self, run: ["prlimit", f"--fsize={self.size}", "--"]


class Mounted(Setup):  # the scratch folder on a file system of its own, made by shell commands
    def mount(self, run):
        if subprocess.run(self.commands(run.folder), shell=True, capture_output=True).returncode:
            pytest.skip(f"this machine cannot give {self}")

    def undo(self, run):
        subprocess.run(["umount", run.folder], stderr=subprocess.DEVNULL)
        subprocess.run(f"losetup -nO NAME -j {run.folder}.img | xargs -r -n1 losetup -d", shell=True)


class OnTmpfs(Mounted):
    size: str
    commands = lambda self, folder: f"mount -t tmpfs -o size={self.size} tmpfs {folder}"


class OnExt4(Mounted):
    size: str
    commands = lambda self, at: f"mkfs.ext4 -q -m0 {at}.img {self.size} && mount -o loop {at}.img {at} && rmdir {at}/l*"


class OnExfat(Mounted):  # an image on a loop device, mounted through FUSE
    mib: int
    commands = lambda self, at: (
        f"truncate -s {self.mib}M {at}.img && mkfs.exfat $(losetup --find --show {at}.img) && "
        f"mount.exfat-fuse $(losetup -nO NAME -j {at}.img) {at}"
    )


class Umask(Setup):
    mask: int
    prepare = lambda self, run: setattr(run, "umask", self.mask)


class AsUser(Setup):  # in a folder anyone may write
    user: str
    mount = lambda self, run: os.chmod(run.folder, 0o777)
    wrap = lambda self, run: ["setpriv", f"--reuid={self.user}", "--regid=nogroup", "--clear-groups"]


class Lock(Setup):  # `name` (None: the input) locked by this process with fcntl's `function` ("flock", "lockf")
    function: str
    type: str  # "EX" or "SH"
    name: str = None

    def prepare(self, run):
        holder = run.hold(open(run.path(self.name), "r+b" if (self.function, self.type) == ("lockf", "EX") else "rb"))
        getattr(fcntl, self.function)(holder, getattr(fcntl, "LOCK_" + self.type))


class Writer(Setup):  # `name` (None: the input) open for writing in another process; a FIFO must never let it in
    name: str = None

    def prepare(self, run):
        holder = run.start("sh", "-c", 'exec 3>>"$0"; exec sleep 600', run.path(self.name))
        self.fd, wchan = f"/proc/{holder.pid}/fd/3", pathlib.Path(f"/proc/{holder.pid}/wchan")
        wait_for(lambda: os.path.exists(self.fd) or wchan.read_text() == "wait_for_partner", "the writer")

    def check(self, run):
        assert not stat.S_ISFIFO(os.stat(run.path(self.name)).st_mode) or not os.path.exists(self.fd), "FIFO opened"


class Hold(Setup):  # `name` (None: the input) open in a Windows process, for `seconds` or the whole run
    name: str = None
    seconds: float = None

    def prepare(self, run):
        self.holder = run.start(*WINE, HOLD_OPEN, self.name or run.row.args[0])
        assert self.holder.stdout.readline().strip() == b"held", "the holder could not open its file"

    def during(self, run, process):
        if any(":Zone" in name for name in run.row.before):
            # Under Wine a stream is a file that no rename takes along: the new content's is seen while it waits.
            zones = lambda: [pathlib.Path(z).read_bytes() for z in glob.glob(run.path(".*.part:Zone.Identifier"))]
            wait_for(lambda: ZONE in zones(), "the zone on the new content", 10)
        if self.seconds:
            time.sleep(self.seconds)
            self.holder.stdin.write(b"\n")


class Race(Setup):  # a second run with `argument` at once, 8 times
    argument: str
    repeat = 8

    def during(self, run, process):
        other = run.start(*WINE, (QUISTEL if run.row.tool == Q else VORLUNE), self.argument)
        assert other.communicate(b"", timeout=60)[1] == b"" and other.returncode == 0, "the other run failed"


class NoReader(Setup):  # standard output a pipe nobody reads
    hides_output = True
    wrap = lambda self, run: [sys.executable, "-c", self.CODE]
    CODE = """import os, signal, sys; signal.signal(signal.SIGPIPE, signal.SIG_DFL); r, w = os.pipe(); os.dup2(w, 1)
os.close(r); os.execv(sys.argv[1], sys.argv[1:])"""


class PeakMemory(Setup):  # the peak resident memory at most `kib` KiB
    kib: int
    wrap = lambda self, run: ["/usr/bin/time", "-f", "%M", "-o", run.folder + ".peak"]

    def check(self, run):
        peak = int(pathlib.Path(run.folder + ".peak").read_text().split()[-1])
        assert peak <= self.kib, f"peak memory {peak} KiB"


class ShortWrites(Setup):  # write() at most 4 KiB a call (a preloaded library, which counts the writes it cut short)
    def prepare(self, run):
        if not SHORT_WRITES:
            pytest.skip("the short-write library is not built")
        # A sanitizer's runtime would insist on coming first.
        run.env = dict(os.environ, LD_PRELOAD=SHORT_WRITES, ASAN_OPTIONS="verify_asan_link_order=0")
        run.env.update(SHORT_WRITES_LOG=run.folder + ".count")

    def check(self, run):
        assert int(pathlib.Path(run.folder + ".count").read_text()) > 0, "no write was cut short"


# outcome: the text shown ("usage", "open_failed", "created NAME", "write_failed NAME") or the signal that ended the
# run. setup: a set-up above, a tuple of them, or none. An added None: gone.
Row = collections.namedtuple("Row", "name tool before args setup outcome added marks", defaults=("",))
LEFTOVER, KILLED = ".in.xyz~0badf00d.part", {"big": BIG, "big.xyz": OLD}
# fmt: off
ROWS = [Row(*row) for row in [
    ("usage_image", Q, {}, [], (), "usage", {}),
    ("usage_vault_waits", V, {}, [], PressEnter(), "usage", {}),
    ("disguise_picture", Q, {"cat.png": S}, ["cat.png"], (), "created cat.png.xyz", {"cat.png.xyz": SX}),
    ("restore_picture_as_png", Q, {"cat.xyz": SX}, ["cat.xyz"], (), "created cat.png", {"cat.png": S}),
    ("restore_video_waits", V, {"clip.mp4.xyz": SX}, ["clip.mp4.xyz"], PressEnter(), "created clip.mp4", {"clip.mp4": S}),
    ("replaces_longer_output", V, {"n.txt": A, "n.txt.xyz": OLD}, ["n.txt"], (), "created n.txt.xyz", {"n.txt.xyz": AX}),
    ("empty_file", V, {"e": b""}, ["e"], (), "created e.xyz", {"e.xyz": b""}),
    ("subfolder", Q, {"sub": DIR, "sub/p.png": A}, ["sub/p.png"], (), "created sub/p.png.xyz", {"sub/p.png.xyz": AX}),
    ("only_first_argument", V, {"a": b"0", "b": b"1"}, ["a", "b"], (), "created a.xyz", {"a.xyz": b"["}),
    ("missing_input_waits", Q, {}, ["nope.png"], PressEnter(), "open_failed", {}),
    ("folder_input", V, {"d": DIR}, ["d"], (), "open_failed", {}),
    ("output_is_folder", Q, {"c.png": A, "c.png.xyz": DIR}, ["c.png"], (), "write_failed c.png.xyz", {}),
    ("bare_suffix_vault", V, {".xyz": A}, [".xyz"], (), "write_failed", {}),
    ("restores_to_dot_dot", V, {"...xyz": A}, ["...xyz"], (), "write_failed", {}),
    # Refused before anything is written, not only by the rename (as Wine's would be).
    ("read_only_output_kept", V, {"r": A, "r.xyz": read_only(OLD)}, ["r"], NothingWritten(), "write_failed", {}),
    ("longest_name", V, {L: A}, [L], (), f"created {L}.xyz", {L + ".xyz": AX}),
    ("name_past_limit", Q, {L + "q": A}, [L + "q"], (), f"write_failed {L}q.xyz", {}),
    ("chinese_name", V, {"电影 片段.mp4.xyz": A}, ["电影 片段.mp4.xyz"], (), "created 电影 片段.mp4", {"电影 片段.mp4": AX}),
    # Under Wine what code page 936 lacks shows as one "?" a character.
    ("name_outside_936", Q, {"한글😀é.png": A}, ["한글😀é.png"], (), "created 한글😀é.png.xyz", {"한글😀é.png.xyz": AX}),
    ("name_not_utf8", Q, {"a \udce9": A}, ["a \udce9"], (), "created a \udce9.xyz", {"a \udce9.xyz": AX}, "native"),
    ("link_at_output_replaced", V, {"in": A, "in.xyz": LINK("in")}, ["in"], (), "created in.xyz", {"in.xyz": AX}, "native"),
    ("link_to_read_only_replaced", V, {"in": A, "ro": read_only(OLD), "in.xyz": LINK("ro")}, ["in"], (), "created in.xyz", {"in.xyz": AX}, "native"),
    ("link_to_others_replaced", V, {"in": A, "r": OLD, "in.xyz": LINK("r")}, ["in"], AsUser("nobody"), "created in.xyz", {"in.xyz": AX}, "native root"),
    ("name_with_controls", V, {"\r\x1b[K": A}, ["\r\x1b[K"], (), "created \r\x1b[K.xyz", {"\r\x1b[K.xyz": AX}, "native"),
    ("fifo_refused", V, {"pipe": FIFO}, ["pipe"], (), "open_failed", {}, "native"),
    ("fifo_never_opened", V, {"pipe": FIFO}, ["pipe"], Writer(), "open_failed", {}, "native"),
    ("open_for_writing_refused", V, {"in": A}, ["in"], Writer(), "open_failed", {}, "native"),
    ("output_open_for_writing_kept", V, {"in": A, "in.xyz": OLD}, ["in"], Writer("in.xyz"), "write_failed", {}, "native"),
    ("lock_cannot_be_asked", V, {"in": A, "in.xyz": OLD}, ["in"], Inject("flock,fcntl", "ENOLCK"), "created in.xyz", {"in.xyz": AX}, "native"),
    ("writer_flock_refused", V, {"in": A}, ["in"], Lock("flock", "EX"), "open_failed", {}, "native"),
    ("writer_lockf_refused", V, {"in": A}, ["in"], Lock("lockf", "EX"), "open_failed", {}, "native"),
    ("reader_lock_allowed", V, {"in": A}, ["in"], Lock("flock", "SH"), "created in.xyz", {"in.xyz": AX}, "native"),
    ("held_open_for_writing", V, {"in": A}, ["in"], Hold(), "open_failed", {}, "windows"),
    ("output_held_past_the_retries", V, DOWNLOADED, ["dl.txt.xyz"], Hold("dl.txt"), "write_failed", {}, "windows"),
    ("output_held_for_a_moment", V, DOWNLOADED, ["dl.txt.xyz"], Hold("dl.txt", 0.8), "created dl.txt", {"dl.txt": AX}, "windows"),
    ("output_linked_to_input", V, {"in": A, "in.xyz": Kind(lambda path: os.link(path[:-4], path), None)}, ["in"], (), "created in.xyz", {"in.xyz": AX}),
    ("hidden_output_stays_hidden", V, {"h": A, "h.xyz": hidden(OLD)}, ["h"], (), "created h.xyz", {"h.xyz": hidden(AX)}, "windows"),
    # The file named is the file opened, under its own name; one named by its short alias is named after its long one.
    ("trailing_dot_its_own_file", Q, {"cat.png.": A, "cat.png": OLD}, ["cat.png."], (), "created cat.png..xyz", {"cat.png..xyz": AX}),
    ("device_name_a_file", V, {"COM3.png": A}, ["COM3.png"], (), "created COM3.png.xyz", {"COM3.png.xyz": AX}),
    ("alias_of_another_kept", V, {"PHOT~VSY.JPG.xyz": A, "Photo album cover.jpg": OLD}, ["PHOT~VSY.JPG.xyz"], (), "write_failed", {}, "windows"),
    ("short_name_restored_as_long", V, {"Holiday video 2024.mp4.xyz": AX}, ["HOLI~UFR.XYZ"], (), "created Holiday video 2024.mp4", {"Holiday video 2024.mp4": A}, "windows"),
    ("system32_as_named", V, {}, ["C:\\windows\\system32\\bbx.txt"], InSystem32("bbx.txt"), "created C:\\windows\\system32\\bbx.txt.xyz", {}, "windows"),
    ("leftovers_cleared_held_kept", V, {"in": A, LEFTOVER: OLD, LEFTOVER + "s": OLD, ".in.xyz~1badf00d.part": OLD, ".in.xyz~2badf00d.part": DIR}, ["in"], Hold(".in.xyz~1badf00d.part"), "created in.xyz", {"in.xyz": AX, LEFTOVER: None}, "windows"),
    ("deep_folder", V, {**{DEEP[:61 * n - 1]: DIR for n in range(1, 6)}, "x": DIR, DEEP + "/f": A}, [f"x/../{DEEP}/f"], (), f"created x/../{DEEP}/f.xyz", {DEEP + "/f.xyz": AX}),
    ("output_under_flock_kept", V, {"in": A, "in.xyz": OLD}, ["in"], Lock("flock", "EX", "in.xyz"), "write_failed", {}, "native"),
    ("output_under_lockf_kept", V, {"in": A, "in.xyz": OLD}, ["in"], Lock("lockf", "EX", "in.xyz"), "write_failed", {}, "native"),
    ("output_reader_lock_allowed", V, {"in": A, "in.xyz": OLD}, ["in"], Lock("lockf", "SH", "in.xyz"), "created in.xyz", {"in.xyz": AX}, "native"),
    ("output_locked_after_the_start_kept", V, {"big": sparse(2**29), "big.xyz": OLD}, ["big"], LateLock("big.xyz"), "write_failed", {}, "native"),
    ("output_keeps_its_acl", V, {"a": A, "a.xyz": with_acl(OLD)}, ["a"], (), "created a.xyz", {"a.xyz": with_acl(AX)}, "native"),
    ("output_takes_no_default_acl", V, {"d": ACL_FOLDER, "d/a": A, "d/a.xyz": without_acl(OLD)}, ["d/a"], (), "created d/a.xyz", {"d/a.xyz": without_acl(AX)}, "native"),
    ("output_keeps_its_mode", V, {"s": A, "s.xyz": owned(OLD, 0o640)}, ["s"], Umask(0o077), "created s.xyz", {"s.xyz": owned(AX, 0o640)}, "native"),
    ("users_output_keeps_its_owner", V, {"u": A, "u.xyz": owned(OLD, 0o604, "nobody")}, ["u"], (), "created u.xyz", {"u.xyz": owned(AX, 0o604, "nobody")}, "native root"),
    ("others_output_kept", V, {"o": owned(A, 0o644), "o.xyz": owned(OLD, 0o644)}, ["o"], AsUser("nobody"), "write_failed", {}, "native root"),
    ("no_room_before_the_first_write", V, {"in": S, "in.xyz": OLD}, ["in"], (OnTmpfs("3m"), NothingWritten()), "write_failed", {}, "native root"),
    ("no_room_on_disk_before_the_first_write", V, {"in": S, "in.xyz": OLD}, ["in"], (OnExt4("4m"), NothingWritten()), "write_failed", {}, "native root"),
    ("new_output_follows_umask", V, {"in": A}, ["in"], Umask(0o333), "created in.xyz", {"in.xyz": read_only(AX)}, "native"),
    ("disk_full_first_write", Q, {"p.png": S, "p.png.xyz": OLD}, ["p.png"], (SizeLimit(0), NothingWritten()), "write_failed p.png.xyz", {}, "native"),
    ("disk_full_last_byte", V, {"c.xyz": SX, "c": OLD}, ["c.xyz"], (SizeLimit(len(S) - 1), NothingWritten()), "write_failed", {}, "native"),
    ("disk_exact_fit", V, {"c.xyz": SX, "c": OLD}, ["c.xyz"], SizeLimit(len(S)), "created c", {"c": S}, "native"),
    ("short_writes_finished", V, {"in": S}, ["in"], ShortWrites(), "created in.xyz", {"in.xyz": SX}, "native"),
    ("limit_lowered_mid_run_named", V, {"big": BIG}, ["big"], (LimitLowered(0.05), NamedTemporary()), "write_failed", {}, "native"),
    ("input_moved_mid_run", V, {"big": sparse(2**29)}, ["big"], InputMoved(), "created big.xyz", {"big": None, "moved": sparse(2**29), "big.xyz": sparse(2**29, True)}, "native"),
    ("input_grew_mid_run", V, {"big": sparse(2**29)}, ["big"], InputChanged(), "open_failed", {"big": ANY}),
    ("input_rewritten_mid_run", V, {"big": sparse(2**29)}, ["big"], InputChanged(rewritten=True), "open_failed", {"big": ANY}, "native"),
    ("reader_gone", V, {"in": A}, ["in"], NoReader(), "created in.xyz", {"in.xyz": AX}, "native"),
    ("sigint_mid_run", V, {"big": BIG}, ["big"], Signal("SIGINT", 0.05), "SIGINT", {}, "native"),
    *[(f"{name.lower()}_mid_run_named", V, {"big": BIG}, ["big"], (Signal(name, 0.05), NamedTemporary()), name, {}, "native")
      for name in ("SIGTERM", "SIGHUP", "SIGQUIT", "SIGXCPU", "SIGUSR1", "SIGRTMIN")],
    ("folder_moved_mid_run", V, {"sub": DIR, "sub/big": sparse(2**29)}, ["sub/big"], FolderMoved(0.05), "created sub/big.xyz", {"sub": None, "sub/big": None, "moved": DIR, "moved/big": sparse(2**29), "moved/big.xyz": sparse(2**29, True)}, "native"),
    # Only leftovers of this output that no live run holds go: no link, no empty or other user's file, no other name.
    ("leftovers_cleared_live_kept", V, {"in": A, **{f".in.xyz~{t}.part": OLD for t in ("0badf00d", "1badf00d", "0BADF00D")}, ".in.xyz~2badf00d.part": LINK("in"), ".in.xyz~3badf00d.part": b""}, ["in"], (Lock("flock", "EX", ".in.xyz~1badf00d.part"), NamedTemporary()), "created in.xyz", {"in.xyz": AX, LEFTOVER: None}, "native"),
    ("leftover_suffix_exact", V, {"in": A, LEFTOVER: OLD, LEFTOVER + "s": OLD, LEFTOVER + "~": OLD}, ["in"], NamedTemporary(), "created in.xyz", {"in.xyz": AX, LEFTOVER: None}, "native"),
    ("leftover_kept_where_no_lock_can_be_asked", V, {"in": A, LEFTOVER: OLD}, ["in"], (NamedTemporary(), Inject("flock,fcntl", "ENOLCK", on=(LEFTOVER,))), "created in.xyz", {"in.xyz": AX}, "native"),
    ("others_leftover_kept", V, {"in": A, LEFTOVER: owned(OLD, 0o644, "nobody")}, ["in"], NamedTemporary(), "created in.xyz", {"in.xyz": AX}, "native root"),
    ("exfat_long_chinese_name", Q, {"照片照片照片照片照片.png": A, "照片照片照片照片照片.png.xyz": OLD, ".照片照片照片照片照片.p~0badf00d.part": OLD, ".照片照片照片照片照片.p~0badf00d.par": OLD}, ["照片照片照片照片照片.png"], OnExfat(16), "created 照片照片照片照片照片.png.xyz", {"照片照片照片照片照片.png.xyz": AX, ".照片照片照片照片照片.p~0badf00d.part": None}, "native root"),
    # A kill leaves nothing, at any point; the output name keeps what it held.
    ("kill_at_the_start", V, {"big": BIG}, ["big"], Signal("SIGKILL", 0), "SIGKILL", {}),
    ("kill_mid_run", V, KILLED, ["big"], Signal("SIGKILL", 0.5), "SIGKILL", {}),
    ("kill_near_the_end", V, KILLED, ["big"], Signal("SIGKILL", 0.9), "SIGKILL", {}, "native"),
    # The signal lands between naming or moving the complete output and noting that it did: it still ends in place.
    ("sigint_at_link", V, {"in": A}, ["in"], SignalAt("linkat", "SIGINT", "in.xyz"), "SIGINT", {"in.xyz": AX}, "native"),
    ("sigterm_at_rename", V, {"in": A, "in.xyz": OLD}, ["in"], SignalAt("renameat", "SIGTERM", ".in.xyz~*"), "SIGTERM", {"in.xyz": AX}, "native"),
    # Success only once on the disk; a failed flush is the write failure, before the name (nothing changed) or after it.
    ("durable_before_report", V, {"in": A}, ["in"], DurableOrder(), "created in.xyz", {"in.xyz": AX}),
    ("replace_flushed_before_rename", V, {"in": A, "in.xyz": OLD}, ["in"], Inject("fdatasync,fsync", "EIO"), "write_failed", {}),
    ("new_output_flushed_before_named", V, {"in": A}, ["in"], Inject("fdatasync,fsync", "EIO"), "write_failed", {}),
    ("new_name_not_made_durable", V, {"in": A}, ["in"], NameFlushFails(), "write_failed", {"in.xyz": AX}),
    ("replacing_name_not_made_durable", V, {"in": A, "in.xyz": OLD}, ["in"], NameFlushFails(), "write_failed", {"in.xyz": AX}),
    ("unreadable_folder_flushed_another_way", V, {"d": WX_DIR, "d/in": A}, ["d/in"], (AsUser("nobody"), NameFlushFails()), "write_failed", {"d/in.xyz": AX}, "native root"),
    ("name_taken_meanwhile_replaced", V, {"in": A}, ["in"], Inject("linkat", "EEXIST", on=("in.xyz",)), "created in.xyz", {"in.xyz": AX}, "native"),
    ("leftover_cleared_without_a_temporary_name", V, {"in": A, LEFTOVER: OLD}, ["in"], (), "created in.xyz", {"in.xyz": AX, LEFTOVER: None}),
    ("racing_disguises", V, {"a": S}, ["a"], Race("a"), "created a.xyz", {"a.xyz": SX}, "native"),
    ("racing_disguise_and_restore", V, {"a": S, "a.xyz": SX}, ["a"], Race("a.xyz"), "created a.xyz", {}, "native"),
    ("past_4_gib", V, {"big": sparse(FAR)}, ["big"], (), "created big.xyz", {"big.xyz": sparse(FAR, True)}, "large"),
    ("under_4_gib_flat", Q, {"b": sparse(NEAR)}, ["b"], PeakMemory(16384), "created b.xyz", {"b.xyz": sparse(NEAR, True)}, "native large"),
]]
# fmt: on


def difference(path, want):
    if isinstance(want, Kind):
        return want.test(path)
    got = pathlib.Path(path).read_bytes() if stat.S_ISREG(os.lstat(path).st_mode) else b"not a plain file"
    if got != want:
        at = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
        return f"{len(got)} bytes, expected {len(want)}; they differ from offset {at}"


def wait_for(predicate, what, timeout=30):
    deadline = time.monotonic() + timeout
    while not (found := predicate()):
        assert time.monotonic() < deadline, f"{what} not within {timeout} s"
        time.sleep(0.005)
    return found


def output_writer(folder, before):
    """(pid, bytes written) of the process writing the run's new output in `folder`, unnamed or not; None before."""
    for fd in glob.glob("/proc/[0-9]*/fd/*"):
        try:
            pid, target = fd.split("/")[2], os.readlink(fd)
            if (
                target.startswith(folder + "/")
                and os.path.relpath(target, folder) not in before
                and b"wineserver" not in pathlib.Path(f"/proc/{pid}/cmdline").read_bytes()
            ):
                return int(pid), int(pathlib.Path(fd.replace("/fd/", "/fdinfo/")).read_text().split()[1])
        except (OSError, ValueError, IndexError):  # gone meanwhile
            pass


def check_folder(folder, expected):
    found = {str(path.relative_to(folder)) for path in pathlib.Path(folder).rglob("*")}
    problems = []
    for name, want in sorted(expected.items(), key=lambda item: "*" in item[0]):  # exact names first
        matches = fnmatch.filter(found, name) if "*" in name else [name] * (name in found)
        found -= set(matches[:1])
        why = difference(os.path.join(folder, matches[0]), want) if len(matches) == 1 else f"{len(matches)} found"
        problems += [f"{name[:40]}: {why}"] if why else []
    return "; ".join(problems + [f"{name[:40]}: left behind" for name in found])  # empty when all is well


class Run:
    """One row's run in its scratch folder: the steps every row shares; its set-ups add theirs."""

    def __init__(self, row, folder):
        self.row, self.folder, self.trace, self.started, self.held = row, folder, folder + ".trace", [], []
        self.setups, self.umask, self.env = row.setup if isinstance(row.setup, tuple) else (row.setup,), -1, None

    def path(self, name=None):
        return os.path.join(self.folder, name or self.row.args[0])

    def hold(self, file):  # open until the row ends
        self.held.append(file)
        return file

    def start(self, *command):
        how, pipe = (
            dict(cwd=self.folder, umask=self.umask, env=self.env, preexec_fn=as_a_terminal_starts_it),
            subprocess.PIPE,
        )
        self.started.append(subprocess.Popen(command, bufsize=0, stdin=pipe, stdout=pipe, stderr=pipe, **how))
        return self.started[-1]

    def hooks(self, name, *arguments):
        return [getattr(setup, name)(self, *arguments) for setup in self.setups]

    def go(self):
        self.hooks("mount")
        for path, value in ((self.path(name), value) for name, value in self.row.before.items()):
            value.write(path) if isinstance(value, Kind) else pathlib.Path(path).write_bytes(value)
        self.hooks("prepare")
        calls, options = sum(self.hooks("traced"), []), sum(self.hooks("strace"), [])
        # No leak check under strace.
        trace = ["strace", "-f", "--quiet=all", "-o", self.trace, "-E", "ASAN_OPTIONS=detect_leaks=0", "-e"]
        command = [*(trace + ["trace=" + ",".join(calls), *options]) * bool(calls), *sum(self.hooks("wrap"), []), *WINE]
        for _ in range(max(setup.repeat for setup in self.setups) if self.setups else 1):
            process = self.start(*command, QUISTEL if self.row.tool == Q else VORLUNE, *self.row.args)
            self.hooks("during", process)
            out, err = process.communicate(b"", timeout=900 if "large" in self.row.marks else 60)
            self.compare_shown(out, err, process.returncode)
            self.hooks("check")
            self.compare_files()

    def compare_shown(self, out, err, returncode):
        signalled, (key, _, shown) = self.row.outcome.startswith("SIG"), self.row.outcome.partition(" ")
        # Wine's launcher cannot tell how its program ended.
        status = (None if WINE else -signal.Signals[self.row.outcome]) if signalled else int(key == "open_failed")
        text = "" if signalled or any(s.hides_output for s in self.setups) else TEXTS[self.row.tool][key].format(shown)
        text = text.replace("\n", "\r\n").encode("gbk", "replace") if WINE else os.fsencode(text)
        wrong = f"shown {out[:300]!r} {err[:300]!r}, status {returncode}; expected {text[:300]!r}, status {status}"
        assert (err, out) == (b"", text) and status in (None, returncode), wrong

    def compare_files(self):
        settled = time.monotonic() + (5 if self.row.outcome.startswith("SIG") else 0)  # a killed one's files go later
        expected = {name: want for name, want in {**self.row.before, **self.row.added}.items() if want is not None}
        while (problems := check_folder(self.folder, expected)) and time.monotonic() < settled:
            time.sleep(0.1)
        assert not problems, problems

    def end(self):
        for process in self.started:
            process.kill()
            process.wait()
        for file in self.held:
            file.close()
        self.hooks("undo")
        for leftover in (".peak", ".trace", ".img", ".count"):
            pathlib.Path(self.folder + leftover).unlink(missing_ok=True)


def as_a_terminal_starts_it():
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGXFSZ):
        signal.signal(number, signal.SIG_DFL)
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # no core file left by SIGQUIT and its kind


@pytest.fixture(scope="module", autouse=True)
def programs():  # under Wine, one server; its first program starts services, which must not inherit a row's pipes
    assert os.path.isfile(QUISTEL) and os.path.isfile(VORLUNE), "a program is not built"  # Wine would run it
    if WINE:
        os.environ.update(WINEDEBUG="-all", LANG="C.UTF-8", LC_ALL="C.UTF-8", WINEDLLOVERRIDES="mscoree,mshtml=")
        booted = os.path.exists(os.path.join(os.environ["WINEPREFIX"], "system.reg"))
        boot = [] if booted else [["wineboot", "-i"], ["wineserver", "-w"]]
        for command in boot + [["wineserver", "-p"], [*WINE, "cmd.exe", "/c", "exit"]]:
            subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    yield
    if WINE:
        subprocess.run(["wineserver", "-k"])


def with_marks(row):
    marks = [getattr(pytest.mark, mark) for mark in row.marks.split()]
    marks += [pytest.mark.skipif(os.geteuid() != 0, reason="needs root")] * ("root" in row.marks)
    marks += [pytest.mark.skip(reason="for the other side")] * (("native" if WINE else "windows") in row.marks)
    return pytest.param(row, marks=marks, id=row.name)


@pytest.mark.parametrize("row", [with_marks(row) for row in ROWS])
def test_row(row):
    with tempfile.TemporaryDirectory(prefix="scratch_", dir=SCRATCH) as folder:
        run = Run(row, folder)
        try:
            run.go()
        except AssertionError as failure:
            raise AssertionError(f"{', '.join(map(repr, run.setups)) or 'no set-up'}: {failure}"[:2000]) from None
        finally:
            run.end()


def test_win32_rules():
    if not WIN32_RULES:
        pytest.skip("only under Wine")
    rules = subprocess.run([*WINE, WIN32_RULES], capture_output=True, stdin=subprocess.DEVNULL)
    assert rules.returncode == 0, rules.stdout.decode(errors="replace")

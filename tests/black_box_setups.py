"""What the rows of black_box.py lay out and run under: the programs the environment names, the files, the set-ups."""
import collections, dataclasses, fcntl, fnmatch, glob, grp, os, pathlib, pwd, resource, signal, stat, subprocess, sys
import time

import pytest

found = lambda name: name in os.environ and os.path.abspath(os.environ[name])
QUISTEL, VORLUNE, HOLD_OPEN, SHORT_WRITES, WIN32_RULES = map(
    found, "QUISTEL VORLUNE HOLD_OPEN SHORT_WRITES WIN32_RULES".split()
)
WINE, Q, V = [os.environ["WINE"]] if os.environ.get("WINE") else [], "quistel", "vorlune"
# The disguise of each byte value, 0x00 to 0xff, written out (package_install_test.py checks with masked() too).
DISGUISE = bytes.fromhex(
    "6b6a69686f6e6d6c63626160676665647b7a79787f7e7d7c7372717077767574"
    "4b4a49484f4e4d4c43424140474645445b5a59585f5e5d5c5352515057565554"
    "2b2a29282f2e2d2c23222120272625243b3a39383f3e3d3c3332313037363534"
    "0b0a09080f0e0d0c03020100070605041b1a19181f1e1d1c1312111017161514"
    "ebeae9e8efeeedece3e2e1e0e7e6e5e4fbfaf9f8fffefdfcf3f2f1f0f7f6f5f4"
    "cbcac9c8cfcecdccc3c2c1c0c7c6c5c4dbdad9d8dfdedddcd3d2d1d0d7d6d5d4"
    "abaaa9a8afaeadaca3a2a1a0a7a6a5a4bbbab9b8bfbebdbcb3b2b1b0b7b6b5b4"
    "8b8a89888f8e8d8c83828180878685849b9a99989f9e9d9c9392919097969594"
)


masked = lambda data: data.translate(DISGUISE)


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
ACL = bytes.fromhex("02000000 01000600ffffffff 02000600feff0000 04000400ffffffff 10000600ffffffff 20000000ffffffff")
ACCESS, mode_of = "system.posix_acl_access", lambda path: stat.S_IMODE(os.stat(path).st_mode)


def marked(content, mark, what, has_it):  # content, then mark(path); has_it(path) tells whether it kept `what`
    write = lambda p: (pathlib.Path(p).write_bytes(content), mark(p))
    return Kind(write, lambda p: not has_it(p) and what or difference(p, content))


acl = lambda c: marked(c, lambda p: os.setxattr(p, ACCESS, ACL), "ACL lost", lambda p: os.getxattr(p, ACCESS) == ACL)
# The access ACL the folder's default one gave taken away.
no_acl = lambda c: marked(c, lambda p: os.removexattr(p, ACCESS), "an ACL", lambda p: ACCESS not in os.listxattr(p))
read_only = lambda c: marked(c, lambda p: os.chmod(p, 0o444), "writable", lambda p: mode_of(p) == 0o444)
DOS = ("user.DOSATTRIB", b"0x2")  # the hidden attribute, as Wine keeps it
hidden = lambda c: marked(c, lambda p: os.setxattr(p, *DOS), "not hidden", lambda p: os.getxattr(p, DOS[0]) == DOS[1])


def owned(content, mode, owner=None):  # owner: a user name; None: whoever runs the tests
    ids = (pwd.getpwnam(owner).pw_uid, grp.getgrnam("nogroup").gr_gid) if owner else (os.geteuid(), os.getegid())
    kept = lambda p: ((os.stat(p).st_uid, os.stat(p).st_gid), mode_of(p)) == (ids, mode)
    return marked(content, lambda p: (os.chown(p, *ids), os.chmod(p, mode)), "owner, mode", kept)


nobodys = lambda content, mode=0o604: owned(content, mode, "nobody")


def sparse(size, disguised=False):  # bytes set around 2 and 4 GiB and at its end; disguised: their masked form
    at = [o for o in (0, 2**31, 2**32 - 2, 2**32 - 1, 2**32, 2**32 + 1, size - 1) if o < size]
    marks = {offset: b"1234567"[i : i + 1] for i, offset in enumerate(at)}
    probes = {**{o: b"\0" for o in (1, 2**32 - 3) if o < size}, **marks, size: b""}  # at its size: its end

    def write(path):
        with open(path, "wb") as f:
            f.truncate(size)
            [os.pwrite(f.fileno(), byte, offset) for offset, byte in marks.items()]

    def test(path):
        with open(path, "rb") as f:
            read = {offset: os.pread(f.fileno(), 1, offset) for offset in probes}
        wrong = [o for o, byte in sorted(probes.items()) if read[o] != (masked(byte) if disguised else byte)]
        return wrong and f"wrong bytes at {wrong}"

    return Kind(write, test)


BIG, FAR, L = sparse(6 * 2**30), 2**32 + 1000, "n" * 251
DEEP = "/".join(["d" * 60] * 5)  # past 260 characters wherever the scratch folder is
ZONE = b"[ZoneTransfer]\r\nZoneId=3\r\n"  # under Wine a stream is a file "name:stream"
DOWNLOADED = {"dl.txt.xyz": A, "dl.txt.xyz:Zone.Identifier": ZONE, "dl.txt": OLD}


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
            ours = target.startswith(folder + "/") and os.path.relpath(target, folder) not in before
            if ours and b"wineserver" not in pathlib.Path(f"/proc/{pid}/cmdline").read_bytes():
                return int(pid), int(pathlib.Path(fd.replace("/fd/", "/fdinfo/")).read_text().split()[1])
        except (OSError, ValueError, IndexError):  # gone meanwhile
            pass


class Setup:
    """What a row needs beyond the common steps (lay out, start, compare the text, status and files), through hooks that
    do nothing unless a set-up has its own: traced() calls and strace() options of the one strace the program runs
    under (none traced: no strace), mount() before the layout, prepare() after, wrap(): a command to run the program
    under, during() its run, check() after its text and status, undo() at the end. A set-up is a dataclass: its fields
    are its arguments, its repr names it. One this machine cannot give skips its row."""

    repeat, hides_output, root = 1, False, False  # runs of the row; no text reaches the test; it and its row need root
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
    on: str = None
    traced = lambda self, run: self.calls.split(",")
    strace = lambda self, run: ["-e", f"inject={self.calls}:error={self.error}", *["-P", self.on] * bool(self.on)]


class NamedTemporary(Setup):  # the unnamed output refused (the second open of the folder itself), as on exFAT
    traced = lambda self, run: ["openat"]
    strace = lambda self, run: ["-P", ".", "-e", "inject=openat:error=EOPNOTSUPP:when=2"]

    def check(self, run):
        lines = pathlib.Path(run.trace).read_bytes().splitlines()
        assert any(b"O_TMPFILE" in line and b"INJECTED" in line for line in lines), "the unnamed output not refused"


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


class NothingWritten(Setup):  # no write reaches the scratch folder; some write is seen, so the watch itself works
    traced = lambda self, run: ["write", "pwrite64", "writev"]
    strace = lambda self, run: ["-y"]  # each write with the file it went to

    def check(self, run):
        trace = pathlib.Path(run.trace).read_bytes()
        assert b"write" in trace and run.folder.encode() not in trace, "a write reached the folder, or none was seen"


class SizeLimit(Setup):  # ulimit -f, in bytes
    size: int
    wrap = lambda self, run: ["prlimit", f"--fsize={self.size}", "--"]


class Mounted(Setup):  # the scratch folder on a file system of its own, made by shell commands (as root)
    root = True

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


class DefaultAcl(Setup):  # the scratch folder's default ACL the one above: every file made in it takes it
    mount = lambda self, run: os.setxattr(run.folder, "system.posix_acl_default", ACL)


class Umask(Setup):
    mask: int
    prepare = lambda self, run: setattr(run, "umask", self.mask)


class AsUser(Setup):  # in a folder anyone may write (as root)
    user: str
    root = True
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
        # Before its exec the child holds the parent's pipes, one of them maybe as 3: only the file itself counts.
        named = os.path.realpath(run.path(self.name))
        opened = lambda: os.path.exists(self.fd) and os.path.realpath(self.fd) == named
        wait_for(lambda: opened() or wchan.read_text() == "wait_for_partner", "the writer")

    def check(self, run):
        assert not stat.S_ISFIFO(os.stat(run.path(self.name)).st_mode) or not os.path.exists(self.fd), "FIFO opened"


class LateWriter(MidRun):  # the input opened for writing by another process 1% in, never written, held to the end
    at = 0.01
    act = lambda self, run, pid: Writer().prepare(run)


class Hold(
    Setup
):  # `name` (None: the input) open in a Windows process, for `seconds` or the whole run; alone: unshared
    name: str = None
    seconds: float = None
    alone: bool = False

    def prepare(self, run):
        self.holder = run.start(*WINE, HOLD_OPEN, self.name or run.row.args[0], *["alone"] * self.alone)
        assert self.holder.stdout.readline().strip() == b"held", "the holder could not open its file"

    def during(self, run, process):
        if any(":Zone" in name for name in run.row.before) and ":Zone" not in str(self.name):
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
        run.env.update(LD_PRELOAD=SHORT_WRITES, ASAN_OPTIONS="verify_asan_link_order=0")
        run.env.update(SHORT_WRITES_LOG=run.folder + ".count")

    def check(self, run):
        assert int(pathlib.Path(run.folder + ".count").read_text()) > 0, "no write was cut short"

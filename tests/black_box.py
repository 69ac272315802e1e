#!/usr/bin/env python3
"""Black-box cases against the built programs.

Each case lays out files in a scratch folder, runs one program there with the
given arguments and standard input, and checks the exact standard output, an
empty standard error, the exit status and every file left in the folder.
The same table runs the native programs or the Windows .exe files under Wine
(--exec-prefix wine --encoding gbk --newline crlf).
"""
import argparse
import fcntl
import glob
import grp
import os
import pwd
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest

MASK = 0x6B
PAUSE = "\n按回车键退出程序..."
TEXTS = {
    "quistel": {
        "usage": "请将文件拖拽到这个 EXE 上运行！\n提示: 拖入 .png 会生成 .xyz; 拖入 .xyz 会还原 .png\n",
        "open_failed": "错误: 无法打开文件。请确认文件存在且未被占用。\n",
        "created": "转换成功！已生成: {out}\n" + PAUSE,
        "write_failed": "写入失败: {out}\n" + PAUSE,
    },
    "vorlune": {
        "usage": "【Vorlune】\n请将 .mp4 / .txt / .xyz 文件拖拽到这里！\n提示: 拖入 .xyz 文件可以一键还原！\n",
        "open_failed": "错误: 无法读取文件，请检查路径或确认文件未被占用。\n",
        "created": "处理成功！已生成: {out}\n" + PAUSE,
        "write_failed": "写入失败，请检查权限或空间。\n" + PAUSE,
    },
}
SAMPLE = bytes((i * 37 + i // 256) & 0xFF for i in range(2_500_000))  # more than two pieces
OLD = b"old content that is longer than nothing"


MASKED = bytes(b ^ MASK for b in range(256))


def masked(data):
    return data.translate(MASKED)


ZONE = b"[ZoneTransfer]\r\nZoneId=3\r\n"
# A downloaded input with its mark, beside an older output. Wine keeps a stream as a file "name:stream".
DOWNLOADED = {"dl.txt.xyz": masked(b"d"), "dl.txt.xyz:Zone.Identifier": ZONE, "dl.txt": OLD}
# Five folders of 60 characters: past MAX_PATH wherever the scratch folder is. Named through "x/../" below, so
# the path must be made whole before a \\?\ prefix, which takes it literally.
DEEP_FOLDERS = {"/".join(["d" * 60] * n) + "/": None for n in range(1, 6)}
DEEP = "/".join(["d" * 60] * 5)


# Files: name -> bytes; a name ending in "/" is a folder.
# expect_files: the whole folder afterwards; None for a file means "masked SAMPLE".
CASES = [
    # name, tool, files before, arguments, outcome, shown output name, files after
    ("usage_image", "quistel", {}, [], "usage", None, {}),
    ("usage_vault", "vorlune", {}, [], "usage", None, {}),
    ("disguise_picture", "quistel", {"cat.png": SAMPLE}, ["cat.png"], "created", "cat.png.xyz",
     {"cat.png": SAMPLE, "cat.png.xyz": masked(SAMPLE)}),
    ("restore_picture_as_png", "quistel", {"cat.xyz": masked(SAMPLE)}, ["cat.xyz"], "created", "cat.png",
     {"cat.xyz": masked(SAMPLE), "cat.png": SAMPLE}),
    ("restore_video_name", "vorlune", {"clip.mp4.xyz": masked(SAMPLE)}, ["clip.mp4.xyz"], "created", "clip.mp4",
     {"clip.mp4.xyz": masked(SAMPLE), "clip.mp4": SAMPLE}),
    ("upper_case_suffix_disguised_again", "vorlune", {"a.XYZ": b"x"}, ["a.XYZ"], "created", "a.XYZ.xyz",
     {"a.XYZ": b"x", "a.XYZ.xyz": masked(b"x")}),
    ("replaces_longer_output_exactly", "vorlune", {"n.txt": b"hi", "n.txt.xyz": OLD}, ["n.txt"], "created",
     "n.txt.xyz", {"n.txt": b"hi", "n.txt.xyz": masked(b"hi")}),
    ("empty_file", "vorlune", {"e": b""}, ["e"], "created", "e.xyz", {"e": b"", "e.xyz": b""}),
    ("relative_subfolder", "quistel", {"sub/": None, "sub/p.png": b"abc"}, ["sub/p.png"], "created",
     "sub/p.png.xyz", {"sub/": None, "sub/p.png": b"abc", "sub/p.png.xyz": masked(b"abc")}),
    ("only_first_argument", "vorlune", {"a": b"1", "b": b"2"}, ["a", "b"], "created", "a.xyz",
     {"a": b"1", "b": b"2", "a.xyz": masked(b"1")}),
    ("missing_input", "quistel", {}, ["nope.png"], "open_failed", None, {}),
    ("missing_input_vault", "vorlune", {}, ["nope"], "open_failed", None, {}),
    ("folder_input", "vorlune", {"d/": None}, ["d"], "open_failed", None, {"d/": None}),
    ("output_is_folder", "quistel", {"c.png": b"z", "c.png.xyz/": None}, ["c.png"], "write_failed",
     "c.png.xyz", {"c.png": b"z", "c.png.xyz/": None}),
    ("bare_suffix_vault", "vorlune", {".xyz": b"q"}, [".xyz"], "write_failed", None, {".xyz": b"q"}),
    ("bare_suffix_image", "quistel", {".xyz": b"q"}, [".xyz"], "created", ".png",
     {".xyz": b"q", ".png": masked(b"q")}),
    # r.xyz is made read-only first: kept even when root runs the tool.
    ("read_only_output_kept", "vorlune", {"r": b"new", "r.xyz": OLD}, ["r"], "write_failed", None,
     {"r": b"new", "r.xyz": OLD}),
    ("deep_folder", "vorlune", {**DEEP_FOLDERS, "x/": None, DEEP + "/f": b"d"}, ["x/../" + DEEP + "/f"], "created",
     "x/../" + DEEP + "/f.xyz", {**DEEP_FOLDERS, "x/": None, DEEP + "/f": b"d", DEEP + "/f.xyz": masked(b"d")}),
]


class Harness:
    def __init__(self, args):
        self.programs = {"quistel": os.path.abspath(args.quistel), "vorlune": os.path.abspath(args.vorlune)}
        self.prefix = args.exec_prefix.split() if args.exec_prefix else []
        self.encoding = args.encoding
        self.newline = "\r\n" if args.newline == "crlf" else "\n"
        self.windows = bool(self.prefix)
        self.options = args
        for option in ("hold_open", "native_vorlune"):
            if getattr(args, option):
                setattr(args, option, os.path.abspath(getattr(args, option)))

    def expected(self, tool, outcome, out):
        text = TEXTS[tool][outcome].format(out=out)
        return text.replace("\n", self.newline).encode(self.encoding, errors="replace")

    def run(self, tool, arguments, folder, stdin=b"", timeout=60, wrapper=()):
        program = self.programs[tool]
        if not os.path.isfile(program):  # Wine would report a missing file as a run with status 1
            raise AssertionError(f"program not built: {program}")
        return subprocess.run(self.prefix + list(wrapper) + [program] + arguments, cwd=folder, input=stdin,
                              capture_output=True, timeout=timeout)


def lay_out(folder, files):
    for name, content in files.items():
        path = os.path.join(folder, name)
        if name.endswith("/"):
            os.makedirs(path, exist_ok=True)
        else:
            with open(path, "wb") as f:
                f.write(content)


def read_back(folder):
    found = {}
    for root, dirs, names in os.walk(folder):
        for d in dirs:
            found[os.path.relpath(os.path.join(root, d), folder) + "/"] = None
        for n in names:
            path = os.path.join(root, n)
            rel = os.path.relpath(path, folder)
            found[rel] = os.readlink(path).encode() if os.path.islink(path) else open(path, "rb").read()
    return found


def wait_for(found, timeout=10):
    deadline = time.monotonic() + timeout
    while not (result := found()):
        if time.monotonic() > deadline:
            raise AssertionError("timed out")
        time.sleep(0.01)
    return result


def command_line(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read()
    except OSError:  # ended meanwhile
        return b""


def sparse_file(path, size, markers=None):
    with open(path, "wb") as f:
        f.truncate(size)
        for offset, byte in (markers or {}).items():
            f.seek(offset)
            f.write(byte)


def marked_sparse_file(path, size):
    """A sparse file with bytes set around the 2 and 4 GiB marks and at its end."""
    markers = {0: b"\x01", 2**31: b"\x05", 2**32 - 2: b"\x02", size - 1: b"\x04"}
    if size > 2**32:
        markers.update({2**32 - 1: b"\x07", 2**32: b"\x03", 2**32 + 1: b"\x06"})
    sparse_file(path, size, markers)
    return markers


class Folder(unittest.TestCase):
    """Each test, and each row of a table through fresh(), in a new scratch folder."""
    harness = None
    parent = None

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="scratch_", dir=self.parent)

    def tearDown(self):
        shutil.rmtree(self.folder)

    def fresh(self):
        self.tearDown()
        self.setUp()

    def path(self, name):
        return os.path.join(self.folder, name)

    def assert_masked_sparse(self, name, size, markers):
        with open(self.path(name), "rb") as f:
            self.assertEqual(os.fstat(f.fileno()).st_size, size)
            for offset in list(markers) + [1, 12345, 2**32 - 3, size - 2]:
                f.seek(offset)
                self.assertEqual(f.read(1), masked(markers.get(offset, b"\x00")), offset)


class BlackBox(Folder):

    def check(self, case):
        name, tool, before, arguments, outcome, out, after = case
        lay_out(self.folder, before)
        if name == "read_only_output_kept":
            os.chmod(os.path.join(self.folder, "r.xyz"), 0o444)
        result = self.harness.run(tool, arguments, self.folder)
        self.assertEqual(result.stdout, self.harness.expected(tool, outcome, out))
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.returncode, 1 if outcome == "open_failed" else 0)
        self.assertEqual(read_back(self.folder), after)

    def test_table(self):
        for case in CASES:
            with self.subTest(case[0]):
                self.fresh()
                self.check(case)

    def test_either_tool_restores_the_others_disguise(self):
        lay_out(self.folder, {"v.png": SAMPLE})
        self.harness.run("vorlune", ["v.png"], self.folder)
        self.harness.run("quistel", ["v.png.xyz"], self.folder)
        os.rename(self.path("v.png.xyz"), self.path("w.png.xyz"))
        self.harness.run("vorlune", ["w.png.xyz"], self.folder)
        self.assertEqual(read_back(self.folder),
                         {"v.png": SAMPLE, "v.png.png": SAMPLE, "w.png.xyz": masked(SAMPLE), "w.png": SAMPLE})

    def test_waits_for_exactly_one_enter(self):
        lay_out(self.folder, {"w": b"1"})
        for arguments in ([], ["w"], ["missing"]):
            with self.subTest(arguments):
                process = subprocess.Popen(self.harness.prefix + [self.harness.programs["vorlune"]] + arguments,
                                           cwd=self.folder, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
                with self.assertRaises(subprocess.TimeoutExpired):
                    process.wait(timeout=1.5)  # still waiting for Enter
                process.stdin.write(b"\n")
                process.stdin.flush()  # the pipe stays open: a second wait would hang
                self.assertEqual(process.wait(timeout=20), 1 if arguments == ["missing"] else 0)
                process.stdin.close()


class PosixOnly(Folder):
    """Sharing, special files and links, which only the native programs see this way."""

    def run_vault(self, *arguments, timeout=20):
        return self.harness.run("vorlune", list(arguments), self.folder, timeout=timeout)

    def test_special_files_refused_at_once(self):
        fifo = self.path("pipe")
        os.mkfifo(fifo)
        for path in (fifo, "/dev/zero", "/dev/null"):
            with self.subTest(path):
                result = self.run_vault(path, timeout=10)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout, self.harness.expected("vorlune", "open_failed", None))
        self.assertEqual(os.listdir(self.folder), ["pipe"])

    def test_a_writers_lock_keeps_the_input_and_the_output(self):
        # file held, lock call and kind, outcome
        for held, lock, kind, outcome in (("in", fcntl.flock, fcntl.LOCK_EX, "open_failed"),
                                          ("in", fcntl.lockf, fcntl.LOCK_EX, "open_failed"),
                                          ("in", fcntl.flock, fcntl.LOCK_SH, "created"),
                                          ("in.xyz", fcntl.flock, fcntl.LOCK_EX, "write_failed"),
                                          ("in.xyz", fcntl.lockf, fcntl.LOCK_EX, "write_failed"),
                                          ("in.xyz", fcntl.lockf, fcntl.LOCK_SH, "created")):
            with self.subTest(held=held, lock=lock.__name__, exclusive=kind == fcntl.LOCK_EX):
                self.fresh()
                lay_out(self.folder, {"in": b"data", "in.xyz": OLD})
                with open(self.path(held), "r+b") as holder:
                    lock(holder, kind)
                    result = self.run_vault("in")
                self.assertEqual((result.returncode, result.stdout),
                                 (int(outcome == "open_failed"), self.harness.expected("vorlune", outcome, "in.xyz")))
                self.assertEqual(read_back(self.folder)["in.xyz"], masked(b"data") if outcome == "created" else OLD)

    def test_link_at_output_name_is_replaced_not_followed(self):
        lay_out(self.folder, {"in": b"secret"})
        os.symlink("in", self.path("in.xyz"))
        self.assertEqual(self.run_vault("in").returncode, 0)
        self.assertEqual(read_back(self.folder), {"in": b"secret", "in.xyz": masked(b"secret")})

    def test_owner_and_mode_of_the_output(self):
        me, nobody = (os.geteuid(), os.getegid()), (pwd.getpwnam("nobody").pw_uid, grp.getgrnam("nogroup").gr_gid)
        # run by (None: this process's user), umask, output before (owner, mode), outcome, output after
        for user, umask, before, outcome, after in (
                (None, 0o027, None, "created", (me, 0o640)),  # a new file: 0666 less the umask
                (None, 0o022, (me, 0o600), "created", (me, 0o600)),
                (None, 0o022, (nobody, 0o604), "created", (nobody, 0o604)),  # root keeps a user's owner
                ("nobody", 0o022, (me, 0o644), "write_failed", (me, 0o644)),  # root's, in a folder all may write
                ("nobody", 0o022, (me, 0o666), "created", (nobody, 0o666))):
            with self.subTest(user=user, before=before):
                owners = {after[0]} | ({before[0]} if before else set())
                if (user or owners != {me}) and os.geteuid() != 0:
                    self.skipTest("runs as another user or gives a file away: needs root")
                self.fresh()
                os.chmod(self.folder, 0o777)
                lay_out(self.folder, {"in": b"p"} if before is None else {"in": b"p", "in.xyz": OLD})
                os.chmod(self.path("in"), 0o644)
                if before:
                    os.chown(self.path("in.xyz"), *before[0])
                    os.chmod(self.path("in.xyz"), before[1])
                old_umask = os.umask(umask)
                try:
                    wrapper = ["setpriv", f"--reuid={user}", "--regid=nogroup", "--clear-groups"] if user else []
                    result = self.harness.run("vorlune", ["in"], self.folder, wrapper=wrapper)
                finally:
                    os.umask(old_umask)
                self.assertEqual(result.stdout, self.harness.expected("vorlune", outcome, "in.xyz"))
                status = os.stat(self.path("in.xyz"))
                self.assertEqual(((status.st_uid, status.st_gid), stat.S_IMODE(status.st_mode)), after)
                self.assertEqual(read_back(self.folder)["in.xyz"], masked(b"p") if outcome == "created" else OLD)


class WindowsOnly(Folder):
    """Sharing between Windows processes, a killed run, attributes and streams as Wine keeps them, UTF-16 names
    and code page 936, and files written by one build read by the other."""

    # name, files before, set-up, argument, outcome, shown output name, files after. Set-up: a file held open by
    # the helper process until the run ends or for the seconds given, or one hidden as Wine records it.
    CASES = [
        ("input_held_for_writing", {"in": b"i"}, ("hold", "in", None), "in", "open_failed", None, {"in": b"i"}),
        ("output_held_past_the_retries", DOWNLOADED, ("hold", "dl.txt", None), "dl.txt.xyz", "write_failed", None,
         DOWNLOADED),
        ("output_held_for_a_moment", DOWNLOADED, ("hold", "dl.txt", 0.8), "dl.txt.xyz", "created", "dl.txt",
         {**DOWNLOADED, "dl.txt": b"d"}),
        ("hidden_output_stays_hidden", {"h": b"n", "h.xyz": OLD}, ("hide", "h.xyz", None), "h", "created", "h.xyz",
         {"h": b"n", "h.xyz": masked(b"n")}),
    ]

    def test_table(self):
        for name, before, (setup, subject, release), argument, outcome, out, after in self.CASES:
            with self.subTest(name):
                self.fresh()
                lay_out(self.folder, before)
                if setup == "hide":
                    os.setxattr(self.path(subject), "user.DOSATTRIB", b"0x2")
                else:  # the helper ends at the end of its input, should a check fail first
                    holder = subprocess.Popen(self.harness.prefix + [self.harness.options.hold_open, subject],
                                              cwd=self.folder, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
                    self.assertEqual(holder.stdout.readline().strip(), b"held")
                run = subprocess.Popen(self.harness.prefix + [self.harness.programs["vorlune"], argument],
                                       cwd=self.folder, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
                if before is DOWNLOADED:
                    # Under Wine a stream is a file of its own that no rename takes along: the new content's
                    # zone is read while the run waits for the held output.
                    [zone] = wait_for(lambda: glob.glob(self.path(".dl.txt~*.part:Zone.Identifier")))
                    self.assertEqual(open(zone, "rb").read(), ZONE)
                if release:
                    time.sleep(release)
                    holder.communicate(b"\n", timeout=30)
                self.assertEqual(run.communicate(timeout=60)[0], self.harness.expected("vorlune", outcome, out))
                self.assertEqual(run.returncode, 1 if outcome == "open_failed" else 0)
                self.assertEqual(read_back(self.folder), after)
                if setup == "hide":
                    self.assertEqual(os.getxattr(self.path(subject), "user.DOSATTRIB"), b"0x2")
                elif not release:
                    holder.communicate(b"\n", timeout=30)

    def test_killed_run_leaves_nothing_but_what_was_there(self):
        # SIGKILL to the Unix process Wine runs the program in, mid-way through a multi-gigabyte file.
        program = ("Z:" + self.harness.programs["vorlune"].replace("/", "\\")).encode()
        for before in ({}, {"big.xyz": OLD}):
            with self.subTest(old_output=bool(before)):
                self.fresh()
                lay_out(self.folder, before)
                sparse_file(self.path("big"), 3 * 2**30)
                run = subprocess.Popen(self.harness.prefix + [self.harness.programs["vorlune"], "big"],
                                       cwd=self.folder, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
                wait_for(lambda: glob.glob(self.path(".big.xyz~*.part")))
                time.sleep(0.3)
                [pid] = [int(p) for p in os.listdir("/proc") if p.isdigit() and command_line(p).startswith(program)]
                os.kill(pid, signal.SIGKILL)
                run.wait(timeout=60)
                wait_for(lambda: sorted(os.listdir(self.folder)) == sorted(["big", *before]))
                if before:
                    self.assertEqual(open(self.path("big.xyz"), "rb").read(), OLD)

    def test_unicode_names_arrive_intact_and_show_in_code_page_936(self):
        for name in ("图片 测试.png", "smile😀é.txt", "한글.png"):
            with self.subTest(name):
                lay_out(self.folder, {name: b"u"})
                result = self.harness.run("quistel", [name], self.folder)
                # Only what code page 936 lacks becomes "?", one per character.
                self.assertEqual(result.stdout, self.harness.expected("quistel", "created", name + ".xyz"))
                self.assertEqual(read_back(self.folder)[name + ".xyz"], masked(b"u"))

    def test_native_and_windows_builds_read_each_others_files(self):
        lay_out(self.folder, {"a.mp4": SAMPLE, "b.mp4": SAMPLE})
        self.harness.run("vorlune", ["a.mp4"], self.folder)
        subprocess.run([self.harness.options.native_vorlune, "a.mp4.xyz"], cwd=self.folder, input=b"", check=True,
                       capture_output=True)
        subprocess.run([self.harness.options.native_vorlune, "b.mp4"], cwd=self.folder, input=b"", check=True,
                       capture_output=True)
        os.remove(self.path("b.mp4"))
        self.harness.run("vorlune", ["b.mp4.xyz"], self.folder)
        self.assertEqual(read_back(self.folder), {"a.mp4": SAMPLE, "a.mp4.xyz": masked(SAMPLE),
                                                  "b.mp4": SAMPLE, "b.mp4.xyz": masked(SAMPLE)})


class Large(Folder):
    """A sparse file past 4 GiB goes through whole (run with --large)."""

    def test_sparse_file_past_4_gib(self):
        size = 4 * 2**30 + 1000
        markers = marked_sparse_file(self.path("big"), size)
        result = self.harness.run("vorlune", ["big"], self.folder, timeout=600)
        self.assertEqual(result.stdout, self.harness.expected("vorlune", "created", "big.xyz"))
        os.remove(self.path("big"))
        self.assert_masked_sparse("big.xyz", size, markers)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quistel", required=True)
    parser.add_argument("--vorlune", required=True)
    parser.add_argument("--exec-prefix", default="")
    parser.add_argument("--encoding", default="utf-8")
    parser.add_argument("--newline", choices=["lf", "crlf"], default="lf")
    parser.add_argument("--hold-open", help="Windows helper that holds a file open for writing")
    parser.add_argument("--native-vorlune", help="the native vorlune, to read the .exe's files")
    parser.add_argument("--large", action="store_true", help="run only the case past 4 GiB")
    parser.add_argument("--large-folder", default=None, help="a folder on disk for the large case")
    args, rest = parser.parse_known_args()
    harness = Harness(args)
    Folder.harness, Large.parent = harness, args.large_folder
    if args.large:
        suites = [Large]
    else:
        suites = [BlackBox, WindowsOnly] if harness.windows else [BlackBox, PosixOnly]
    loader = unittest.TestLoader()
    suite = unittest.TestSuite(loader.loadTestsFromTestCase(s) for s in suites)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()

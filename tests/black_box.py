#!/usr/bin/env python3
"""The built programs, one table. Each row lays out files in a scratch folder, runs one program there under
a set-up or fault, and checks its standard output, an empty standard error, its exit status and every file
left behind: those laid out, unchanged, plus the row's added or changed ones, and nothing else.

    black_box.py --quistel Q --vorlune V [--scratch DIR] [--large] [--only TEXT] [--wine WINE --hold-open EXE]

--wine runs the .exe files under Wine, which shows texts in code page 936 with CRLF line ends, and leaves out
the rows marked "native"; natively those marked "windows" are left out. --large runs only the rows marked
"large" (past 4 GiB, on disk), which are otherwise left out.
"""
import argparse, collections, fcntl, fnmatch, os, resource, shutil, signal, stat, subprocess, sys, tempfile, time

Q, V = "quistel", "vorlune"
PAUSE = "\n按回车键退出程序..."
TEXTS = {
    Q: {"usage": "请将文件拖拽到这个 EXE 上运行！\n提示: 拖入 .png 会生成 .xyz; 拖入 .xyz 会还原 .png\n",
        "open_failed": "错误: 无法打开文件。请确认文件存在且未被占用。\n",
        "created": "转换成功！已生成: {}\n" + PAUSE, "write_failed": "写入失败: {}\n" + PAUSE},
    V: {"usage": "【Vorlune】\n请将 .mp4 / .txt / .xyz 文件拖拽到这里！\n提示: 拖入 .xyz 文件可以一键还原！\n",
        "open_failed": "错误: 无法读取文件，请检查路径或确认文件未被占用。\n",
        "created": "处理成功！已生成: {}\n" + PAUSE, "write_failed": "写入失败，请检查权限或空间。\n" + PAUSE},
}
# A pattern and its disguise, byte for byte; repeated past two 1 MiB pieces, with a ragged end.
PATTERN, DISGUISED = b"0123456789abcdefg\x00\x80\xff", b"[ZYX_^]\\SR\n\t\x08\x0f\x0e\r\x0ck\xeb\x94"
SAMPLE, SAMPLE_X = PATTERN * 125_000 + PATTERN[:7], DISGUISED * 125_000 + DISGUISED[:7]
ABC, ABC_X, OLD = b"abc", b"\n\t\x08", b"an old output, longer than the new one"
GiB = 2**30
DIR, FIFO, ANY = "<folder>", "<fifo>", "<anything>"


class Link(str):
    """A symbolic link to this target."""


class Sparse:
    """A sparse file with a few bytes set around 2 and 4 GiB and at its end; disguised: its masked form."""

    def __init__(self, size, disguised=False):
        self.size, self.disguised = size, disguised
        offsets = (0, 2**31, 2**32 - 2, 2**32 - 1, 2**32, 2**32 + 1, size - 1)
        self.marks = {offset: PATTERN[i:i + 1] for i, offset in enumerate(offsets) if offset < size}

    def write(self, path):
        with open(path, "wb") as f:
            f.truncate(self.size)
            for offset, byte in self.marks.items():
                f.seek(offset)
                f.write(byte)

    def difference(self, path):
        if os.path.getsize(path) != self.size:
            return f"{os.path.getsize(path)} bytes, expected {self.size}"
        with open(path, "rb") as f:
            for offset in sorted({*self.marks, 1, 12345, 2**32 - 3, self.size - 2}):
                byte = self.marks.get(offset, b"\0")
                want = byte.translate(bytes.maketrans(PATTERN, DISGUISED)) if self.disguised else byte
                f.seek(offset)
                if f.read(1) != want:
                    return f"byte {offset} is not {want!r}"


Row = collections.namedtuple("Row", "name tool before args setup outcome added marks", defaults=("",))
BIG, FAR = Sparse(6 * GiB), 2**32 + 1000
# outcome: the text shown ("usage", "open_failed", "created NAME", "write_failed NAME") or the signal that ended
# the run. setup: "enter" (standard input held open: the run must wait, then end at one line), "mid-run SIG"
# (SIG once the temporary file is written to), "strace CALL SIG NAME" (CALL held 0.4 s; SIG when NAME shows),
# "fsize N" (file size limit), "umask OCTAL", "lock FUNCTION TYPE" (on the input, by this process), "hold"
# (input open for writing in a Windows process), "race ARGUMENT" (a second run at once, 8 times), "peak KIB".
ROWS = [
    Row("usage_image", Q, {}, [], "", "usage", {}),
    Row("usage_vault_waits", V, {}, [], "enter", "usage", {}),
    Row("disguise_picture", Q, {"cat.png": SAMPLE}, ["cat.png"], "", "created cat.png.xyz", {"cat.png.xyz": SAMPLE_X}),
    Row("restore_picture_as_png", Q, {"cat.xyz": SAMPLE_X}, ["cat.xyz"], "", "created cat.png", {"cat.png": SAMPLE}),
    Row("restore_video_waits", V, {"clip.mp4.xyz": SAMPLE_X}, ["clip.mp4.xyz"], "enter", "created clip.mp4",
        {"clip.mp4": SAMPLE}),
    Row("upper_case_suffix", V, {"a.XYZ": ABC}, ["a.XYZ"], "", "created a.XYZ.xyz", {"a.XYZ.xyz": ABC_X}),
    Row("replaces_longer_output", V, {"n.txt": ABC, "n.txt.xyz": OLD}, ["n.txt"], "", "created n.txt.xyz",
        {"n.txt.xyz": ABC_X}),
    Row("empty_file", V, {"e": b""}, ["e"], "", "created e.xyz", {"e.xyz": b""}),
    Row("subfolder", Q, {"sub": DIR, "sub/p.png": ABC}, ["sub/p.png"], "", "created sub/p.png.xyz",
        {"sub/p.png.xyz": ABC_X}),
    Row("only_first_argument", V, {"a": b"0", "b": b"1"}, ["a", "b"], "", "created a.xyz", {"a.xyz": b"["}),
    Row("missing_input", Q, {}, ["nope.png"], "", "open_failed", {}),
    Row("missing_input_waits", V, {}, ["nope"], "enter", "open_failed", {}),
    Row("folder_input", V, {"d": DIR}, ["d"], "", "open_failed", {}),
    Row("output_is_folder", Q, {"c.png": ABC, "c.png.xyz": DIR}, ["c.png"], "", "write_failed c.png.xyz", {}),
    Row("bare_suffix_vault", V, {".xyz": ABC}, [".xyz"], "", "write_failed", {}),
    Row("bare_suffix_image", Q, {".xyz": ABC}, [".xyz"], "", "created .png", {".png": ABC_X}),
    Row("read_only_output_kept", V, {"r": ABC, "r.xyz": (OLD, 0o444)}, ["r"], "", "write_failed", {}),
    Row("link_at_output_replaced", V, {"in": ABC, "in.xyz": Link("in")}, ["in"], "", "created in.xyz",
        {"in.xyz": ABC_X}, "native"),
    Row("longest_name", V, {"n" * 251: ABC}, ["n" * 251], "", "created " + "n" * 251 + ".xyz",
        {"n" * 251 + ".xyz": ABC_X}),
    Row("longest_name_restored", V, {"r" * 251 + ".xyz": ABC}, ["r" * 251 + ".xyz"], "", "created " + "r" * 251,
        {"r" * 251: ABC_X}),
    Row("name_past_limit", V, {"t" * 252: ABC}, ["t" * 252], "", "write_failed", {}),
    Row("name_past_limit_image", Q, {"q" * 252: ABC}, ["q" * 252], "", "write_failed " + "q" * 252 + ".xyz", {}),
    Row("restores_to_dot", V, {"..xyz": ABC}, ["..xyz"], "", "write_failed", {}),
    Row("restores_to_dot_dot", V, {"...xyz": ABC}, ["...xyz"], "", "write_failed", {}),
    Row("dot_restored_as_png", Q, {"..xyz": ABC}, ["..xyz"], "", "created ..png", {"..png": ABC_X}),
    Row("dot_dot_input", V, {}, [".."], "", "open_failed", {}),
    Row("blank_name", V, {" ": ABC}, [" "], "", "created  .xyz", {" .xyz": ABC_X}, "native"),
    Row("option_like_name", V, {"--help": ABC}, ["--help"], "", "created --help.xyz", {"--help.xyz": ABC_X}),
    Row("path_through_parent", V, {"sub": DIR, "up": ABC}, ["sub/../up"], "", "created sub/../up.xyz",
        {"up.xyz": ABC_X}),
    Row("chinese_name", V, {"电影 片段.mp4.xyz": ABC}, ["电影 片段.mp4.xyz"], "", "created 电影 片段.mp4",
        {"电影 片段.mp4": ABC_X}),
    Row("chinese_name_image", Q, {"图片 测试.png": ABC}, ["图片 测试.png"], "", "created 图片 测试.png.xyz",
        {"图片 测试.png.xyz": ABC_X}),
    # Under Wine what code page 936 lacks shows as one "?" a character.
    Row("name_outside_936", Q, {"smile😀é.txt": ABC}, ["smile😀é.txt"], "", "created smile😀é.txt.xyz",
        {"smile😀é.txt.xyz": ABC_X}),
    Row("korean_name", Q, {"한글.png": ABC}, ["한글.png"], "", "created 한글.png.xyz", {"한글.png.xyz": ABC_X}),
    Row("line_break_in_name", Q, {"𝄞\n乐谱.xyz": ABC}, ["𝄞\n乐谱.xyz"], "", "created 𝄞\n乐谱.png",
        {"𝄞\n乐谱.png": ABC_X}, "native"),
    Row("name_not_utf8", Q, {"latin1 \udce9": ABC}, ["latin1 \udce9"], "", "created latin1 \udce9.xyz",
        {"latin1 \udce9.xyz": ABC_X}, "native"),
    Row("fifo_refused", V, {"pipe": FIFO}, ["pipe"], "", "open_failed", {}, "native"),
    Row("device_refused", V, {}, ["/dev/zero"], "", "open_failed", {}, "native"),
    Row("writer_flock_refused", V, {"held": ABC}, ["held"], "lock flock EX", "open_failed", {}, "native"),
    Row("writer_lockf_refused", V, {"held": ABC}, ["held"], "lock lockf EX", "open_failed", {}, "native"),
    Row("reader_lock_allowed", V, {"held": ABC}, ["held"], "lock flock SH", "created held.xyz", {"held.xyz": ABC_X},
        "native"),
    Row("held_open_for_writing", V, {"held.mp4": ABC}, ["held.mp4"], "hold", "open_failed", {}, "windows"),
    Row("new_output_follows_umask", V, {"in": ABC}, ["in"], "umask 027", "created in.xyz", {"in.xyz": (ABC_X, 0o640)},
        "native"),
    Row("disk_full_mid_file", V, {"in": SAMPLE}, ["in"], "fsize 100000", "write_failed", {}, "native"),
    Row("disk_full_over_old", V, {"in": SAMPLE, "in.xyz": OLD}, ["in"], "fsize 100000", "write_failed", {}, "native"),
    Row("disk_full_first_write", Q, {"p.png": SAMPLE, "p.png.xyz": OLD}, ["p.png"], "fsize 0",
        "write_failed p.png.xyz", {}, "native"),
    Row("disk_full_last_byte", V, {"c.xyz": SAMPLE_X, "c": OLD}, ["c.xyz"], f"fsize {len(SAMPLE) - 1}",
        "write_failed", {}, "native"),
    Row("disk_exact_fit", V, {"c.xyz": SAMPLE_X, "c": OLD}, ["c.xyz"], f"fsize {len(SAMPLE)}", "created c",
        {"c": SAMPLE}, "native"),
    Row("sigint_mid_run", V, {"big": BIG}, ["big"], "mid-run SIGINT", "SIGINT", {}, "native"),
    Row("sigterm_mid_run", V, {"big": BIG}, ["big"], "mid-run SIGTERM", "SIGTERM", {}, "native"),
    Row("sighup_mid_run", V, {"big": BIG}, ["big"], "mid-run SIGHUP", "SIGHUP", {}, "native"),
    # A kill leaves a stray that names its target; the output name keeps what it held.
    Row("kill_mid_run", V, {"big": BIG}, ["big"], "mid-run SIGKILL", "SIGKILL", {".big.xyz~*.part": ANY}, "native"),
    Row("kill_over_old", V, {"big": BIG, "big.xyz": OLD}, ["big"], "mid-run SIGKILL", "SIGKILL",
        {".big.xyz~*.part": ANY}, "native"),
    # The signal lands in the step between creating or renaming the temporary file and noting that it did.
    Row("sigint_at_create", V, {"in": ABC}, ["in"], "strace openat SIGINT .in.xyz~*", "SIGINT", {}, "native"),
    Row("sigterm_at_create", V, {"in": ABC}, ["in"], "strace openat SIGTERM .in.xyz~*", "SIGTERM", {}, "native"),
    Row("sigint_at_rename", V, {"in": ABC}, ["in"], "strace rename SIGINT in.xyz", "SIGINT", {"in.xyz": ABC_X},
        "native"),
    Row("sigterm_at_rename", V, {"in": ABC}, ["in"], "strace rename SIGTERM in.xyz", "SIGTERM", {"in.xyz": ABC_X},
        "native"),
    Row("racing_disguises", V, {"a": SAMPLE}, ["a"], "race a", "created a.xyz", {"a.xyz": SAMPLE_X}, "native"),
    Row("racing_disguise_and_restore", V, {"a": SAMPLE, "a.xyz": SAMPLE_X}, ["a"], "race a.xyz", "created a.xyz",
        {}, "native"),
    Row("past_4_gib", V, {"big": Sparse(FAR)}, ["big"], "", "created big.xyz", {"big.xyz": Sparse(FAR, True)},
        "large"),
    Row("just_under_4_gib_in_flat_memory", Q, {"big": Sparse(2**32 - 1)}, ["big"], "peak 16384", "created big.xyz",
        {"big.xyz": Sparse(2**32 - 1, True)}, "native large"),
]


class Failure(Exception):
    pass


def require(holds, why):
    if not holds:
        raise Failure(why)


def wait_for(predicate, what, timeout=30):
    deadline = time.monotonic() + timeout
    while not predicate():
        require(time.monotonic() < deadline, f"{what}: not within {timeout} s")
        time.sleep(0.005)


def lay_out(folder, files):
    for name, value in files.items():
        path = os.path.join(folder, name)
        if value == DIR:
            os.mkdir(path)
        elif value == FIFO:
            os.mkfifo(path)
        elif isinstance(value, Link):
            os.symlink(value, path)
        elif isinstance(value, Sparse):
            value.write(path)
        else:
            content, mode = value if isinstance(value, tuple) else (value, None)
            with open(path, "wb") as f:
                f.write(content)
            if mode is not None:
                os.chmod(path, mode)


def difference(path, want):
    """Why the file at path is not what want describes; None when it is."""
    status = os.lstat(path)
    if isinstance(want, Link):
        return None if stat.S_ISLNK(status.st_mode) and os.readlink(path) == want else f"not a link to {want}"
    if want in (DIR, FIFO, ANY):
        return None if {DIR: stat.S_ISDIR, FIFO: stat.S_ISFIFO, ANY: bool}[want](status.st_mode) else f"not {want}"
    if isinstance(want, Sparse):
        return want.difference(path)
    if isinstance(want, tuple):
        want, mode = want
        if stat.S_IMODE(status.st_mode) != mode:
            return f"mode {stat.S_IMODE(status.st_mode):o}, expected {mode:o}"
    if not stat.S_ISREG(status.st_mode):
        return "not a plain file"
    with open(path, "rb") as f:
        got = f.read()
    if got != want:
        at = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
        return f"{len(got)} bytes, expected {len(want)}; they differ from offset {at}"


def folder_problems(folder, expected):
    found = {}
    for parent, folders, files in os.walk(folder):
        for name in folders + files:
            found[os.path.relpath(os.path.join(parent, name), folder)] = os.path.join(parent, name)
    problems = []
    for name in sorted(expected, key=lambda name: "*" in name):  # exact names before patterns
        matches = fnmatch.filter(found, name) if "*" in name else [name] * (name in found)
        why = difference(found.pop(matches[0]), expected[name]) if len(matches) == 1 else f"{len(matches)} found"
        problems += [f"{name[:40]}: {why}"] if why else []
    return problems + [f"{name[:40]}: left behind" for name in found]


class Runner:
    def __init__(self, args):
        self.programs = {Q: os.path.abspath(args.quistel), V: os.path.abspath(args.vorlune)}
        self.prefix, self.hold_open = [args.wine] if args.wine else [], os.path.abspath(args.hold_open or "-")
        self.encoding, self.newline = ("gbk", "\r\n") if args.wine else ("utf-8", "\n")

    def expected(self, tool, outcome):
        if outcome.startswith("SIG"):
            return -signal.Signals[outcome], b""
        key, _, shown = outcome.partition(" ")
        text = TEXTS[tool][key].format(shown).replace("\n", self.newline)
        return int(key == "open_failed"), text.encode(self.encoding, "replace" if self.prefix else "surrogateescape")

    def run(self, row, folder):
        lay_out(folder, row.before)
        kind, *how = row.setup.split() or [""]
        command = self.prefix + [self.programs[row.tool]] + row.args
        if kind == "strace":
            command = ["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + how[0],
                       "-e", f"inject={how[0]}:delay_exit=400000"] + command
        if kind == "peak":
            command = ["/usr/bin/time", "-f", "%M", "-o", folder + ".peak"] + command

        def preexec():
            for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):  # as a terminal starts it
                signal.signal(number, signal.SIG_DFL)
            if kind == "umask":
                os.umask(int(how[0], 8))
            if kind == "fsize":  # writes past the limit fail with EFBIG
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (int(how[0]),) * 2)

        def start(command):
            return subprocess.Popen(command, cwd=folder, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, preexec_fn=preexec)
        holder = None
        if kind == "lock":
            holder = open(os.path.join(folder, row.args[0]), "r+b")
            getattr(fcntl, how[0])(holder, getattr(fcntl, "LOCK_" + how[1]))
        if kind == "hold":
            holder = subprocess.Popen(self.prefix + [self.hold_open, row.args[0]], cwd=folder,
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE)
            require(holder.stdout.readline().strip() == b"held", "the holder could not open the input")
        try:
            for _ in range(8 if kind == "race" else 1):
                self.run_once(row, folder, kind, how, start(command),
                              start(self.prefix + [self.programs[row.tool], how[0]]) if kind == "race" else None)
        finally:
            if holder and kind == "hold":
                holder.communicate(b"\n", timeout=30)
            elif holder:
                holder.close()

    def run_once(self, row, folder, kind, how, process, other):
        timeout = 900 if "large" in row.marks else 60
        if kind == "enter":
            time.sleep(1.5)
            require(process.poll() is None, "did not wait for Enter")
            process.stdin.write(b"\n")
            process.stdin.flush()  # left open: a second wait would hang
            try:
                process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                process.kill()
                raise Failure("still waiting after one Enter")
        if kind in ("mid-run", "strace"):
            number, pattern = (how[0], "*.part") if kind == "mid-run" else how[1:]
            wait_for(lambda: fnmatch.filter(os.listdir(folder), pattern), f"no {pattern}")
            target = process.pid
            if kind == "mid-run":
                time.sleep(0.3)  # well into the file
                require(process.poll() is None, "finished before the signal")
            else:
                with open(f"/proc/{target}/task/{target}/children") as f:
                    target = int(f.read().split()[0])
            os.kill(target, signal.Signals[number])
        try:
            out, err = process.communicate(b"", timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            raise Failure(f"still running after {timeout} s")
        if other:
            require(other.communicate(b"", timeout=timeout)[1] == b"" and other.returncode == 0, "the other run failed")
        status, text = self.expected(row.tool, row.outcome)
        require(err == b"", f"standard error {err[:300]!r}")
        require(out == text, f"shown {out[:400]!r}, expected {text[:400]!r}")
        require(process.returncode == status, f"status {process.returncode}, expected {status}")
        if kind == "peak":
            with open(folder + ".peak") as f:
                peak = int(f.read().split()[-1])
            require(peak <= int(how[0]), f"peak memory {peak} KiB, more than {how[0]}")
        problems = folder_problems(folder, {**row.before, **row.added})
        require(not problems, "; ".join(problems))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quistel", required=True)
    parser.add_argument("--vorlune", required=True)
    parser.add_argument("--scratch", default=tempfile.gettempdir(), help="a folder on disk, for the large files")
    parser.add_argument("--large", action="store_true")
    parser.add_argument("--only", default="", help="only the rows whose name holds this")
    parser.add_argument("--wine")
    parser.add_argument("--hold-open", help="the Windows helper that holds a file open for writing")
    args = parser.parse_args()
    runner, failed = Runner(args), 0
    require(all(map(os.path.isfile, runner.programs.values())), "a program is not built")  # Wine would run it
    left_out = "native" if args.wine else "windows"
    for row in ROWS:
        if ("large" in row.marks) != args.large or left_out in row.marks or args.only not in row.name:
            continue
        folder, started = tempfile.mkdtemp(prefix="scratch_", dir=args.scratch), time.monotonic()
        try:
            runner.run(row, folder)
            print(f"ok   {row.name} ({time.monotonic() - started:.1f} s)", flush=True)
        except Failure as failure:
            failed += 1
            print(f"FAIL {row.name}: {failure}", flush=True)
        finally:
            shutil.rmtree(folder)
            if os.path.exists(folder + ".peak"):
                os.remove(folder + ".peak")
    print(f"{failed} of the rows failed" if failed else "all rows passed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()

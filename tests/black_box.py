"""The built programs, one table run by pytest: each row lays out files in a scratch folder, runs a program there under
its set-ups (black_box_setups.py) and checks its output, status and the files left: those laid out, unchanged, and its
outcome's. Given by the environment: QUISTEL, VORLUNE, SHORT_WRITES (the native short-write library), SCRATCH, WINE and
WINEPREFIX to run .exe files under Wine (texts in code page 936, CRLF), HOLD_OPEN and WIN32_RULES.

A row: Row(name, files laid out, outcome, *set-ups, args=, tool=, root=, large=), or Native/Windows for one side;
the outcome Usage(), Created("NAME", files), OpenFailed(STEP, files), WriteFailed(STEP, ["NAME",] files) or
Killed("SIGNAL", files), with the files it leaves beyond those laid out."""
import collections, fnmatch, functools, os, pathlib, resource, signal, subprocess, tempfile, time
from subprocess import PIPE

import pytest

from black_box_setups import *  # noqa: F403 (the set-ups and files the rows name)

SCRATCH = os.path.realpath(os.environ.get("SCRATCH", "/tmp"))
PAUSE, DIAGNOSTICS = "\n按回车键退出程序...", "XYZ_DIAGNOSTICS"  # set, a failed run adds a line naming its step
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


# How a run ends: the report (TEXTS[tool][key], `shown` in it), the status or the signal that ended it, the files it
# leaves beyond those laid out (None: gone). A failure's `step` must begin the one line DIAGNOSTICS adds.
Outcome = collections.namedtuple("Outcome", "key shown files status signal step", defaults=(0, None, None))
Usage = lambda files={}: Outcome("usage", "", files)
Created = lambda shown, files={}: Outcome("created", shown, files if type(files) is dict else {shown: files})
OpenFailed = lambda step, files={}: Outcome("open_failed", "", files, 1, step=step)
WriteFailed = lambda step, shown="", files={}: Outcome("write_failed", shown, files, step=step)  # shown: Q's
# The steps a failure names, as the programs word them.
OPEN, READ, END, LOOK, CREATE = "open input", "read input", "check input end", "look at target", "create content"
RESERVE, WRITE, FLUSH, PLACE, NAME_FLUSH = (
    "reserve space",
    "write content",
    "flush content",
    "put in place",
    "flush name",
)
Killed = lambda signal, files={}: Outcome(None, "", files, None, signal)  # nothing shown
Case = collections.namedtuple("Case", "name before outcome setups args tool large")


# A case: the files laid out (name: content), the outcome, the set-ups; args: what the program is given, by default the
# first name laid out; side: the only one it runs on ("native", "windows"); root: as root only; large: past 4 GiB.
def Row(name, before, outcome, *setups, args=None, tool=V, side=None, root=False, large=False):
    args = list(before)[:1] if args is None else [args] if isinstance(args, str) else args
    root = root or any(setup.root for setup in setups)  # a set-up may need it
    marks = [getattr(pytest.mark, mark) for mark in [side] * bool(side) + ["root"] * root + ["large"] * large]
    marks += [pytest.mark.skipif(os.geteuid() != 0, reason="needs root")] * root
    marks += [pytest.mark.skip(reason="for the other side")] * (side == ("native" if WINE else "windows"))
    return pytest.param(Case(name, before, outcome, setups, args, tool, large), marks=marks, id=name)


Native, Windows = functools.partial(Row, side="native"), functools.partial(Row, side="windows")
# The input "in", with an old output; the output made of it; a file long enough to act on mid-run, and its disguise.
IN, IN_OLD, S_OLD, CREATED = {"in": A}, {"in": A, "in.xyz": OLD}, {"in": S, "in.xyz": OLD}, Created("in.xyz", AX)
MID, MIDX, KILLED = sparse(2**29), sparse(2**29, True), {"big": BIG, "big.xyz": OLD}
MOVED, IN_SUB = {"big": None, "moved": MID, "big.xyz": MIDX}, {"sub": DIR, "sub/big": MID}
FOLDER_MOVED = {"sub": None, "sub/big": None, "moved": DIR, "moved/big": MID, "moved/big.xyz": MIDX}
NEAR, NEARX = sparse(2**32 - 1), sparse(2**32 - 1, True)
# Leftovers of an earlier run for in.xyz, and names that only look like one; the output made, a leftover gone.
part = lambda tag: f".in.xyz~{tag}.part"
LEFTOVER, HELD, CLEARED = part("0badf00d"), part("1badf00d"), Created("in.xyz", {"in.xyz": AX, part("0badf00d"): None})
LEFTOVERS = {"in": A, LEFTOVER: OLD, LEFTOVER + "s": OLD}
LIVE_LEFTOVERS = {**IN, **{part(t): OLD for t in ("0badf00d", "1badf00d", "0BADF00D")}, part("2badf00d"): LINK("in")}
LIVE_LEFTOVERS[part("3badf00d")] = b""
PHOTO, PHOTO_PART = "照片照片照片照片照片.png", ".照片照片照片照片照片.p~0badf00d.part"  # the leftover's name cut short
PHOTOS = {PHOTO: A, PHOTO + ".xyz": OLD, PHOTO_PART: OLD, PHOTO_PART[:-1]: OLD}
PHOTO_MADE = {PHOTO + ".xyz": AX, PHOTO_PART: None}
DEEP_FOLDERS = {**{DEEP[: 61 * n - 1]: DIR for n in range(1, 6)}, "x": DIR, DEEP + "/f": A}
HOLIDAY, ZONE_STREAM = "Holiday video 2024.mp4", "dl.txt.xyz:Zone.Identifier"
DEEP_HOLIDAY = {**{DEEP[: 61 * n - 1]: DIR for n in range(1, 6)}, f"{DEEP}/{HOLIDAY}.xyz": AX}
SYSTEM32 = [("plain", "C:\\windows\\system32\\bbx.txt"), ("prefixed", "\\\\?\\C:\\windows\\system32\\bbx.txt")]
SYSTEM32 += [("other_case", "c:/WINDOWS/Temp/../SYSTEM32/bbx.txt")]
SHELL_CANNOT_OPEN = [("trailing_dot", "x..xyz"), ("trailing_space", "x .xyz"), ("device_name", "NUL.xyz")]
EMPTY_CLEARED = Created("in.xyz", {"in.xyz": AX, part("0badf00d"): None, part("3badf00d"): None})
ROWS = [
    Row("usage_image", {}, Usage(), tool=Q),
    Row("usage_vault_waits", {}, Usage(), PressEnter()),
    Row("disguise_picture", {"cat.png": S}, Created("cat.png.xyz", SX), tool=Q),
    Row("restore_picture_as_png", {"cat.xyz": SX}, Created("cat.png", S), tool=Q),
    Row("restore_video_waits", {"clip.mp4.xyz": SX}, Created("clip.mp4", S), PressEnter()),
    Row("replaces_longer_output", {"n.txt": A, "n.txt.xyz": OLD}, Created("n.txt.xyz", AX)),
    Row("empty_file", {"e": b""}, Created("e.xyz", b"")),
    Row("subfolder", {"sub": DIR, "sub/p.png": A}, Created("sub/p.png.xyz", AX), args="sub/p.png", tool=Q),
    Row("only_first_argument", {"a": b"0", "b": b"1"}, Created("a.xyz", b"["), args=["a", "b"]),
    Row("missing_input_waits", {}, OpenFailed(OPEN), PressEnter(), args="nope.png", tool=Q),
    Row("folder_input", {"d": DIR}, OpenFailed(OPEN)),
    Row("output_is_folder", {"c.png": A, "c.png.xyz": DIR}, WriteFailed(LOOK, "c.png.xyz"), tool=Q),
    Row("bare_suffix_vault", {".xyz": A}, WriteFailed(LOOK)),
    Row("restores_to_dot_dot", {"...xyz": A}, WriteFailed(LOOK)),
    # Refused before anything is written, not only by the rename (as Wine's would be).
    Row("read_only_output_kept", {"r": A, "r.xyz": read_only(OLD)}, WriteFailed(LOOK), NothingWritten()),
    Row("longest_name", {L: A}, Created(f"{L}.xyz", AX)),
    Row("name_past_limit", {L + "q": A}, WriteFailed(CREATE if WINE else PLACE, f"{L}q.xyz"), tool=Q),
    Row("chinese_name", {"电影 片段.mp4.xyz": A}, Created("电影 片段.mp4", AX)),
    # Under Wine what code page 936 lacks shows as one "?" a character.
    Row("name_outside_936", {"한글😀é.png": A}, Created("한글😀é.png.xyz", AX), tool=Q),
    Native("name_not_utf8", {"a \udce9": A}, Created("a \udce9.xyz", AX), tool=Q),
    Native("link_at_output_replaced", {"in": A, "in.xyz": LINK("in")}, CREATED),
    Native("link_to_read_only_replaced", {"in": A, "ro": read_only(OLD), "in.xyz": LINK("ro")}, CREATED),
    Native("link_to_others_replaced", {"in": A, "r": OLD, "in.xyz": LINK("r")}, CREATED, AsUser("nobody")),
    Native("name_with_controls", {"\r\x1b[K": A}, Created("\r\x1b[K.xyz", AX)),
    Native("fifo_refused", {"pipe": FIFO}, OpenFailed(OPEN)),
    Native("fifo_never_opened", {"pipe": FIFO}, OpenFailed(OPEN), Writer()),
    Native("open_for_writing_refused", IN, OpenFailed(OPEN), Writer()),
    Native("open_for_writing_at_the_end_refused", {"big": MID}, OpenFailed(END), LateWriter()),
    Native("output_open_for_writing_kept", IN_OLD, WriteFailed(LOOK), Writer("in.xyz")),
    Native("lock_cannot_be_asked", IN_OLD, CREATED, Inject("flock,fcntl", "ENOLCK")),
    Native("writer_flock_refused", IN, OpenFailed(OPEN), Lock("flock", "EX")),
    Native("writer_lockf_refused", IN, OpenFailed(OPEN), Lock("lockf", "EX")),
    Native("reader_lock_allowed", IN, CREATED, Lock("flock", "SH")),
    Windows("held_open_for_writing", IN, OpenFailed(OPEN), Hold()),
    Windows("held_for_a_moment", IN, CREATED, Hold(seconds=0.8)),
    Windows("output_held_past_the_retries", DOWNLOADED, WriteFailed(PLACE), Hold("dl.txt")),
    Windows("output_held_for_a_moment", DOWNLOADED, Created("dl.txt", AX), Hold("dl.txt", 0.8)),
    Windows("zone_held_for_a_moment", DOWNLOADED, Created("dl.txt", AX), Hold(ZONE_STREAM, 0.8, alone=True)),
    Windows("zone_held_past_the_retries", DOWNLOADED, OpenFailed(OPEN), Hold(ZONE_STREAM, alone=True)),
    Row("output_linked_to_input", {"in": A, "in.xyz": Kind(lambda path: os.link(path[:-4], path), None)}, CREATED),
    Windows("hidden_output_stays_hidden", {"h": A, "h.xyz": hidden(OLD)}, Created("h.xyz", hidden(AX))),
    # The file named is the file opened, under its own name; one named by its short alias is named after its long one.
    Row("trailing_dot_its_own_file", {"cat.png.": A, "cat.png": OLD}, Created("cat.png..xyz", AX), tool=Q),
    Row(
        "folder_trailing_dot_its_own",
        {"d.": DIR, "d": DIR, "d./f": A, "d/f": OLD},
        Created("d./f.xyz", AX),
        args="d./f",
    ),
    # A file, not the serial port; no output the Windows shell could not open or delete, nothing created.
    Windows("device_name_a_file", {"COM3.png": A}, WriteFailed(LOOK)),
    *[Windows(f"restore_to_{what}_refused", {name: A}, WriteFailed(LOOK)) for what, name in SHELL_CANNOT_OPEN],
    Native("restore_to_trailing_dot_on_linux", {"x..xyz": A}, Created("x.", AX)),
    Windows("alias_of_another_kept", {"PHOT~VSY.JPG.xyz": A, "Photo album cover.jpg": OLD}, WriteFailed(LOOK)),
    Windows("short_name_restored_as_long", {HOLIDAY + ".xyz": AX}, Created(HOLIDAY, A), args="HOLI~UFR.XYZ"),
    *[
        Windows(f"system32_{how}_as_named", {}, Created(path + ".xyz"), InSystem32("bbx.txt"), args=path)
        for how, path in SYSTEM32
    ],
    Windows(
        "short_name_past_max_path",
        DEEP_HOLIDAY,
        Created(f"{DEEP}/{HOLIDAY}", {f"{DEEP}/{HOLIDAY}": A}),
        args=DEEP + "/HOLI~UFR.XYZ",
    ),
    Windows(
        "leftovers_cleared_held_kept",
        {**LEFTOVERS, HELD: OLD, part("2badf00d"): DIR, part("3badf00d"): b""},
        EMPTY_CLEARED,
        Hold(HELD),
    ),
    Row("deep_folder", DEEP_FOLDERS, Created(f"x/../{DEEP}/f.xyz", {DEEP + "/f.xyz": AX}), args=f"x/../{DEEP}/f"),
    Native("output_under_flock_kept", IN_OLD, WriteFailed(LOOK), Lock("flock", "EX", "in.xyz")),
    Native("output_under_lockf_kept", IN_OLD, WriteFailed(LOOK), Lock("lockf", "EX", "in.xyz")),
    Native("output_reader_lock_allowed", IN_OLD, CREATED, Lock("lockf", "SH", "in.xyz")),
    Native("output_locked_after_the_start_kept", {"big": MID, "big.xyz": OLD}, WriteFailed(LOOK), LateLock("big.xyz")),
    Native("output_keeps_its_acl", {"a": A, "a.xyz": acl(OLD)}, Created("a.xyz", acl(AX))),
    Native("output_takes_no_default_acl", {"a": A, "a.xyz": no_acl(OLD)}, Created("a.xyz", no_acl(AX)), DefaultAcl()),
    Native(
        "output_keeps_its_mode", {"s": A, "s.xyz": owned(OLD, 0o640)}, Created("s.xyz", owned(AX, 0o640)), Umask(0o077)
    ),
    Native("users_output_keeps_its_owner", {"u": A, "u.xyz": nobodys(OLD)}, Created("u.xyz", nobodys(AX)), root=True),
    Native(
        "others_output_kept", {"o": owned(A, 0o644), "o.xyz": owned(OLD, 0o644)}, WriteFailed(LOOK), AsUser("nobody")
    ),
    Native("no_room_before_the_first_write", S_OLD, WriteFailed(RESERVE), OnTmpfs("3m"), NothingWritten()),
    Native("no_room_on_disk_before_the_first_write", S_OLD, WriteFailed(RESERVE), OnExt4("4m"), NothingWritten()),
    Native("new_output_follows_umask", IN, Created("in.xyz", read_only(AX)), Umask(0o333)),
    Native("disk_full_first_write", S_OLD, WriteFailed(RESERVE, "in.xyz"), SizeLimit(0), NothingWritten(), tool=Q),
    Native(
        "disk_full_last_byte", {"c.xyz": SX, "c": OLD}, WriteFailed(RESERVE), SizeLimit(len(S) - 1), NothingWritten()
    ),
    Native("disk_exact_fit", {"c.xyz": SX, "c": OLD}, Created("c", S), SizeLimit(len(S))),
    Native("short_writes_finished", {"in": S}, Created("in.xyz", SX), ShortWrites()),
    Native("limit_lowered_mid_run_named", {"big": BIG}, WriteFailed(WRITE), LimitLowered(0.05), NamedTemporary()),
    Native("input_moved_mid_run", {"big": MID}, Created("big.xyz", MOVED), InputMoved()),
    Row("input_grew_mid_run", {"big": MID}, OpenFailed(END, {"big": ANY}), InputChanged()),
    Native("input_rewritten_mid_run", {"big": MID}, OpenFailed(END, {"big": ANY}), InputChanged(rewritten=True)),
    Native("reader_gone", IN, CREATED, NoReader()),
    Native("sigint_mid_run", {"big": BIG}, Killed("SIGINT"), Signal("SIGINT", 0.05)),
    *[
        Native(f"{name.lower()}_mid_run_named", {"big": BIG}, Killed(name), Signal(name, 0.05), NamedTemporary())
        for name in ("SIGTERM", "SIGHUP", "SIGQUIT", "SIGXCPU", "SIGUSR1", "SIGRTMIN")
    ],
    Native("folder_moved_mid_run", IN_SUB, Created("sub/big.xyz", FOLDER_MOVED), FolderMoved(0.05), args="sub/big"),
    # Only leftovers of this output that no live run holds go: no link, no empty or other user's file, no other name.
    Native("leftovers_cleared_live_kept", LIVE_LEFTOVERS, CLEARED, Lock("flock", "EX", HELD), NamedTemporary()),
    Native("leftover_suffix_exact", {**LEFTOVERS, LEFTOVER + "~": OLD}, CLEARED, NamedTemporary()),
    Native(
        "leftover_kept_where_no_lock_can_be_asked",
        {"in": A, LEFTOVER: OLD},
        CREATED,
        NamedTemporary(),
        Inject("flock,fcntl", "ENOLCK", on=LEFTOVER),
    ),
    Native("others_leftover_kept", {"in": A, LEFTOVER: nobodys(OLD, 0o644)}, CREATED, NamedTemporary(), root=True),
    Native("exfat_long_chinese_name", PHOTOS, Created(PHOTO + ".xyz", PHOTO_MADE), OnExfat(16), tool=Q),
    # A kill leaves nothing, at any point; the output name keeps what it held.
    Row("kill_at_the_start", {"big": BIG}, Killed("SIGKILL"), Signal("SIGKILL", 0)),
    Row("kill_mid_run", KILLED, Killed("SIGKILL"), Signal("SIGKILL", 0.5)),
    Native("kill_near_the_end", KILLED, Killed("SIGKILL"), Signal("SIGKILL", 0.9)),
    # The signal lands between naming or moving the complete output and noting that it did: it still ends in place.
    Native("sigint_at_link", IN, Killed("SIGINT", {"in.xyz": AX}), SignalAt("linkat", "SIGINT", "in.xyz")),
    Native(
        "sigterm_at_rename",
        IN_OLD,
        Killed("SIGTERM", {"in.xyz": AX}),
        SignalAt("linkat,renameat", "SIGTERM", ".in.xyz~*"),
    ),
    # Success only once on the disk; a failed flush is the write failure, before the name (nothing changed) or after it.
    Row("replace_flushed_before_rename", IN_OLD, WriteFailed(FLUSH), Inject("fdatasync,fsync", "EIO")),
    Row("new_output_flushed_before_named", IN, WriteFailed(FLUSH), Inject("fdatasync,fsync", "EIO")),
    Row("durable_before_report", IN, CREATED, DurableOrder()),
    Native("no_flush_offered_goes_on", IN_OLD, CREATED, Inject("fdatasync,fsync", "EINVAL")),  # nothing to wait for
    Row("new_name_not_made_durable", IN, WriteFailed(NAME_FLUSH, files={"in.xyz": AX}), NameFlushFails()),
    Row("replacing_name_not_made_durable", IN_OLD, WriteFailed(NAME_FLUSH, files={"in.xyz": AX}), NameFlushFails()),
    Native(
        "unreadable_folder_flushed_another_way",
        {"d": WX_DIR, "d/in": A},
        WriteFailed(NAME_FLUSH, files={"d/in.xyz": AX}),
        AsUser("nobody"),
        NameFlushFails(),
        args="d/in",
    ),
    Native("name_taken_meanwhile_replaced", IN, CREATED, Inject("linkat", "EEXIST", on="in.xyz")),
    Row("leftover_cleared_without_a_temporary_name", {"in": A, LEFTOVER: OLD}, CLEARED),
    Native("racing_disguises", {"a": S}, Created("a.xyz", SX), Race("a")),
    Native("racing_disguise_and_restore", {"a": S, "a.xyz": SX}, Created("a.xyz", {}), Race("a.xyz")),
    Row("past_4_gib", {"big": sparse(FAR)}, Created("big.xyz", sparse(FAR, True)), large=True),
    Native("under_4_gib_flat", {"b": NEAR}, Created("b.xyz", NEARX), PeakMemory(16384), tool=Q, large=True),
]


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
        self.setups, self.umask = row.setups, -1
        self.env = dict(os.environ, **{DIAGNOSTICS: "1"} if row.outcome.step else {})

    path = lambda self, name=None: os.path.join(self.folder, name or self.row.args[0])
    hold = lambda self, file: self.held.append(file) or file  # open until the row ends

    def start(self, *command):
        how = dict(cwd=self.folder, umask=self.umask, env=self.env, preexec_fn=as_a_terminal_starts_it, bufsize=0)
        self.started.append(subprocess.Popen(command, stdin=PIPE, stdout=PIPE, stderr=PIPE, **how))
        return self.started[-1]

    hooks = lambda self, name, *arguments: [getattr(setup, name)(self, *arguments) for setup in self.setups]

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
            out, err = process.communicate(b"", timeout=900 if self.row.large else 60)
            self.compare_shown(out, err, process.returncode)
            self.hooks("check")
            self.compare_files()

    def compare_shown(self, out, err, returncode):
        key, shown, _, status, signalled, step = self.row.outcome
        status = (None if WINE else -signal.Signals[signalled]) if signalled else status  # Wine's launcher cannot tell
        text = "" if signalled or any(s.hides_output for s in self.setups) else TEXTS[self.row.tool][key].format(shown)
        text = text.replace("\n", "\r\n").encode("gbk", "replace") if WINE else os.fsencode(text)
        if step:  # the one line that names it taken out, the rest must be the report
            named = [line for line in out.splitlines(True) if line.startswith(step.encode() + b": ")]
            assert len(named) == 1, f"{len(named)} lines name the step {step}: {out[:300]!r}"
            out = out.replace(named[0], b"", 1)
        wrong = f"shown {out[:300]!r} {err[:300]!r}, status {returncode}; expected {text[:300]!r}, status {status}"
        assert (err, out) == (b"", text) and status in (None, returncode), wrong

    def compare_files(self):
        settled = time.monotonic() + (5 if self.row.outcome.signal else 0)  # a killed one's files go later
        expected = {n: w for n, w in {**self.row.before, **self.row.outcome.files}.items() if w is not None}
        while (problems := check_folder(self.folder, expected)) and time.monotonic() < settled:
            time.sleep(0.1)
        assert not problems, problems

    def end(self):
        [(process.kill(), process.wait()) for process in self.started]
        [file.close() for file in self.held]
        self.hooks("undo")
        [pathlib.Path(self.folder + end).unlink(missing_ok=True) for end in (".peak", ".trace", ".img", ".count")]


def as_a_terminal_starts_it():
    [signal.signal(number, signal.SIG_DFL) for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGXFSZ)]
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # no core file left by SIGQUIT and its kind


@pytest.fixture(scope="module", autouse=True)
def programs():  # under Wine, one server; its first program starts services, which must not inherit a row's pipes
    assert os.path.isfile(QUISTEL) and os.path.isfile(VORLUNE), "a program is not built"  # Wine would run it
    if WINE:
        if subprocess.run([*WINE, "--version"], capture_output=True).returncode:  # no IA-32 execution, say
            pytest.skip(f"this machine cannot run {WINE[0]}")
        os.environ.update(WINEDEBUG="-all", LANG="C.UTF-8", LC_ALL="C.UTF-8", WINEDLLOVERRIDES="mscoree,mshtml=")
        boot = [[*WINE, "wineboot", "-i"], ["wineserver", "-w"]] * (
            not os.path.exists(os.environ["WINEPREFIX"] + "/system.reg")
        )
        for command in boot + [["wineserver", "-p"], [*WINE, "cmd.exe", "/c", "exit"]]:
            subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    yield
    if WINE:
        subprocess.run(["wineserver", "-k"])


@pytest.mark.parametrize("row", ROWS)
def test_row(row):
    with tempfile.TemporaryDirectory(prefix="scratch_", dir=SCRATCH) as folder:
        run = Run(row, folder)
        try:
            run.go()
        except AssertionError as failure:
            raise AssertionError(f"{', '.join(map(repr, run.setups)) or 'no set-up'}: {failure}"[:2000]) from None
        finally:
            run.end()


@pytest.mark.skipif(not WIN32_RULES, reason="only under Wine")
def test_win32_rules():
    rules = subprocess.run([*WINE, WIN32_RULES], capture_output=True, stdin=subprocess.DEVNULL)
    assert rules.returncode == 0, rules.stdout.decode(errors="replace")

#!/usr/bin/env python3
"""The built programs, one table: each row lays out files in a scratch folder, runs a program there under a set-up or
fault, and checks its output, status and the files left (those laid out, unchanged, plus the row's added or changed
ones). Natively the rows marked "windows" are left out; --wine runs the .exe files under Wine, in a prefix of the tests'
own (texts in code page 936, CRLF), without the rows marked "native". --large: only the rows marked "large"."""
import argparse, collections, grp, pwd, fcntl, fnmatch, glob, os, pathlib, resource, signal, stat, subprocess, sys, tempfile, time

Q, V, PAUSE = "quistel", "vorlune", "\n按回车键退出程序..."
TEXTS = {Q: {"usage": "请将文件拖拽到这个 EXE 上运行！\n提示: 拖入 .png 会生成 .xyz; 拖入 .xyz 会还原 .png\n",
             "open_failed": "错误: 无法打开文件。请确认文件存在且未被占用。\n", "created": "转换成功！已生成: {}\n" + PAUSE,
             "write_failed": "写入失败: {}\n" + PAUSE},
         V: {"usage": "【Vorlune】\n请将 .mp4 / .txt / .xyz 文件拖拽到这里！\n提示: 拖入 .xyz 文件可以一键还原！\n",
             "open_failed": "错误: 无法读取文件，请检查路径或确认文件未被占用。\n", "created": "处理成功！已生成: {}\n" + PAUSE,
             "write_failed": "写入失败，请检查权限或空间。\n" + PAUSE}}
# The disguise of each byte value, 0x00 to 0xff, written out (package_install_test.py checks with masked() too).
DISGUISE = bytes.fromhex(
    "6b6a69686f6e6d6c63626160676665647b7a79787f7e7d7c73727170777675744b4a49484f4e4d4c43424140474645445b5a59585f5e5d5c5352515057565554"
    "2b2a29282f2e2d2c23222120272625243b3a39383f3e3d3c33323130373635340b0a09080f0e0d0c03020100070605041b1a19181f1e1d1c1312111017161514"
    "ebeae9e8efeeedece3e2e1e0e7e6e5e4fbfaf9f8fffefdfcf3f2f1f0f7f6f5f4cbcac9c8cfcecdccc3c2c1c0c7c6c5c4dbdad9d8dfdedddcd3d2d1d0d7d6d5d4"
    "abaaa9a8afaeadaca3a2a1a0a7a6a5a4bbbab9b8bfbebdbcb3b2b1b0b7b6b5b48b8a89888f8e8d8c83828180878685849b9a99989f9e9d9c9392919097969594")


def masked(data):
    return data.translate(DISGUISE)


A, AX, OLD = b"abc", b"\n\t\x08", b"an old output, longer than the new one"
S = (bytes(range(256)) + b"!") * 9728 + b"ragged"  # every byte value, past two 1 MiB pieces, in no step of 16
SX = masked(S)
# A file other than plain bytes: laid out by write(path); test(path) tells what is wrong with it, if anything.
Kind = collections.namedtuple("Kind", "write test")
DIR, ANY = Kind(os.mkdir, lambda path: not os.path.isdir(path) and "not a folder"), Kind(None, lambda path: None)
FIFO = Kind(os.mkfifo, lambda path: not stat.S_ISFIFO(os.stat(path).st_mode) and "not a FIFO")
LINK = lambda target: Kind(lambda path: os.symlink(target, path), lambda path: not os.path.islink(path) and "not a link")
# An access ACL (owner rw, user nobody rw, group r, mask rw, others none), as the kernel stores it.
ACL = bytes.fromhex("02000000" "01000600ffffffff" "02000600feff0000" "04000400ffffffff" "10000600ffffffff" "20000000ffffffff")
ACCESS = "system.posix_acl_access"
with_acl = lambda content: Kind(lambda path: (pathlib.Path(path).write_bytes(content), os.setxattr(path, ACCESS, ACL)),
                                lambda path: os.getxattr(path, ACCESS) != ACL and "ACL not kept" or difference(path, content))


def read_only(content):
    return Kind(lambda path: (pathlib.Path(path).write_bytes(content), os.chmod(path, 0o444)),
                lambda path: stat.S_IMODE(os.stat(path).st_mode) != 0o444 and "not read-only" or difference(path, content))


def owned(content, mode, owner=None):  # owner: a user name; None: whoever runs the tests
    ids = lambda: (os.geteuid(), os.getegid()) if owner is None else (pwd.getpwnam(owner).pw_uid, grp.getgrnam("nogroup").gr_gid)

    def write(path):
        pathlib.Path(path).write_bytes(content)
        os.chown(path, *ids())
        os.chmod(path, mode)
    got = lambda path: ((os.stat(path).st_uid, os.stat(path).st_gid), stat.S_IMODE(os.stat(path).st_mode))
    return Kind(write, lambda path: got(path) != (ids(), mode) and f"owner and mode {got(path)}" or difference(path, content))


def hidden(content):  # as Wine keeps the attribute
    return Kind(lambda path: (pathlib.Path(path).write_bytes(content), os.setxattr(path, "user.DOSATTRIB", b"0x2")),
                lambda path: os.getxattr(path, "user.DOSATTRIB") != b"0x2" and "not hidden" or difference(path, content))


def sparse(size, disguised=False):  # bytes set around 2 and 4 GiB and at its end; disguised: their masked form
    marks = {o: b"1234567"[i:i + 1] for i, o in enumerate((0, 2**31, 2**32 - 2, 2**32 - 1, 2**32, 2**32 + 1, size - 1)) if o < size}
    probes = {**{o: b"\0" for o in (1, 2**32 - 3) if o < size}, **marks, size: b""}  # at its size: its end

    def write(path):
        with open(path, "wb") as f:
            f.truncate(size)
            for offset, byte in marks.items():
                os.pwrite(f.fileno(), byte, offset)

    def test(path):
        with open(path, "rb") as f:
            wrong = [offset for offset, byte in sorted(probes.items())
                     if os.pread(f.fileno(), 1, offset) != (byte.translate(DISGUISE) if disguised else byte)]
        return wrong and f"wrong bytes at {wrong}"
    return Kind(write, test)


BIG, FAR, NEAR, L = sparse(6 * 2**30), 2**32 + 1000, 2**32 - 1, "n" * 251
DEEP = "/".join(["d" * 60] * 5)  # past 260 characters wherever the scratch folder is
ZONE = b"[ZoneTransfer]\r\nZoneId=3\r\n"  # under Wine a stream is a file "name:stream"
DOWNLOADED = {"dl.txt.xyz": A, "dl.txt.xyz:Zone.Identifier": ZONE, "dl.txt": OLD}
# outcome: the text shown ("usage", "open_failed", "created NAME", "write_failed NAME") or the signal that ended the
# run. setup: "enter" (standard input held open: the run must wait, then end at one line), "mid-run SIG SHARE" (SIG once
# SHARE of the output is written; FSIZE: the file size limit lowered to 1 byte; move: folder sub renamed moved), "grow",
# "rewrite" (the input, a byte more or its first byte, 1% in), "late-lock NAME" (flock, 1% in), "strace CALL SIG NAME"
# (CALL held 0.4 s, SIG when NAME shows), "inject CALLS:error=ERRNO" (strace injects the error), "fsize N" (file size
# limit), "tmpfs SIZE", "ext4 SIZE" (the folder on a file system of that size), "exfat MIB" (on an exFAT image of that
# size), "umask OCTAL", "lock FUNCTION TYPE [NAME]" (by this process, on NAME or the input), "writer [NAME]" (held open
# for writing by another process: a FIFO must never let it in), "hold [NAME [SECONDS]]" (open in a Windows process, for
# SECONDS or the whole run), "race ARGUMENT" (a second run at once, 8 times), "user NAME" (run as that user, in a folder
# anyone may write), "no-reader" (standard output a pipe nobody reads), "peak KIB"; any ending in "named" (the unnamed
# output refused). When the run fails to write under fsize, tmpfs and ext4, no write may reach the folder. An added
# None: gone.
Row = collections.namedtuple("Row", "name tool before args setup outcome added marks", defaults=("",))
ROWS = [Row(*row) for row in [
    ("usage_image", Q, {}, [], "", "usage", {}),
    ("usage_vault_waits", V, {}, [], "enter", "usage", {}),
    ("disguise_picture", Q, {"cat.png": S}, ["cat.png"], "", "created cat.png.xyz", {"cat.png.xyz": SX}),
    ("restore_picture_as_png", Q, {"cat.xyz": SX}, ["cat.xyz"], "", "created cat.png", {"cat.png": S}),
    ("restore_video_waits", V, {"clip.mp4.xyz": SX}, ["clip.mp4.xyz"], "enter", "created clip.mp4", {"clip.mp4": S}),
    ("replaces_longer_output", V, {"n.txt": A, "n.txt.xyz": OLD}, ["n.txt"], "", "created n.txt.xyz", {"n.txt.xyz": AX}),
    ("empty_file", V, {"e": b""}, ["e"], "", "created e.xyz", {"e.xyz": b""}),
    ("subfolder", Q, {"sub": DIR, "sub/p.png": A}, ["sub/p.png"], "", "created sub/p.png.xyz", {"sub/p.png.xyz": AX}),
    ("only_first_argument", V, {"a": b"0", "b": b"1"}, ["a", "b"], "", "created a.xyz", {"a.xyz": b"["}),
    ("missing_input", Q, {}, ["nope.png"], "", "open_failed", {}),
    ("missing_input_waits", V, {}, ["nope"], "enter", "open_failed", {}),
    ("folder_input", V, {"d": DIR}, ["d"], "", "open_failed", {}),
    ("output_is_folder", Q, {"c.png": A, "c.png.xyz": DIR}, ["c.png"], "", "write_failed c.png.xyz", {}),
    ("bare_suffix_vault", V, {".xyz": A}, [".xyz"], "", "write_failed", {}),
    ("restores_to_dot_dot", V, {"...xyz": A}, ["...xyz"], "", "write_failed", {}),
    ("read_only_output_kept", V, {"r": A, "r.xyz": read_only(OLD)}, ["r"], "", "write_failed", {}),
    ("longest_name", V, {L: A}, [L], "", f"created {L}.xyz", {L + ".xyz": AX}),
    ("name_past_limit", Q, {L + "q": A}, [L + "q"], "", f"write_failed {L}q.xyz", {}),
    ("chinese_name", V, {"电影 片段.mp4.xyz": A}, ["电影 片段.mp4.xyz"], "", "created 电影 片段.mp4", {"电影 片段.mp4": AX}),
    # Under Wine what code page 936 lacks shows as one "?" a character.
    ("name_outside_936", Q, {"한글😀é.png": A}, ["한글😀é.png"], "", "created 한글😀é.png.xyz", {"한글😀é.png.xyz": AX}),
    ("name_not_utf8", Q, {"a \udce9": A}, ["a \udce9"], "", "created a \udce9.xyz", {"a \udce9.xyz": AX}, "native"),
    ("link_at_output_replaced", V, {"in": A, "in.xyz": LINK("in")}, ["in"], "", "created in.xyz", {"in.xyz": AX}, "native"),
    ("link_to_read_only_replaced", V, {"in": A, "ro": read_only(OLD), "in.xyz": LINK("ro")}, ["in"], "", "created in.xyz", {"in.xyz": AX}, "native"),
    ("link_to_others_replaced", V, {"in": A, "r": OLD, "in.xyz": LINK("r")}, ["in"], "user nobody", "created in.xyz", {"in.xyz": AX}, "native root"),
    ("name_with_controls", V, {"\r\x1b[K": A}, ["\r\x1b[K"], "", "created \r\x1b[K.xyz", {"\r\x1b[K.xyz": AX}, "native"),
    ("fifo_refused", V, {"pipe": FIFO}, ["pipe"], "", "open_failed", {}, "native"),
    ("fifo_never_opened", V, {"pipe": FIFO}, ["pipe"], "writer", "open_failed", {}, "native"),
    ("open_for_writing_refused", V, {"in": A}, ["in"], "writer", "open_failed", {}, "native"),
    ("output_open_for_writing_kept", V, {"in": A, "in.xyz": OLD}, ["in"], "writer in.xyz", "write_failed", {}, "native"),
    ("lock_cannot_be_asked", V, {"in": A, "in.xyz": OLD}, ["in"], "inject flock,fcntl:error=ENOLCK", "created in.xyz", {"in.xyz": AX}, "native"),
    ("writer_flock_refused", V, {"in": A}, ["in"], "lock flock EX", "open_failed", {}, "native"),
    ("writer_lockf_refused", V, {"in": A}, ["in"], "lock lockf EX", "open_failed", {}, "native"),
    ("reader_lock_allowed", V, {"in": A}, ["in"], "lock flock SH", "created in.xyz", {"in.xyz": AX}, "native"),
    ("held_open_for_writing", V, {"in": A}, ["in"], "hold", "open_failed", {}, "windows"),
    ("output_held_past_the_retries", V, DOWNLOADED, ["dl.txt.xyz"], "hold dl.txt", "write_failed", {}, "windows"),
    ("output_held_for_a_moment", V, DOWNLOADED, ["dl.txt.xyz"], "hold dl.txt 0.8", "created dl.txt", {"dl.txt": AX}, "windows"),
    ("output_linked_to_input", V, {"in": A, "in.xyz": Kind(lambda path: os.link(path[:-4], path), None)}, ["in"], "", "created in.xyz", {"in.xyz": AX}),
    ("hidden_output_stays_hidden", V, {"h": A, "h.xyz": hidden(OLD)}, ["h"], "", "created h.xyz", {"h.xyz": hidden(AX)}, "windows"),
    ("deep_folder", V, {**{DEEP[:61 * n - 1]: DIR for n in range(1, 6)}, "x": DIR, DEEP + "/f": A}, [f"x/../{DEEP}/f"], "",
     f"created x/../{DEEP}/f.xyz", {DEEP + "/f.xyz": AX}),
    ("output_under_flock_kept", V, {"in": A, "in.xyz": OLD}, ["in"], "lock flock EX in.xyz", "write_failed", {}, "native"),
    ("output_under_lockf_kept", V, {"in": A, "in.xyz": OLD}, ["in"], "lock lockf EX in.xyz", "write_failed", {}, "native"),
    ("output_reader_lock_allowed", V, {"in": A, "in.xyz": OLD}, ["in"], "lock lockf SH in.xyz", "created in.xyz", {"in.xyz": AX}, "native"),
    ("output_locked_after_the_start_kept", V, {"big": sparse(2**29), "big.xyz": OLD}, ["big"], "late-lock big.xyz", "write_failed", {}, "native"),
    ("output_keeps_its_acl", V, {"a": A, "a.xyz": with_acl(OLD)}, ["a"], "", "created a.xyz", {"a.xyz": with_acl(AX)}, "native"),
    ("output_keeps_its_mode", V, {"s": A, "s.xyz": owned(OLD, 0o640)}, ["s"], "umask 0077", "created s.xyz", {"s.xyz": owned(AX, 0o640)}, "native"),
    ("users_output_keeps_its_owner", V, {"u": A, "u.xyz": owned(OLD, 0o604, "nobody")}, ["u"], "", "created u.xyz",
     {"u.xyz": owned(AX, 0o604, "nobody")}, "native root"),
    ("others_output_kept", V, {"o": owned(A, 0o644), "o.xyz": owned(OLD, 0o644)}, ["o"], "user nobody", "write_failed", {}, "native root"),
    ("no_room_before_the_first_write", V, {"in": S, "in.xyz": OLD}, ["in"], "tmpfs 3m", "write_failed", {}, "native root"),
    ("no_room_on_disk_before_the_first_write", V, {"in": S, "in.xyz": OLD}, ["in"], "ext4 4m", "write_failed", {}, "native root"),
    ("new_output_follows_umask", V, {"in": A}, ["in"], "umask 0333", "created in.xyz", {"in.xyz": read_only(AX)}, "native"),
    ("disk_full_first_write", Q, {"p.png": S, "p.png.xyz": OLD}, ["p.png"], "fsize 0", "write_failed p.png.xyz", {}, "native"),
    ("disk_full_last_byte", V, {"c.xyz": SX, "c": OLD}, ["c.xyz"], f"fsize {len(S) - 1}", "write_failed", {}, "native"),
    ("disk_exact_fit", V, {"c.xyz": SX, "c": OLD}, ["c.xyz"], f"fsize {len(S)}", "created c", {"c": S}, "native"),
    ("limit_lowered_mid_run_named", V, {"big": BIG}, ["big"], "mid-run FSIZE 0.05 named", "write_failed", {}, "native"),
    ("input_grew_mid_run", V, {"big": sparse(2**29)}, ["big"], "grow", "open_failed", {"big": ANY}),
    ("input_rewritten_mid_run", V, {"big": sparse(2**29)}, ["big"], "rewrite", "open_failed", {"big": ANY}, "native"),
    ("reader_gone", V, {"in": A}, ["in"], "no-reader", "created in.xyz", {"in.xyz": AX}, "native"),
    ("sigint_mid_run", V, {"big": BIG}, ["big"], "mid-run SIGINT 0.05", "SIGINT", {}, "native"),
    ("sigterm_mid_run_named", V, {"big": BIG}, ["big"], "mid-run SIGTERM 0.05 named", "SIGTERM", {}, "native"),
    ("sighup_mid_run_named", V, {"big": BIG}, ["big"], "mid-run SIGHUP 0.05 named", "SIGHUP", {}, "native"),
    *[(f"{name.lower()}_mid_run_named", V, {"big": BIG}, ["big"], f"mid-run {name} 0.05 named", name, {}, "native")
      for name in ("SIGQUIT", "SIGXCPU", "SIGUSR1", "SIGRTMIN")],
    ("folder_moved_mid_run", V, {"sub": DIR, "sub/big": sparse(2**29)}, ["sub/big"], "mid-run move 0.05", "created sub/big.xyz",
     {"sub": None, "sub/big": None, "moved": DIR, "moved/big": sparse(2**29), "moved/big.xyz": sparse(2**29, True)}, "native"),
    # Only leftovers of this output that no live run holds go: no link, no empty or other user's file, no other name.
    ("leftovers_cleared_live_kept", V, {"in": A, **{f".in.xyz~{t}.part": OLD for t in ("0badf00d", "1badf00d", "0BADF00D")},
     ".in.xyz~2badf00d.part": LINK("in"), ".in.xyz~3badf00d.part": b""}, ["in"], "lock flock EX .in.xyz~1badf00d.part named",
     "created in.xyz", {"in.xyz": AX, ".in.xyz~0badf00d.part": None}, "native"),
    ("others_leftover_kept", V, {"in": A, ".in.xyz~0badf00d.part": owned(OLD, 0o644, "nobody")}, ["in"], "named", "created in.xyz",
     {"in.xyz": AX}, "native root"),
    ("exfat_long_chinese_name", Q, {"照片照片照片照片照片.png": A, "照片照片照片照片照片.png.xyz": OLD, ".照片照片照片照片照片.p~0badf00d.part": OLD,
     ".照片照片照片照片照片.p~0badf00d.par": OLD}, ["照片照片照片照片照片.png"], "exfat 16", "created 照片照片照片照片照片.png.xyz",
     {"照片照片照片照片照片.png.xyz": AX, ".照片照片照片照片照片.p~0badf00d.part": None}, "native root"),
    # A kill leaves nothing, at any point; the output name keeps what it held.
    ("kill_at_the_start", V, {"big": BIG}, ["big"], "mid-run SIGKILL 0", "SIGKILL", {}),
    ("kill_mid_run", V, {"big": BIG, "big.xyz": OLD}, ["big"], "mid-run SIGKILL 0.5", "SIGKILL", {}),
    ("kill_near_the_end", V, {"big": BIG, "big.xyz": OLD}, ["big"], "mid-run SIGKILL 0.9", "SIGKILL", {}, "native"),
    # The signal lands between naming or moving the complete output and noting that it did: it still ends in place.
    ("sigint_at_link", V, {"in": A}, ["in"], "strace linkat SIGINT .in.xyz~*", "SIGINT", {"in.xyz": AX}, "native"),
    ("sigterm_at_rename", V, {"in": A}, ["in"], "strace renameat SIGTERM in.xyz", "SIGTERM", {"in.xyz": AX}, "native"),
    # A replaced output gives way only to content on the disk; a new one is not waited for.
    ("replace_flushed_before_rename", V, {"in": A, "in.xyz": OLD}, ["in"], "inject fdatasync,fsync:error=EIO", "write_failed", {}),
    ("new_output_not_flushed", V, {"in": A}, ["in"], "inject fdatasync,fsync:error=EIO", "created in.xyz", {"in.xyz": AX}),
    ("racing_disguises", V, {"a": S}, ["a"], "race a", "created a.xyz", {"a.xyz": SX}, "native"),
    ("racing_disguise_and_restore", V, {"a": S, "a.xyz": SX}, ["a"], "race a.xyz", "created a.xyz", {}, "native"),
    ("past_4_gib", V, {"big": sparse(FAR)}, ["big"], "", "created big.xyz", {"big.xyz": sparse(FAR, True)}, "large"),
    ("under_4_gib_flat", Q, {"b": sparse(NEAR)}, ["b"], "peak 16384", "created b.xyz", {"b.xyz": sparse(NEAR, True)}, "native large"),
]]


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
            if target.startswith(folder + "/") and os.path.relpath(target, folder) not in before and \
                    b"wineserver" not in pathlib.Path(f"/proc/{pid}/cmdline").read_bytes():
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


class Unavailable(Exception):
    """A set-up this machine cannot give."""


def run(row, folder, args, started):
    kind, *how = row.setup.split() or [""]
    if kind == "tmpfs" and subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={how[0]}", "tmpfs", folder]).returncode:
        raise Unavailable("this machine lets nobody mount a tmpfs")  # unmounted by main() when it was
    if kind == "ext4" and subprocess.run(f"mkfs.ext4 -q -m 0 {folder}.img {how[0]} >/dev/null && mount -o loop {folder}.img {folder} "
                                         f"&& rmdir {folder}/lost+found", shell=True).returncode:
        raise Unavailable("this machine lets nobody mount an ext4 image")
    if kind == "exfat":  # an image on a loop device, formatted, mounted through FUSE; main() undoes what was done
        os.truncate(pathlib.Path(image := folder + ".img").touch() or image, int(how[0]) << 20)
        if subprocess.run(f"mkfs.exfat $(losetup --find --show {image}) && mount.exfat-fuse $(losetup -nO NAME -j {image}) "
                          f"{folder}", shell=True, capture_output=True).returncode:
            raise Unavailable("this machine attaches, formats or mounts no exFAT image")
    if kind == "user":
        os.chmod(folder, 0o777)
    for name, value in row.before.items():
        value.write(os.path.join(folder, name)) if isinstance(value, Kind) else pathlib.Path(folder, name).write_bytes(value)
    prefix, program = [args.wine] if args.wine else [], os.path.abspath(args.quistel if row.tool == Q else args.vorlune)
    trace = ["strace", "-f", "--quiet=all", "-o", folder + ".trace", "-E", "ASAN_OPTIONS=detect_leaks=0"]  # no leak check under it
    first = how[0] if how else ""
    writes = trace + ["-y", "-e", "trace=write,pwrite64,writev"]  # every write, with the file it went to
    wrapper = {"strace": trace + ["-e", f"inject={first}:delay_exit=400000"], "inject": trace + ["-e", f"inject={first}"],
               "no-reader": [sys.executable, "-c", "import os, signal, sys; signal.signal(signal.SIGPIPE, signal.SIG_DFL); "
                             "r, w = os.pipe(); os.dup2(w, 1); os.close(r); os.execv(sys.argv[1], sys.argv[1:])"],
               "tmpfs": writes, "ext4": writes, "fsize": writes + ["prlimit", f"--fsize={first}", "--"],
               "peak": ["/usr/bin/time", "-f", "%M", "-o", folder + ".peak"],
               "user": ["setpriv", f"--reuid={first}", "--regid=nogroup", "--clear-groups"]}.get(kind, [])
    if (named := row.setup.split()[-1:] == ["named"]):  # the second open of the folder itself: the unnamed output's
        wrapper = trace + ["-P", ".", "-e", "trace=openat", "-e", "inject=openat:error=EOPNOTSUPP:when=2"]

    def preexec():
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGXFSZ):  # as a terminal starts it
            signal.signal(number, signal.SIG_DFL)
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # no core file left by SIGQUIT and its kind

    def start(*command):
        started.append(subprocess.Popen(command, bufsize=0, cwd=folder, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, preexec_fn=preexec, umask=int(how[0], 8) if kind == "umask" else -1))
        return started[-1]
    if kind == "lock":  # released when the file object goes, with this call
        holder = open(os.path.join(folder, how[2] if how[2:] else row.args[0]), "r+b" if how[:2] == ["lockf", "EX"] else "rb")
        getattr(fcntl, how[0])(holder, getattr(fcntl, "LOCK_" + how[1]))
    if kind == "writer":
        holder = start("sh", "-c", 'exec 3>>"$0"; exec sleep 600', how[0] if how else row.args[0])
        wait_for(lambda: os.path.exists(f"/proc/{holder.pid}/fd/3") or
                 pathlib.Path(f"/proc/{holder.pid}/wchan").read_text() == "wait_for_partner", "the writer")
    if kind == "hold":  # until told, or killed with the row's other processes
        holder = start(*prefix, os.path.abspath(args.hold_open), *(how[:1] or row.args))
        assert holder.stdout.readline().strip() == b"held", "the holder could not open its file"
    for _ in range(8 if kind == "race" else 1):
        process, other = start(*wrapper, *prefix, program, *row.args), kind == "race" and start(*prefix, program, *how)
        if kind == "enter":
            time.sleep(1.5)
            assert process.poll() is None, "did not wait for Enter"
            process.stdin.write(b"\n")  # left open: a second wait would hang
            wait_for(lambda: process.poll() is not None, "the end after one Enter", 20)
        if kind == "strace":
            wait_for(lambda: fnmatch.filter(os.listdir(folder), how[2]), how[2])
            os.kill(int(pathlib.Path(f"/proc/{process.pid}/task/{process.pid}/children").read_text().split()[0]),
                    signal.Signals[how[1]])
        if kind in ("mid-run", "grow", "rewrite", "late-lock"):
            share = float(how[1]) if kind == "mid-run" else 0.01
            wait_for(lambda: (output_writer(folder, row.before) or (0, -1))[1] >= share * os.path.getsize(
                os.path.join(folder, row.args[0])), f"{share:.0%} written", 60)
            assert process.poll() is None, "finished before the signal or the growth"
            if kind in ("grow", "rewrite"):
                with open(os.path.join(folder, row.args[0]), "r+b") as changed:
                    changed.write(b"x") if kind == "rewrite" else changed.truncate(os.path.getsize(changed.name) + 1)
            elif kind == "late-lock":
                fcntl.flock(holder := open(os.path.join(folder, how[0]), "rb"), fcntl.LOCK_EX)
            elif how[0] == "move":
                os.rename(os.path.join(folder, "sub"), os.path.join(folder, "moved"))
            else:
                pid = output_writer(folder, row.before)[0]
                resource.prlimit(pid, resource.RLIMIT_FSIZE, (1, 1)) if how[0] == "FSIZE" else os.kill(pid, signal.Signals[how[0]])
        if kind == "hold" and any(":Zone" in name for name in row.before):
            # Under Wine a stream is a file that no rename takes along: the new content's is seen while it waits.
            wait_for(lambda: [z for z in glob.glob(os.path.join(folder, ".*.part:Zone.Identifier")) if pathlib.Path(z).read_bytes()
                              == ZONE], "the input's zone on the new content", 10)
        if kind == "hold" and how[1:]:
            time.sleep(float(how[1]))
            holder.stdin.write(b"\n")
        out, err = process.communicate(b"", timeout=900 if "large" in row.marks else 60)
        assert not other or other.communicate(b"", timeout=60)[1] == b"" and other.returncode == 0, "the other run failed"
        signalled, (key, _, shown) = row.outcome.startswith("SIG"), row.outcome.partition(" ")
        # Wine's launcher cannot tell how its program ended.
        status = (None if args.wine else -signal.Signals[row.outcome]) if signalled else int(key == "open_failed")
        text = "" if signalled else TEXTS[row.tool][key].format(shown).replace("\n", "\r\n" if args.wine else "\n")
        text = text.encode("gbk", "replace") if args.wine else os.fsencode(text) * (kind != "no-reader")
        assert (err, out) == (b"", text) and status in (None, process.returncode), \
            f"shown {out[:300]!r} {err[:300]!r}, status {process.returncode}; expected {text[:300]!r}, status {status}"
        if kind == "peak":
            peak = int(pathlib.Path(folder + ".peak").read_text().split()[-1])
            assert peak <= int(how[0]), f"peak memory {peak} KiB"
        if kind == "writer" and row.before[row.args[0]] is FIFO:
            assert not os.path.exists(f"/proc/{holder.pid}/fd/3"), "the FIFO was opened"
        if named:
            assert any(b"O_TMPFILE" in line and b"INJECTED" in line for line in pathlib.Path(folder + ".trace").read_bytes()
                       .splitlines()), "the unnamed output was not the one refused"
        if kind in ("tmpfs", "ext4", "fsize") and key == "write_failed":
            assert folder.encode() not in pathlib.Path(folder + ".trace").read_bytes(), "a write reached the full disk"
        settled = time.monotonic() + (5 if signalled else 0)  # a killed process's files go a moment later
        expected = {name: want for name, want in {**row.before, **row.added}.items() if want is not None}
        while (problems := check_folder(folder, expected)) and time.monotonic() < settled:
            time.sleep(0.1)
        assert not problems, problems


def main():
    parser = argparse.ArgumentParser()
    for option in ("--quistel", "--vorlune", "--wine", "--wine-prefix", "--hold-open", "--only", "--scratch"):
        parser.add_argument(option, default="")
    parser.add_argument("--large", action="store_true")
    args, failed = parser.parse_args(), 0
    assert os.path.isfile(args.quistel) and os.path.isfile(args.vorlune), "a program is not built"  # Wine would run it
    if args.wine:  # one server; its first program starts background services, which must not inherit a row's pipes
        os.environ.update(WINEDEBUG="-all", WINEPREFIX=os.path.abspath(args.wine_prefix), LANG="C.UTF-8", LC_ALL="C.UTF-8",
                          WINEDLLOVERRIDES="mscoree,mshtml=")
        first = [] if os.path.exists(os.path.join(args.wine_prefix, "system.reg")) else [["wineboot", "-i"], ["wineserver", "-w"]]
        for command in first + [["wineserver", "-p"], [args.wine, "cmd.exe", "/c", "exit"]]:
            subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    left_out = "native" if args.wine else "windows"
    for row in [row for row in ROWS if ("large" in row.marks) == args.large and left_out not in row.marks and args.only in row.name]:
        if "root" in row.marks and os.geteuid() != 0:
            print(f"skip {row.name}: needs root")
            continue
        with tempfile.TemporaryDirectory(prefix="scratch_", dir=os.path.realpath(args.scratch or tempfile.gettempdir())) as folder:
            started, processes = time.monotonic(), []
            try:
                run(row, folder, args, processes)
                print(f"ok   {row.name} ({time.monotonic() - started:.1f} s)", flush=True)
            except Unavailable as missing:
                print(f"skip {row.name}: {missing}", flush=True)
            except Exception as failure:  # a check that cannot even look fails its row, not the table
                failed += 1
                print(f"FAIL {row.name}: {failure!r}"[:2000], flush=True)
            for process in processes:
                process.kill()
            if row.setup.startswith(("tmpfs", "ext4", "exfat")):
                subprocess.run(["umount", folder], stderr=subprocess.DEVNULL)
                subprocess.run(f"losetup -nO NAME -j {folder}.img | xargs -r -n1 losetup -d", shell=True)
            for leftover in (".peak", ".trace", ".img"):
                pathlib.Path(folder + leftover).unlink(missing_ok=True)
    if args.wine:
        subprocess.run(["wineserver", "-k"])
    raise SystemExit(f"{failed} rows failed" if failed else None)


if __name__ == "__main__":
    main()

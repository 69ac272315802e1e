#!/usr/bin/env python3
"""Faults from outside against the native programs.

A full disk, signals in the middle of a multi-gigabyte run, a kill, runs
racing on the same names, files past 4 GiB and names at the length limit.
After each, the input must be intact, the output name must hold the old file
or the complete new one, and nothing else may be left in the folder.

    hardening.py --quistel Q --vorlune V [--scratch DIR] [--large]

--scratch is a folder on disk (not in memory) for the multi-gigabyte files;
--large runs only the cases past 4 GiB.
"""
import argparse
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from black_box import OLD, SAMPLE, TEXTS, Folder, lay_out, marked_sparse_file, masked, read_back, sparse_file  # noqa

GiB = 2**30
NEEDED_FREE = 12 * GiB
TEMPORARY = re.compile(r"^\..*~[0-9a-f]{8}\.part$")
CLEANUP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
PROGRAMS = {}


def expected(tool, outcome, out=None):
    return os.fsencode(TEXTS[tool][outcome].format(out=out))  # names as the bytes they are


def default_signals():
    # As a terminal would start it, whatever the test runner ignores.
    for number in CLEANUP_SIGNALS:
        signal.signal(number, signal.SIG_DFL)


def start(tool, arguments, folder, preexec=default_signals, prefix=()):
    return subprocess.Popen(list(prefix) + [PROGRAMS[tool]] + list(arguments), cwd=folder, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=preexec)


def run(tool, arguments, folder, preexec=default_signals, timeout=120, prefix=()):
    process = start(tool, arguments, folder, preexec, prefix)
    out, err = process.communicate(timeout=timeout)
    return process.returncode, out, err


def wait_for(predicate, timeout=30):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("timed out")
        time.sleep(0.005)


def temporaries(folder):
    return [n for n in os.listdir(folder) if TEMPORARY.match(n)]


class Scratch(Folder):
    def setUp(self):
        # The multi-gigabyte cases get a parent folder on a real disk with room.
        if self.parent and shutil.disk_usage(self.parent).free < NEEDED_FREE:
            self.skipTest(f"needs {NEEDED_FREE // GiB} GiB free in {self.parent} for the multi-gigabyte files")
        super().setUp()


def file_size_limit(limit):
    def preexec():
        default_signals()
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # writes past the limit then fail with EFBIG
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return preexec


# Every write with the file it went to; a sanitizer's leak check cannot run under strace.
WRITES_TRACED = ("strace", "-qq", "-y", "-e", "trace=write,pwrite64,writev", "-E", "ASAN_OPTIONS=detect_leaks=0")


class DiskFull(Scratch):
    # name, tool, files before, argument, fault: a file size limit, or the size of a tmpfs mounted
    # as the folder, outcome
    CASES = [
        ("fresh_mid_file", "vorlune", {"in": SAMPLE}, "in", 100_000, "write_failed"),
        ("over_old_output", "vorlune", {"in": SAMPLE, "in.xyz": OLD}, "in", 100_000, "write_failed"),
        ("first_write", "quistel", {"p.png": SAMPLE, "p.png.xyz": OLD}, "p.png", 0, "write_failed"),
        ("last_byte", "vorlune", {"c.mp4.xyz": masked(SAMPLE), "c.mp4": OLD}, "c.mp4.xyz", len(SAMPLE) - 1,
         "write_failed"),
        ("exact_fit", "vorlune", {"c.mp4.xyz": masked(SAMPLE), "c.mp4": OLD}, "c.mp4.xyz", len(SAMPLE), "created"),
        ("no_room_known_before_writing", "vorlune", {"in": SAMPLE, "in.xyz": OLD}, "in", "3m", "write_failed"),
    ]

    def test_write_failure_leaves_the_folder_as_it_was(self):
        for name, tool, before, argument, fault, outcome in self.CASES:
            with self.subTest(name):
                self.fresh()
                small_disk = isinstance(fault, str)
                trace = self.folder + ".writes"  # beside the folder, off its small disk
                if small_disk:
                    if os.geteuid() != 0 or not shutil.which("strace"):
                        self.skipTest("a tmpfs of its own needs root, and strace")
                    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={fault}", "tmpfs", self.folder], check=True)
                try:
                    lay_out(self.folder, before)
                    status, out, err = run(tool, [argument], self.folder,
                                           default_signals if small_disk else file_size_limit(fault),
                                           prefix=WRITES_TRACED + ("-o", trace) if small_disk else ())
                    if small_disk:  # the room was missing before the first write
                        with open(trace, "rb") as f:
                            self.assertNotIn(os.fsencode(os.path.realpath(self.folder)), f.read())
                    output = argument[:-4] + (".png" if tool == "quistel" else "") if argument.endswith(".xyz") \
                        else argument + ".xyz"
                    self.assertEqual((status, out, err), (0, expected(tool, outcome, output), b""))
                    after = dict(before)
                    if outcome == "created":
                        after[output] = masked(before[argument])
                    self.assertEqual(read_back(self.folder), after)
                finally:
                    if small_disk:
                        subprocess.run(["umount", self.folder], check=True)
                        os.remove(trace)


def traced_child(tracer_pid):
    with open(f"/proc/{tracer_pid}/task/{tracer_pid}/children") as f:
        children = f.read().split()
    return int(children[0]) if children else None


# Where the file system refuses an unnamed output, the run falls back to a
# named one; strace refuses it here (the only open of the folder itself).
REFUSE_UNNAMED = ("strace", "-f", "--quiet=all", "-o", "/dev/null", "-P", ".", "-e", "trace=openat",
                  "-e", "inject=openat:error=EOPNOTSUPP")


def output_written(pid, folder):
    """Bytes written so far to the run's new output, None until it has one."""
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            path = os.readlink(f"/proc/{pid}/fd/{fd}")
            if os.path.dirname(path) == folder and os.path.basename(path) != "big":
                with open(f"/proc/{pid}/fdinfo/{fd}") as f:
                    return int(f.readline().split()[1])  # "pos: <offset>"
        except FileNotFoundError:
            pass  # gone meanwhile
    return None


class Interruptions(Scratch):
    SIZE = 6 * GiB

    def start_big(self, share, prefix=()):
        """A run on a sparse file, once `share` of its output is written; the process and the pid
        that writes."""
        sparse_file(self.path("big"), self.SIZE)
        process = start("vorlune", ["big"], self.folder, prefix=prefix)
        folder = os.path.realpath(self.folder)
        pid = lambda: traced_child(process.pid) if prefix else process.pid  # noqa: E731

        def far_enough():
            written = output_written(pid(), folder) if pid() else None
            return written is not None and written >= share * self.SIZE
        wait_for(far_enough)
        self.assertIsNone(process.poll(), "finished too early")
        return process, pid()

    def test_signal_mid_run_leaves_only_the_input(self):
        for number, prefix in [(n, ()) for n in CLEANUP_SIGNALS] + [(n, REFUSE_UNNAMED) for n in CLEANUP_SIGNALS]:
            with self.subTest(signal=signal.Signals(number).name, named_output=bool(prefix)):
                if prefix and not shutil.which("strace"):
                    self.skipTest("strace is not installed")
                self.fresh()
                process, pid = self.start_big(0.05, prefix)
                os.kill(pid, number)
                out, err = process.communicate(timeout=60)
                self.assertEqual((process.returncode, out, err), (-number, b"", b""))
                self.assertEqual(os.listdir(self.folder), ["big"])

    def test_kill_at_any_point_leaves_only_what_was_there(self):
        for share, old in ((0, None), (0.5, OLD), (0.9, OLD)):
            with self.subTest(share=share, old_output=old is not None):
                self.fresh()
                if old is not None:
                    lay_out(self.folder, {"big.xyz": old})
                process, _ = self.start_big(share)
                process.kill()
                process.communicate(timeout=60)
                self.assertEqual(process.returncode, -signal.SIGKILL)
                self.assertEqual(sorted(os.listdir(self.folder)), ["big"] + ["big.xyz"] * (old is not None))
                if old is not None:
                    self.assertEqual(open(self.path("big.xyz"), "rb").read(), old)

    def test_signal_while_a_name_changes_hands(self):
        # strace holds the process at the end of the named call, so the signal
        # lands in the narrow step between naming or moving the complete
        # output and noting that it did: the run still ends with it in place.
        if not shutil.which("strace"):
            self.skipTest("strace is not installed")
        # call held, sign that it took effect
        for call, took_effect in (("linkat", lambda: temporaries(self.folder)),
                                  ("rename", lambda: os.path.exists(self.path("big.xyz")))):
            for number in (signal.SIGINT, signal.SIGTERM):
                with self.subTest(call=call, signal=signal.Signals(number).name):
                    self.fresh()
                    lay_out(self.folder, {"big": SAMPLE})
                    tracer = start("vorlune", ["big"], self.folder,
                                   prefix=("strace", "-f", "-qq", "-o", "/dev/null", "-e", f"trace={call}",
                                           "-e", f"inject={call}:delay_exit=400000"))
                    wait_for(took_effect)
                    os.kill(traced_child(tracer.pid), number)
                    tracer.communicate(timeout=60)
                    self.assertEqual(tracer.returncode, -number)
                    self.assertEqual(read_back(self.folder), {"big": SAMPLE, "big.xyz": masked(SAMPLE)})


class Concurrency(Scratch):
    DATA = bytes((i * 7 + i // 4093) & 0xFF for i in range(3_000_000))

    def test_two_runs_racing_on_the_same_names(self):
        # Both disguise one input; one disguises while the other restores.
        for names in (("a", "a"), ("a", "a.xyz")):
            with self.subTest(names):
                self.fresh()
                both = {"a": self.DATA, "a.xyz": masked(self.DATA)}
                lay_out(self.folder, {"a": self.DATA} if names[1] == "a" else both)
                for _ in range(8):
                    runs = [start("vorlune", [name], self.folder) for name in names]
                    for process, name in zip(runs, names):
                        self.assertEqual(process.communicate(timeout=60),
                                         (expected("vorlune", "created", "a.xyz" if name == "a" else "a"), b""))
                    self.assertEqual(read_back(self.folder), both)

    def test_many_runs_in_one_folder(self):
        before, after, runs = {}, {}, []
        for i in range(16):
            data = self.DATA[i * 1000:i * 1000 + 200_000 + i]
            tool = ("quistel", "vorlune")[i % 2]
            if i % 4 < 2:
                name, out = f"f{i}.png", f"f{i}.png.xyz"
                before[name], after[out] = data, masked(data)
            else:
                name, out = f"f{i}.xyz", f"f{i}.png" if tool == "quistel" else f"f{i}"
                before[name], after[out] = masked(data), data
            runs.append((tool, name, out))
        lay_out(self.folder, before)
        runs = [(start(tool, [name], self.folder), tool, out) for tool, name, out in runs]
        for process, tool, out in runs:
            self.assertEqual(process.communicate(timeout=60), (expected(tool, "created", out), b""))
        after.update(before)
        self.assertEqual(read_back(self.folder), after)


class Names(Scratch):
    # tool, input name, outcome, output name (None: as the tool derives it)
    CASES = [
        ("vorlune", "n" * 251, "created", "n" * 251 + ".xyz"),
        ("vorlune", "r" * 251 + ".xyz", "created", "r" * 251),
        ("vorlune", "t" * 252, "write_failed", None),
        ("quistel", "q" * 252, "write_failed", "q" * 252 + ".xyz"),
        ("vorlune", "..xyz", "write_failed", None),  # would restore to "."
        ("vorlune", "...xyz", "write_failed", None),  # would restore to ".."
        ("quistel", "..xyz", "created", "..png"),
        ("vorlune", "..", "open_failed", None),
        ("vorlune", " ", "created", " .xyz"),
        ("vorlune", "--help", "created", "--help.xyz"),
        ("vorlune", "sub/../up", "created", "sub/../up.xyz"),
        ("vorlune", "电影 片段.mp4.xyz", "created", "电影 片段.mp4"),
        ("quistel", "𝄞\n乐谱.xyz", "created", "𝄞\n乐谱.png"),
        ("quistel", "latin1 \udce9", "created", "latin1 \udce9.xyz"),  # the byte 0xE9: not UTF-8
    ]

    def test_names_are_plain_names_up_to_the_limit(self):
        for tool, name, outcome, out in self.CASES:
            with self.subTest(tool=tool, name=name[:40]):
                self.fresh()
                os.mkdir(self.path("sub"))
                if name != "..":
                    lay_out(self.folder, {name.replace("sub/../", ""): b"plain"})
                before = read_back(self.folder)
                status, shown, err = run(tool, [name], self.folder)
                self.assertEqual((status, shown, err), (1 if outcome == "open_failed" else 0,
                                                        expected(tool, outcome, out), b""))
                if outcome == "created":
                    before[out.replace("sub/../", "")] = masked(b"plain")
                self.assertEqual(read_back(self.folder), before)


class Large(Scratch):
    """Past 4 GiB and just short of it, in flat memory."""
    MEMORY_LIMIT_KIB = 16 * 1024

    def test_huge_sparse_files_go_through_whole(self):
        for tool, size in (("vorlune", 4 * GiB + 1000), ("quistel", 4 * GiB - 1)):
            with self.subTest(size=size):
                self.fresh()
                markers = marked_sparse_file(self.path("big"), size)
                # Measured by a small go-between: a child of this interpreter
                # would inherit the interpreter's peak.
                peak = self.path("peak")
                process = start(tool, ["big"], self.folder, prefix=("/usr/bin/time", "-f", "%M", "-o", peak))
                shown, err = process.communicate(timeout=900)
                os.remove(self.path("big"))
                self.assertEqual((process.returncode, shown, err), (0, expected(tool, "created", "big.xyz"), b""))
                with open(peak) as f:
                    self.assertLessEqual(int(f.read()), self.MEMORY_LIMIT_KIB)
                os.remove(peak)
                self.assertEqual(os.listdir(self.folder), ["big.xyz"])
                self.assert_masked_sparse("big.xyz", size, markers)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quistel", required=True)
    parser.add_argument("--vorlune", required=True)
    parser.add_argument("--scratch", default=tempfile.gettempdir())
    parser.add_argument("--large", action="store_true")
    args, rest = parser.parse_known_args()
    PROGRAMS.update(quistel=os.path.abspath(args.quistel), vorlune=os.path.abspath(args.vorlune))
    Interruptions.parent = Large.parent = os.path.abspath(args.scratch)
    suites = [Large] if args.large else [DiskFull, Interruptions, Concurrency, Names]
    loader = unittest.TestLoader()
    result = unittest.TextTestRunner(verbosity=2).run(
        unittest.TestSuite(loader.loadTestsFromTestCase(s) for s in suites))
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()

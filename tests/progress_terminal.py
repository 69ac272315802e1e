#!/usr/bin/env python3
"""progress_terminal.py VORLUNE FOLDER_ON_DISK: a long run in a real, narrow terminal (tmux) shows a progress line, cut
to its width, that is gone when the report appears. A line typed during the run does not end the wait; the line that
does is read to its end, so nothing of it reaches the shell. A name's control characters are shown escaped."""
import os, re, shutil, subprocess, sys, tempfile, time

vorlune, parent = os.path.abspath(sys.argv[1]), sys.argv[2]
session = f"progress_{os.getpid()}"
folder = tempfile.mkdtemp(prefix="progress_", dir=parent)
environment = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")


def tmux(*arguments):
    command = ["tmux", "-u", "-L", session, *arguments]
    return subprocess.run(command, env=environment, check=True, capture_output=True, text=True).stdout


def screen():
    return [line.rstrip() for line in tmux("capture-pane", "-p", "-t", session).splitlines()]


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        lines = screen()
        if predicate(lines):
            return lines
        time.sleep(0.05)
    raise AssertionError("screen never matched:\n" + "\n".join(screen()))


try:
    with open(os.path.join(folder, "big"), "wb") as f:
        f.truncate(6 * 2**30)  # sparse: long enough to run for seconds
    named = "$'a\\r\\e[K\\x7fb'"  # carriage return, escape, DEL
    script = (
        f'{vorlune} big; echo status=$?; read -t 1 rest; echo "rest=[$rest]"; : >{named}; {vorlune} {named} </dev/null'
    )
    tmux("new-session", "-d", "-s", session, "-x", "40", "-y", "10", "-c", folder, "bash", "-c", script + "; sleep 60")
    during = wait_for(lambda lines: lines[0].startswith("正在处理: "), 60)
    progress = during[0]
    # One column short of the edge: 39 columns, 4 of its characters two wide (a space at its end is not captured).
    assert re.fullmatch(r"正在处理: \d+% \([\d.]+ \w+ / 6\.0 GiB, .*", progress) and len(progress) in (34, 35), during
    tmux("send-keys", "-t", session, "x", "Enter")  # its echo ends the progress line's row
    wait_for(lambda lines: any("按回车键退出程序..." in line for line in lines), 180)
    time.sleep(1)  # time for the "x" line to end the wait, were it read
    after = screen()
    assert after[0].startswith("正在处理: ") and after[0].endswith("x"), after
    # The progress line left nothing behind, and the wait goes on.
    shown = [line for line in after[1:] if line]
    assert shown == ["处理成功！已生成: big.xyz", "按回车键退出程序..."], after
    tmux("send-keys", "-t", session, "abc", "Enter")
    wait_for(lambda lines: "status=0" in lines and "rest=[]" in lines, 10)
    wait_for(lambda lines: "处理成功！已生成: a\\r\\033[K\\177b.xyz" in lines, 10)
    print("1 passed, 0 failed")
finally:
    subprocess.run(["tmux", "-L", session, "kill-server"], capture_output=True)
    shutil.rmtree(folder)

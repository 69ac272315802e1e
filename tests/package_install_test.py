#!/usr/bin/env python3
"""Makes the packages with cpack and checks what a user gets from them.

The .deb is unpacked into a scratch root with dpkg -x; both programs run from
there, and the desktop entries, icons and manual pages must sit where the
desktop looks for them. The .tar.gz must hold the same files. When the
Windows build exists, its ZIP must hold both .exe files, each with its icon,
manifest and version information, and the read-me.

  package_install_test.py --build DIR --version X.Y.Z [--windows-build DIR]
"""
import argparse
import gzip
import os
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from black_box import TEXTS, masked  # noqa: E402

ICON_SIZES = (16, 32, 48, 64, 128, 256)
DROPS = [("quistel", "cat.png", "cat.png.xyz"), ("quistel", "cat.xyz", "cat.png"),
         ("vorlune", "clip.mp4", "clip.mp4.xyz"), ("vorlune", "notes.txt.xyz", "notes.txt")]
failures = 0


def check(what, ok, detail=""):
    global failures
    failures += not ok
    print(("ok:   " if ok else "FAIL: ") + what + ("" if ok or not detail else f": {detail}"))


def run(*command, **options):
    return subprocess.run(command, capture_output=True, **options)


def quiet(result):  # succeeded and said nothing
    report = (result.stdout + result.stderr).decode(errors="replace").strip()
    return result.returncode == 0 and not report, report


def make_package(build, generator, scratch):
    out = os.path.join(scratch, generator.lower())
    result = run("cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-G", generator, "-B", out)
    if result.returncode != 0:
        sys.exit(f"cpack -G {generator} failed:\n{result.stdout.decode()}{result.stderr.decode()}")
    return next(os.path.join(out, f) for f in os.listdir(out) if os.path.isfile(os.path.join(out, f)))


def png_size(path):
    if not os.path.exists(path):
        return "missing"
    head = open(path, "rb").read(24)
    return struct.unpack(">II", head[16:24]) if head[:8] == b"\x89PNG\r\n\x1a\n" else "not a PNG"


def check_deb(deb, root, scratch):
    depends = run("dpkg-deb", "-f", deb, "Depends").stdout.decode()
    check("deb depends on the C and C++ runtimes", all(re.search(rf"\b{lib}\b", depends)
                                                      for lib in ("libc6", r"libstdc\+\+6")), depends)
    usr = os.path.join(root, "usr")
    work = os.path.join(scratch, "drops")
    os.mkdir(work)
    for name in TEXTS:
        program = os.path.join(usr, "bin", name)
        shown = run(program, stdin=subprocess.DEVNULL)
        check(f"{name} without a file shows its usage", (shown.returncode, shown.stdout.decode())
              == (0, TEXTS[name]["usage"]), str(shown))
        for tool, dropped, produced in DROPS:
            if tool != name:
                continue
            content = os.urandom(3000) + dropped.encode()
            with open(os.path.join(work, dropped), "wb") as f:
                f.write(content)
            result = run(program, dropped, cwd=work, input=b"\n")
            output = os.path.join(work, produced)
            got = open(output, "rb").read() if os.path.exists(output) else None
            check(f"{name} {dropped} writes {produced} masked",
                  result.returncode == 0 and got == masked(content), f"{result}, output {got!r:.40}")

        desktop = os.path.join(usr, "share/applications", f"{name}.desktop")
        check(f"{name}.desktop validates cleanly", *quiet(run("desktop-file-validate", desktop)))
        entry = dict(line.rstrip("\n").split("=", 1) for line in open(desktop, encoding="utf-8") if "=" in line)
        check(f"{name}.desktop runs the installed program in a terminal",
              entry.get("Exec", "").split()[0] == name and entry.get("Terminal") == "true", str(entry))
        icons = os.path.join(usr, "share/icons/hicolor")
        for size in ICON_SIZES:
            actual = png_size(os.path.join(icons, f"{size}x{size}/apps/{entry.get('Icon')}.png"))
            check(f"{name} icon at {size}x{size}", actual == (size, size), str(actual))
        svg = os.path.join(icons, f"scalable/apps/{entry.get('Icon')}.svg")
        check(f"{name} scalable icon", os.path.exists(svg) and b"<svg" in open(svg, "rb").read())

        page = os.path.join(usr, "share/man/man1", f"{name}.1.gz")
        check(f"{name}.1 formats without warnings", os.path.exists(page) and
              quiet(run("groff", "-man", "-ww", "-z", input=gzip.open(page).read()))[0], page)


def check_windows(build, version, scratch):
    names = ("Quistel", "Vorlune")
    exes = [os.path.join(build, d, f"{n}.exe") for d, n in zip(("image_tool", "vault_tool"), names)]
    if not os.path.exists(os.path.join(build, "CPackConfig.cmake")) or not all(map(os.path.exists, exes)):
        print(f"skipped: no Windows build in {build}, so no ZIP to check")
        return
    archive = zipfile.ZipFile(make_package(build, "ZIP", scratch))
    listing = {n.split("/", 1)[1]: n for n in archive.namelist() if not n.endswith("/")}
    check("ZIP holds the read-me and both programs",
          set(listing) == {"README.txt", "bin/Quistel.exe", "bin/Vorlune.exe"}, str(sorted(listing)))
    windres = shutil.which("x86_64-w64-mingw32-windres")
    if windres is None:
        print("skipped: x86_64-w64-mingw32-windres not found, resources unchecked")
        return
    for name in names:
        if f"bin/{name}.exe" not in listing:
            continue
        exe = archive.extract(listing[f"bin/{name}.exe"], scratch)
        rc = run(windres, "-J", "coff", "-i", exe, "-O", "rc").stdout.decode(errors="replace")
        images = re.search(r"Has (\d+) elements", rc)
        check(f"{name}.exe has one icon group, ID 1, with every size", re.findall(r"^(\w+) 14 ", rc, re.M) == ["1"]
              and images is not None and int(images.group(1)) == len(ICON_SIZES))
        check(f"{name}.exe keeps its manifest as resource 1", re.search(r"^1 24 ", rc, re.M) is not None)
        values = dict(re.findall(r'VALUE "(\w+)", L?"([^"]*)"', rc))
        expected = {"ProductName": name, "OriginalFilename": f"{name}.exe", "FileVersion": version}
        check(f"{name}.exe version information", all(values.get(k) == v for k, v in expected.items()), str(values))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--windows-build")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        deb = make_package(args.build, "DEB", scratch)
        root = os.path.join(scratch, "root")
        subprocess.run(["dpkg", "-x", deb, root], check=True)
        check_deb(deb, root, scratch)
        with tarfile.open(make_package(args.build, "TGZ", scratch)) as archive:
            files = {m.name.split("/", 1)[1] for m in archive.getmembers() if m.isfile()}
        deb_files = {os.path.relpath(os.path.join(d, f), os.path.join(root, "usr"))
                     for d, _, names in os.walk(root) for f in names}
        check("tar.gz holds the files of the deb", files == deb_files, str(files ^ deb_files))
        if args.windows_build:
            check_windows(args.windows_build, args.version, scratch)
    print(f"{failures} check(s) failed" if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

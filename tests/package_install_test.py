#!/usr/bin/env python3
"""Makes the packages with cpack and checks what a user gets from them.

The .deb is unpacked into a scratch root with dpkg -x; both programs run from
there, and the desktop entries, icons and manual pages must sit where the
desktop looks for them. The .tar.gz must hold the same files. When the
Windows build exists, its ZIP must hold both .exe files, each with its icon
and version information, and the read-me.

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

MASK = 0x6B
ICON_SIZES = (16, 32, 48, 64, 128, 256)

USAGE = {
    "quistel": ["请将文件拖拽到这个 EXE 上运行！", "提示: 拖入 .png 会生成 .xyz; 拖入 .xyz 会还原 .png"],
    "vorlune": ["【Vorlune】", "请将 .mp4 / .txt / .xyz 文件拖拽到这里！", "提示: 拖入 .xyz 文件可以一键还原！"],
}
# Program, input name, expected output name.
DROPS = [
    ("quistel", "cat.png", "cat.png.xyz"),
    ("quistel", "cat.xyz", "cat.png"),
    ("vorlune", "clip.mp4", "clip.mp4.xyz"),
    ("vorlune", "notes.txt.xyz", "notes.txt"),
]
MIME_TYPES = {
    "quistel": {"image/png", "application/octet-stream"},
    "vorlune": {"video/mp4", "text/plain", "application/octet-stream"},
}

failures = 0


def check(what, ok, detail=""):
    global failures
    print(("ok:   " if ok else "FAIL: ") + what + ("" if ok or not detail else f": {detail}"))
    if not ok:
        failures += 1


def run(*command, **options):
    return subprocess.run(command, capture_output=True, **options)


def make_package(build, generator, scratch):
    out = os.path.join(scratch, generator.lower())
    result = run("cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-G", generator, "-B", out)
    if result.returncode != 0:
        sys.exit(f"cpack -G {generator} failed:\n{result.stdout.decode()}{result.stderr.decode()}")
    return [os.path.join(out, f) for f in os.listdir(out) if os.path.isfile(os.path.join(out, f))][0]


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    return struct.unpack(">II", head[16:24])


def desktop_entry(path):
    with open(path, encoding="utf-8") as f:
        return dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)


def check_deb(deb, version, root):
    fields = {field: run("dpkg-deb", "-f", deb, field).stdout.decode().strip()
              for field in ("Package", "Version", "Section", "Depends")}
    check("deb names the package", fields["Package"] == "quistel-vorlune", fields["Package"])
    check("deb carries the project version", fields["Version"] == version, fields["Version"])
    check("deb is in section utils", fields["Section"] == "utils", fields["Section"])
    for library in ("libc6", "libstdc++6"):
        check(f"deb depends on {library}", re.search(rf"\b{re.escape(library)}\b", fields["Depends"]) is not None,
              fields["Depends"])

    usr = os.path.join(root, "usr")
    for name in USAGE:
        program = os.path.join(usr, "bin", name)
        check(f"{name} installed as an executable", os.access(program, os.X_OK))

        desktop = os.path.join(usr, "share/applications", f"{name}.desktop")
        result = run("desktop-file-validate", desktop)
        report = (result.stdout + result.stderr).decode().strip()
        check(f"{name}.desktop validates cleanly", result.returncode == 0 and not report, report)
        entry = desktop_entry(desktop)
        check(f"{name}.desktop runs the installed program in a terminal",
              entry.get("Exec", "").split()[0] == name and entry.get("Terminal") == "true", str(entry))
        mime = set(filter(None, entry.get("MimeType", "").split(";")))
        check(f"{name}.desktop accepts its file types", MIME_TYPES[name] <= mime, str(mime))
        check(f"{name}.desktop has a Chinese name", bool(entry.get("Name[zh_CN]")))

        icon = entry.get("Icon", "")
        for size in ICON_SIZES:
            png = os.path.join(usr, f"share/icons/hicolor/{size}x{size}/apps/{icon}.png")
            actual = png_size(png) if os.path.exists(png) else "missing"
            check(f"{name} icon at {size}x{size}", actual == (size, size), str(actual))
        svg = os.path.join(usr, f"share/icons/hicolor/scalable/apps/{icon}.svg")
        check(f"{name} scalable icon", os.path.exists(svg) and b"<svg" in open(svg, "rb").read())

        page = os.path.join(usr, "share/man/man1", f"{name}.1.gz")
        if not os.path.exists(page):
            check(f"{name}.1.gz installed", False)
            continue
        source = gzip.open(page).read()
        groff = run("groff", "-man", "-ww", "-z", input=source)
        report = groff.stderr.decode().strip()
        check(f"{name}.1 formats without warnings", groff.returncode == 0 and not report, report)
        check(f"{name}.1 names the version", f"{name.capitalize()} {version}".encode() in source)
        shown = run("man", "-l", page, env=dict(os.environ, MANPAGER="cat", MANWIDTH="80")).stdout.decode()
        check(f"man shows {name}.1", all(s in shown for s in ("NAME", "EXIT STATUS", "not encryption")))


def check_programs(root, scratch):
    for name, lines in USAGE.items():
        result = run(os.path.join(root, "usr/bin", name), stdin=subprocess.DEVNULL)
        shown = result.stdout.decode(errors="replace").splitlines()
        check(f"{name} without a file shows its usage", result.returncode == 0 and shown[:len(lines)] == lines,
              f"status {result.returncode}, {shown}")

    work = os.path.join(scratch, "drops")
    os.mkdir(work)
    for name, dropped, produced in DROPS:
        content = os.urandom(3000) + dropped.encode()
        with open(os.path.join(work, dropped), "wb") as f:
            f.write(content)
        result = run(os.path.join(root, "usr/bin", name), dropped, cwd=work, input=b"\n")
        output = os.path.join(work, produced)
        masked = open(output, "rb").read() if os.path.exists(output) else None
        check(f"{name} {dropped} writes {produced} masked",
              result.returncode == 0 and masked == bytes(b ^ MASK for b in content),
              f"status {result.returncode}, output {'missing' if masked is None else 'differs'}")


def check_tgz(tgz, root):
    with tarfile.open(tgz) as archive:
        files = {m.name.split("/", 1)[1] for m in archive.getmembers() if m.isfile()}
    deb_files = {os.path.relpath(os.path.join(d, f), os.path.join(root, "usr"))
                 for d, _, names in os.walk(root) for f in names}
    check("tar.gz holds the files of the deb", files == deb_files, str(files ^ deb_files))


def check_windows(build, version, scratch):
    names = ("Quistel", "Vorlune")
    windres = shutil.which("x86_64-w64-mingw32-windres")
    exes = [os.path.join(build, d, f"{n}.exe") for d, n in zip(("image_tool", "vault_tool"), names)]
    if not os.path.exists(os.path.join(build, "CPackConfig.cmake")) or not all(map(os.path.exists, exes)):
        print(f"skipped: no Windows build in {build}, so no ZIP to check")
        return
    archive = zipfile.ZipFile(make_package(build, "ZIP", scratch))
    listing = {n.split("/", 1)[1]: n for n in archive.namelist() if not n.endswith("/")}
    check("ZIP holds the read-me and both programs",
          set(listing) == {"README.txt", "bin/Quistel.exe", "bin/Vorlune.exe"}, str(sorted(listing)))
    if "README.txt" in listing:
        readme = archive.read(listing["README.txt"])
        check("README.txt has CRLF line ends only", readme.count(b"\n") == readme.count(b"\r\n") > 5)
        check("README.txt names the version, in Chinese and English",
              version.encode() in readme and "伪装".encode() in readme and b"disguise" in readme)
    if windres is None:
        print("skipped: x86_64-w64-mingw32-windres not found, resources unchecked")
        return
    for name in names:
        member = listing.get(f"bin/{name}.exe")
        if member is None:
            continue
        exe = os.path.join(scratch, f"{name}.exe")
        with open(exe, "wb") as f:
            f.write(archive.read(member))
        rc = run(windres, "-J", "coff", "-i", exe, "-O", "rc").stdout.decode(errors="replace")
        groups = re.findall(r"^(\w+) 14 ", rc, re.M)
        check(f"{name}.exe has one icon group, ID 1", groups == ["1"], str(groups))
        images = re.search(r"Has (\d+) elements", rc)
        check(f"{name}.exe icon holds every size", images is not None and int(images.group(1)) == len(ICON_SIZES))
        check(f"{name}.exe keeps its manifest as resource 1", re.search(r"^1 24 ", rc, re.M) is not None)
        values = dict(re.findall(r'VALUE "(\w+)", L?"([^"]*)"', rc))
        expected = {"ProductName": name, "OriginalFilename": f"{name}.exe",
                    "FileVersion": version, "ProductVersion": version}
        check(f"{name}.exe version information", all(values.get(k) == v for k, v in expected.items()), str(values))
        check(f"{name}.exe describes itself", bool(values.get("FileDescription")))
        numeric = ", ".join(version.split(".") + ["0"])
        check(f"{name}.exe numeric file version", f"FILEVERSION {numeric}" in rc)


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
        check_deb(deb, args.version, root)
        check_programs(root, scratch)
        check_tgz(make_package(args.build, "TGZ", scratch), root)
        if args.windows_build:
            check_windows(args.windows_build, args.version, scratch)

    print(f"{failures} check(s) failed" if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

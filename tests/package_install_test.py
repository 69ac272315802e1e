#!/usr/bin/env python3
"""Makes every package with cpack as a release does, with a fixed SOURCE_DATE_EPOCH,
and checks what users get: the .deb, the .tar.gz, the ZIP of each Windows build.

  package_install_test.py SOURCE_DIR BUILD_DIR [CONFIGURED_WINDOWS_BUILD_DIR...]
"""
import calendar, gzip, io, os, re, struct, subprocess, sys, tarfile, tempfile, zipfile
from xml.etree import ElementTree

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from black_box import masked  # noqa: E402

EPOCH = 1767225600  # 2026-01-01 00:00:00 UTC
DROPS = {"quistel": ("cat.png", "cat.png.xyz"), "vorlune": ("clip.mp4.xyz", "clip.mp4")}
ZIP_FILES = {"README.txt", "LICENSE.txt", "bin/Quistel.exe", "bin/Vorlune.exe"}
MACHINES = {"win64": 0x8664, "win32": 0x14C}  # PE machine expected from the ZIP's name
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "shell32.dll", "advapi32.dll", "bcrypt.dll"}
# After machine and time stamp: subsystem (3: console), other DLLs, manifest and icon IDs, manifest.
EXE = (3, [], ["1"], ["1"], "{urn:schemas-microsoft-com:asm.v1}assembly", "asInvoker", "false", "SegmentHeap")
failures = 0


def check(what, ok, detail=""):
    global failures
    failures += not ok
    print(("ok:   " if ok else "FAIL: ") + what + ("" if ok or not detail else f": {detail}"))


def run(*command, **options):
    return subprocess.run(command, capture_output=True, **options)


def make_packages(build, generators, scratch):
    out = os.path.join(scratch, os.path.basename(build))
    cpack = ["cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-G", generators, "-B", out]
    subprocess.run(cpack, check=True, stdout=subprocess.DEVNULL, env=dict(os.environ, SOURCE_DATE_EPOCH=str(EPOCH)))
    return {kind[1]: os.path.join(out, f) for f in os.listdir(out) if (kind := re.search(r"\.(deb|tar\.gz|zip)$", f))}


def entries(name, data):
    """(name, time, owner, content) of each entry of a package, the archives in a .deb opened too."""
    if data.startswith(b"!<arch>\n"):
        at = 8
        while at < len(data):
            header, size = data[at : at + 60], int(data[at + 48 : at + 58])
            member, content = f"{name}/{header[:16].decode().strip()}", data[at + 60 : at + 60 + size]
            yield member, int(header[16:28]), (int(header[28:34]), int(header[34:40])), content
            if ".tar" in member:
                yield from entries(member, content)
            at += 60 + size + size % 2
    elif name.endswith(".zip"):
        with zipfile.ZipFile(io.BytesIO(data)) as zip_file:
            for i in zip_file.infolist():
                yield i.filename, calendar.timegm(i.date_time + (0, 0, 0)), (0, 0), zip_file.read(i)
    else:
        with tarfile.open(fileobj=io.BytesIO(data)) as tar:
            yield from ((m.name, m.mtime, (m.uid, m.gid), m.isfile() and tar.extractfile(m).read() or b"") for m in tar)


def check_reproducible(package, paths):
    found = list(entries(os.path.basename(package), open(package, "rb").read()))
    odd = [(n, t, owner) for n, t, owner, _ in found if (t, owner) != (EPOCH, (0, 0))]
    names = [n for n, *_ in found]  # a .deb keeps its members' order, and cpack sorts its files
    odd += [] if package.endswith(".deb") or names == sorted(names) else [f"not sorted: {names}"]
    check(f"{os.path.basename(package)}: entries sorted, dated SOURCE_DATE_EPOCH, owned by root", not odd, str(odd[:4]))
    leaks = [n for n, _, _, c in found for p in paths if p in (gzip.decompress(c) if c[:2] == b"\x1f\x8b" else c)]
    check(f"{os.path.basename(package)}: no source or build path in any file", not leaks, str(leaks))


def check_deb(deb, tgz, scratch):
    lint = run("lintian", deb).stdout.decode()
    check("lintian: no error and no warning", not re.search(r"^[EW]: ", lint, re.M), lint)
    usr = os.path.join(scratch, "root", "usr")
    subprocess.run(["dpkg", "-x", deb, os.path.dirname(usr)], check=True)
    for name, (dropped, produced) in DROPS.items():
        content = os.urandom(3000) + dropped.encode()
        open(os.path.join(scratch, dropped), "wb").write(content)
        result = run(os.path.join(usr, "bin", name), dropped, cwd=scratch, input=b"\n")
        output = os.path.join(scratch, produced)
        right = result.returncode == 0 and os.path.exists(output) and open(output, "rb").read() == masked(content)
        check(f"installed {name}: {dropped} gives {produced} masked", right, str(result))
        desktop = run("desktop-file-validate", os.path.join(usr, "share/applications", f"{name}.desktop"))
        check(f"{name}.desktop validates cleanly", desktop.returncode == 0 and not desktop.stdout, str(desktop))
        groff = run("groff", "-man", "-ww", "-z", input=gzip.open(f"{usr}/share/man/man1/{name}.1.gz").read())
        check(f"{name}.1 formats without warnings", groff.returncode == 0 and not groff.stderr, str(groff))
    with tarfile.open(tgz) as tar:
        files = {m.name.split("/", 1)[1]: tar.extractfile(m).read() for m in tar if m.isfile()}
    paths = [os.path.join(folder, name) for folder, _, names in os.walk(usr) for name in names]
    deb_files = {os.path.relpath(path, usr): open(path, "rb").read() for path in paths}
    differing = sorted(n for n in files.keys() | deb_files.keys() if files.get(n) != deb_files.get(n))
    check("tar.gz holds the files of the deb", not differing, str(differing))


def exe_facts(path):
    exe, dump = open(path, "rb").read(), run("x86_64-w64-mingw32-objdump", "-p", path).stdout.decode().lower()
    dlls = set(re.findall(r"dll name: (\S+)", dump)) or {"(no imports listed)"}
    rc = run("x86_64-w64-mingw32-windres", "-J", "coff", "-i", path, "-O", "rc").stdout.decode(errors="replace")
    pe = struct.unpack_from("<I", exe, 0x3C)[0]
    listed = (sorted(dlls - SYSTEM_DLLS), re.findall(r"^(\w+) 24 ", rc, re.M), re.findall(r"^(\w+) 14 ", rc, re.M))
    facts = struct.unpack_from("<HxxI", exe, pe + 4) + struct.unpack_from("<H", exe, pe + 24 + 68) + listed  # see EXE
    # Raises ParseError for a malformed manifest: Windows refuses to start such an .exe, Wine runs it.
    manifest = ElementTree.fromstring(exe[exe.find(b"<?xml") : exe.find(b"</assembly>") + 11])
    level = getattr(manifest.find(".//{urn:schemas-microsoft-com:asm.v3}requestedExecutionLevel"), "attrib", {})
    heap = manifest.findtext(".//{http://schemas.microsoft.com/SMI/2020/WindowsSettings}heapType")
    return facts + (manifest.tag, level.get("level"), level.get("uiAccess"), heap)


def check_zip(package, scratch):
    archive, arch = zipfile.ZipFile(package), re.search(r"-(win\d\d)\.zip$", package)[1]
    listing = {n.split("/", 1)[1]: n for n in archive.namelist() if not n.endswith("/")}
    check(f"{arch} ZIP holds the read-me, licence and both programs", set(listing) == ZIP_FILES, str(sorted(listing)))
    for name in sorted(n for n in listing if n.endswith(".exe")):
        got = exe_facts(archive.extract(listing[name], os.path.join(scratch, arch)))
        expected = (MACHINES[arch], EPOCH) + EXE  # strip writes SOURCE_DATE_EPOCH as the link time
        what = f"{arch} {name}: machine, time, console, imports, resources, manifest"
        check(what, got == expected, f"expected {expected}, got {got}")


def main(source, build, *windows_builds):
    build_paths = [os.path.realpath(d).encode() for d in (source, build) + windows_builds]
    with tempfile.TemporaryDirectory() as scratch:
        packages = make_packages(build, "DEB;TGZ", scratch)
        check_deb(packages["deb"], packages["tar.gz"], scratch)
        for windows_build in windows_builds:
            packages[windows_build] = make_packages(windows_build, "ZIP", scratch)["zip"]
            check_zip(packages[windows_build], scratch)
        for package in packages.values():
            check_reproducible(package, build_paths)
    print(f"{failures} check(s) failed" if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))

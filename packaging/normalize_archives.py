#!/usr/bin/env python3
"""Rewrites packages so that the same files always give the same bytes.

cpack already takes its entry times from SOURCE_DATE_EPOCH, but in a .tar.gz
or .zip it adds the files in the order the file system lists them, keeps the
builder's user and group, and writes ZIP times in the local time zone: those
are rewritten sorted by name, owned by root, every entry time
SOURCE_DATE_EPOCH, with no time or name in the gzip header. In a .deb, the
modes of the three members follow the builder's umask: they become 0644.

  normalize_archives.py PACKAGE...
"""
import gzip
import io
import os
import sys
import tarfile
import time
import zipfile


def normalize_tar(path, epoch):
    with tarfile.open(path) as source:
        members = sorted(source.getmembers(), key=lambda member: member.name)
        contents = {m.name: source.extractfile(m).read() for m in members if m.isfile()}
    with open(path, "wb") as raw, gzip.GzipFile("", "wb", 9, raw, mtime=0) as packed, tarfile.open(
        fileobj=packed, mode="w", format=tarfile.GNU_FORMAT
    ) as target:
        for member in members:
            member.mtime, member.uid, member.gid, member.uname, member.gname = epoch, 0, 0, "root", "root"
            target.addfile(member, io.BytesIO(contents[member.name]) if member.isfile() else None)


def normalize_zip(path, epoch):
    with zipfile.ZipFile(path) as source:
        entries = [(info, source.read(info)) for info in sorted(source.infolist(), key=lambda i: i.filename)]
    with zipfile.ZipFile(path, "w") as target:
        for old, data in entries:
            info = zipfile.ZipInfo(old.filename, time.gmtime(epoch)[:6])
            info.create_system, info.external_attr = 3, old.external_attr  # Unix modes
            info.compress_type = zipfile.ZIP_STORED if old.is_dir() else zipfile.ZIP_DEFLATED
            target.writestr(info, data, compresslevel=9)


def normalize_deb(path, epoch):
    data = bytearray(open(path, "rb").read())
    at = len(b"!<arch>\n")
    while at < len(data):  # 60-byte member headers; the mode is octal text at 40..48
        data[at + 40 : at + 48] = b"100644  "
        size = int(data[at + 48 : at + 58])
        at += 60 + size + size % 2
    open(path, "wb").write(data)


def main():
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", time.time()))
    for path in sys.argv[1:]:
        {".zip": normalize_zip, ".deb": normalize_deb}.get(os.path.splitext(path)[1], normalize_tar)(path, epoch)


if __name__ == "__main__":
    main()

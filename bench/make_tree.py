#!/usr/bin/env python3
"""Makes the source-like benchmark payload: a ZIP archive of the regular files and directories
below /usr/include and the Python 3.11 library (about 9,400 files in 940 directories), deflated,
with each file's mode and modification time (read as UTC: run with TZ=UTC).

    bench/make_tree.py OUT.zip [SOURCE_DIR ...]

Links, sockets and the like are left out; so are files that cannot be read. Entries are in the
order of a sorted walk, each directory before what it holds, as zip -r writes them. Prints the
number of files and directories.
"""
import os
import sys
import zipfile

DEFAULT_SOURCES = ["/usr/include", "/usr/lib/python3.11"]


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    sources = sys.argv[2:] or DEFAULT_SOURCES
    files = directories = 0
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as archive:
        for source in sources:
            top = os.path.basename(source.rstrip("/"))
            for root, dirs, names in os.walk(source):
                dirs.sort()
                relative = os.path.join(top, os.path.relpath(root, source)).rstrip(".").rstrip("/")
                info = zipfile.ZipInfo.from_file(root, relative + "/")
                archive.writestr(info, b"")
                directories += 1
                for name in sorted(names):
                    path = os.path.join(root, name)
                    if os.path.islink(path) or not os.path.isfile(path):
                        continue
                    try:
                        with open(path, "rb") as stream:
                            data = stream.read()
                    except OSError:
                        continue
                    info = zipfile.ZipInfo.from_file(path, relative + "/" + name)
                    info.compress_type = zipfile.ZIP_DEFLATED
                    archive.writestr(info, data)
                    files += 1
    print(f"{files} files, {directories} directories")


if __name__ == "__main__":
    main()

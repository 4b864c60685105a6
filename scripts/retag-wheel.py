#!/usr/bin/env python3
"""Gives a wheel another platform tag: renames it and rewrites the Tag lines of its WHEEL file and
the RECORD, every other entry (bytes, order, timestamps, modes) left as it was, so that the same
wheel retagged twice gives the same bytes. scripts/release.sh retags what auditwheel confirms.

    scripts/retag-wheel.py WHEEL PLATFORM    e.g. manylinux1_x86_64.manylinux_2_5_x86_64

Writes the retagged wheel beside WHEEL, removes WHEEL and prints the new path. Standard library
only.
"""
import base64
import csv
import hashlib
import io
import os
import re
import sys
import zipfile


def retag(path, platform):
    directory, name = os.path.split(path)
    # name-version-[build-]python-abi-platform.whl
    parts = name[:-len(".whl")].split("-")
    if not name.endswith(".whl") or len(parts) not in (5, 6):
        raise SystemExit("retag-wheel: %s is not named as a wheel" % name)
    python_tags, abi_tags = parts[-3].split("."), parts[-2].split(".")
    parts[-1] = platform
    target = os.path.join(directory, "-".join(parts) + ".whl")
    tags = ["%s-%s-%s" % (python, abi, plat) for python in python_tags for abi in abi_tags
            for plat in platform.split(".")]
    with zipfile.ZipFile(path) as source:
        entries = [(info, source.read(info)) for info in source.infolist()]
    dist_info = "%s-%s.dist-info/" % (parts[0], parts[1])
    record = dist_info + "RECORD"
    if not any(info.filename == record for info, _ in entries):
        raise SystemExit("retag-wheel: %s has no %s" % (name, record))
    rows = []
    rewritten = []
    for info, data in entries:
        if info.filename == dist_info + "WHEEL":
            text = data.decode("utf-8")
            text = re.sub(r"(?m)^Tag: .*\n", "", text) + "".join("Tag: %s\n" % tag for tag in tags)
            data = text.encode("utf-8")
        if info.filename != record:
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            rows.append((info.filename, "sha256=" + digest.decode("ascii"), str(len(data))))
        rewritten.append((info, data))
    rows.append((record, "", ""))
    text = io.StringIO()
    csv.writer(text, lineterminator="\n").writerows(rows)
    partial = target + ".partial"
    with zipfile.ZipFile(partial, "w") as archive:
        for info, data in rewritten:
            if info.filename == record:
                data = text.getvalue().encode("utf-8")
            archive.writestr(info, data)
    os.chmod(partial, 0o644)
    os.replace(partial, target)
    if target != path:
        os.unlink(path)
    return target


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.stderr.write("usage: scripts/retag-wheel.py WHEEL PLATFORM\n")
        sys.exit(2)
    sys.stdout.write(retag(sys.argv[1], sys.argv[2]) + "\n")

"""Packs a dataset directory into one zip archive, byte for byte the same on
every build: members in sorted order, fixed time stamps and modes, stored
uncompressed (the images are compressed already, and no zlib version can
change the bytes).

usage: python pack_sample_data.py SOURCE_DIR ARCHIVE
The members are named <basename of SOURCE_DIR>/<class>/<file>.
"""
import sys
import zipfile
from pathlib import Path


def pack(source: Path, archive: Path) -> None:
    files = sorted(p for p in source.rglob("*") if p.is_file())
    archive.parent.mkdir(parents=True, exist_ok=True)
    partial = archive.with_name(archive.name + ".partial")
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_STORED) as out:
        for path in files:
            member = zipfile.ZipInfo(f"{source.name}/{path.relative_to(source).as_posix()}",
                                     date_time=(1980, 1, 1, 0, 0, 0))
            member.external_attr = 0o644 << 16
            member.create_system = 3
            out.writestr(member, path.read_bytes())
    partial.replace(archive)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    pack(Path(sys.argv[1]), Path(sys.argv[2]))

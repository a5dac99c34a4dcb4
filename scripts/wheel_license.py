"""Sets a built wheel's License-Expression to what the wheel carries.

The sdist and a source build are the project's own code (MIT), but a manylinux
wheel also carries GMP and Nettle (each LGPL-3.0-or-later or GPL-2.0-or-later)
and, inside the extension, the LLVM C++ runtime its compiler links statically
(Apache-2.0 WITH LLVM-exception). The wheel's METADATA is rewritten in place and
its RECORD updated to match.

Usage: python scripts/wheel_license.py WHEEL EXPRESSION
"""

import base64
import hashlib
import sys
import zipfile
from pathlib import Path


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def with_expression(metadata: str, expression: str) -> str:
    lines = metadata.split("\n")
    found = [i for i, line in enumerate(lines) if line.startswith("License-Expression:")]
    if len(found) != 1:
        raise SystemExit(f"wheel_license: expected one License-Expression in METADATA, found {len(found)}")
    lines[found[0]] = f"License-Expression: {expression}"
    return "\n".join(lines)


def relicense(wheel: Path, expression: str) -> None:
    with zipfile.ZipFile(wheel) as source:
        # Folders are not part of a wheel's contents (auditwheel's entries for
        # them would land in RECORD as files).
        entries = [(info, source.read(info)) for info in source.infolist() if not info.is_dir()]
    record_name = next(info.filename for info, _ in entries if info.filename.endswith(".dist-info/RECORD"))
    metadata_name = record_name.removesuffix("RECORD") + "METADATA"
    rewritten = []
    for info, data in entries:
        if info.filename == metadata_name:
            data = with_expression(data.decode(), expression).encode()
        rewritten.append((info, data))
    record = [record_line(info.filename, data) for info, data in rewritten if info.filename != record_name]
    record.append(f"{record_name},,")
    scratch = wheel.with_suffix(".tmp")
    with zipfile.ZipFile(scratch, "w", zipfile.ZIP_DEFLATED) as target:
        for info, data in rewritten:
            if info.filename == record_name:
                data = ("\n".join(record) + "\n").encode()
            target.writestr(info, data, compress_type=zipfile.ZIP_DEFLATED)
    scratch.replace(wheel)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    relicense(Path(sys.argv[1]), sys.argv[2])

"""Cross builds: lets test scripts start the programs under test as they are.

When QRN_TEST_EMULATOR is set (by CTest, see cmake/emulated-tests.cmake), a
program started through subprocess whose ELF machine differs from this Python's
runs under that emulator command instead of being executed directly. Native
programs (readelf, sqlite3, ...) start as usual.
"""

import os
import shlex
import subprocess

_EMULATOR = shlex.split(os.environ.get("QRN_TEST_EMULATOR", ""))


def _elf_machine(path):
    """e_machine of an ELF file, or None for anything else."""
    try:
        with open(path, "rb") as f:
            head = f.read(20)
    except OSError:
        return None
    if len(head) < 20 or head[:4] != b"\x7fELF":
        return None
    return int.from_bytes(head[18:20], "little" if head[5] == 1 else "big")


_NATIVE = _elf_machine("/proc/self/exe")


class _EmulatingPopen(subprocess.Popen):
    def __init__(self, args, *rest, **kwargs):
        if _EMULATOR and not kwargs.get("shell") and kwargs.get("executable") is None:
            argv = [args] if isinstance(args, (str, bytes, os.PathLike)) else list(args)
            if argv:
                machine = _elf_machine(os.fsdecode(argv[0]))
                if machine is not None and machine != _NATIVE:
                    args = [*_EMULATOR, *argv]
        super().__init__(args, *rest, **kwargs)


if _EMULATOR:
    subprocess.Popen = _EmulatingPopen

import os
import shlex
import subprocess
import sys
import textwrap

sys.path.insert(0, os.path.dirname(__file__))

IS_32_BIT = sys.maxsize < 2**32


def interpreter_command():
    """How to start this same interpreter (under qemu on the emulated builds)."""
    root = os.environ.get("TESSALY_QEMU_PREFIX")
    if root:
        qemu = os.environ["TESSALY_QEMU"]
        return shlex.split(qemu) + ["-E", "PYTHONPATH=" + os.environ.get("PYTHONPATH", ""),
                                    "-E", "TESSALY_QEMU_PREFIX=" + root, "-E", "TESSALY_QEMU=" + qemu,
                                    sys.executable]
    return [sys.executable]


def run_python(code, env=None, timeout=300):
    """Runs `code` in a fresh interpreter with the same tessaly build importable."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    command = interpreter_command()
    if len(command) > 1:
        # The emulated program's own environment, apart from qemu's.
        for name, value in (env or {}).items():
            command[1:1] = ["-E", f"{name}={value}"]
    return subprocess.run(command + ["-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=full_env, timeout=timeout)


class Hook:
    """A number whose conversion (as float or as index) runs `callback` first."""

    def __init__(self, value, callback):
        self.value, self.callback = value, callback

    def __float__(self):
        self.callback()
        return float(self.value)

    def __index__(self):
        self.callback()
        return int(self.value)

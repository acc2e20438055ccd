"""The module built for CPython 3.14 says so, and only a 3.14 interpreter takes it.

On 3.14 (``make test-py314``) these check the module that was imported and its version gate. On
any other interpreter they check that the 3.14 module file named by KELVRA_PY314_MODULE refuses
to load; ``make test-py314`` runs that part with the host's interpreter after the tree run.
"""

import importlib.machinery
import importlib.util
import os
import re
import subprocess
import sys
import sysconfig
import textwrap

import pytest

TARGET = "3.14"
ON_TARGET = sys.version_info[:2] == (3, 14)
FOREIGN_MODULE = os.environ.get("KELVRA_PY314_MODULE")


def mismatch(version):
    return (
        f"Python version mismatch: module was compiled for Python {TARGET}, "
        f"but the interpreter version is incompatible: {version}."
    )


@pytest.mark.skipif(not ON_TARGET, reason="runs on CPython 3.14 only (make test-py314)")
class TestBuiltFor314:
    def test_file_name_carries_this_interpreters_tag(self):
        import kelvra

        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        assert os.path.basename(kelvra.__file__) == "kelvra" + suffix
        tag = re.match(r"\.cpython-(\d)(\d+)", suffix)
        assert tag is not None, suffix
        assert f"{tag[1]}.{tag[2]}" == TARGET

    # The module reads the interpreter's version string (Py_GetVersion, not sys.version) when it
    # is loaded. A fresh interpreter overwrites that string in place before importing, so the
    # gate can be shown other versions than the one actually running.
    PROBE = textwrap.dedent(
        """
        import ctypes, sys
        fake = sys.argv[1].encode()
        get = ctypes.pythonapi.Py_GetVersion
        get.restype = ctypes.c_void_p
        ctypes.memmove(get(), fake + b"\\0", len(fake) + 1)
        get.restype = ctypes.c_char_p
        if get() != fake:
            print("unpatched")
            raise SystemExit
        try:
            import kelvra
        except ImportError as e:
            print("refused", e)
        else:
            print("accepted", kelvra.DataFrame().shape())
        """
    )

    @pytest.mark.parametrize(
        ("version", "accepted"),
        [
            ("3.14.0 (main) [GCC]", True),
            ("3.14 (custom build)", True),
            ("3.14a1", True),
            ("3.13.9 (main) [GCC]", False),
            ("3.140.1", False),
            ("3.1", False),
        ],
    )
    def test_version_gate(self, version, accepted):
        run = subprocess.run(
            [sys.executable, "-c", self.PROBE, version],
            capture_output=True,
            text=True,
            check=False,
        )
        assert run.returncode == 0, run.stderr
        out = run.stdout.strip()
        if out == "unpatched":
            pytest.skip("this interpreter rebuilds its version string on every call")
        expected = "accepted (0, 0)" if accepted else f"refused {mismatch(version)}"
        assert out == expected


@pytest.mark.skipif(
    not FOREIGN_MODULE, reason="KELVRA_PY314_MODULE does not name a 3.14 module file"
)
@pytest.mark.skipif(ON_TARGET, reason="needs an interpreter other than 3.14 to be refused")
class TestRefusedElsewhere:
    def test_host_interpreter_refuses_the_module(self):
        loader = importlib.machinery.ExtensionFileLoader("kelvra", FOREIGN_MODULE)
        module_spec = importlib.util.spec_from_file_location("kelvra", FOREIGN_MODULE, loader=loader)
        # Symbols this interpreter lacks are bound only when first called, so the module's own
        # version check runs before the dynamic loader could object to them.
        flags = sys.getdlopenflags()
        sys.setdlopenflags(os.RTLD_LAZY)
        try:
            with pytest.raises(ImportError) as refused:
                importlib.util.module_from_spec(module_spec)
        finally:
            sys.setdlopenflags(flags)
        message = str(refused.value)
        if FOREIGN_MODULE in message and not message.startswith("Python version mismatch"):
            # The dynamic loader's own refusal (a library version or symbol this system lacks).
            pytest.skip(f"the module cannot be loaded far enough to check: {message}")
        assert message == mismatch(sys.version)

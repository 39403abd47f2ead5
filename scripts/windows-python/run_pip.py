"""Runs pip from its wheel inside this interpreter.

    python.exe run_pip.py <pip wheel> <pip arguments>

The embeddable distribution has no pip of its own, and its ._pth file makes it ignore
PYTHONPATH, so the wheel goes onto sys.path here.
"""
import runpy
import sys
import threading
import time

# Under Wine 8, pip inside CPython 3.12 stops for good soon after it starts unless a
# second Python thread exists; one that only sleeps is enough.
threading.Thread(target=time.sleep, args=(24 * 3600,), daemon=True, name="keep-pip-going").start()

# Wine 8's WMI lacks propsys.VariantToString, which the _wmi module calls (pip asks
# platform for the Windows version); without _wmi, platform asks the version API.
sys.modules["_wmi"] = None

wheel, *arguments = sys.argv[1:]
sys.path.insert(0, wheel)
sys.argv = ["pip", *arguments]
runpy.run_module("pip", run_name="__main__", alter_sys=True)

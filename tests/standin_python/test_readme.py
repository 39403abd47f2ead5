"""The README's quick start, run as it stands against the installed modules."""
import re

from conftest import ROOT, run_python


def test_quick_start_runs(store):
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    block = re.search(r"^```python\n(.*?)^```$", readme, re.MULTILINE | re.DOTALL)
    assert block is not None, "README.md has no python block"
    # Twice: the quick start enrols afresh on every run, and what it verifies is real.
    for _ in range(2):
        result = run_python(block.group(1), store, check=False)
        assert result.returncode == 0, result.stderr
    assert [p.name for p in store.iterdir() if p.suffix == ".key"] == ["alice.key"]

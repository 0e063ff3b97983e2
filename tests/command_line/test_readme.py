"""The README's worked examples run and print what the README says they print."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"


# Every Python block of the README followed by "prints" and the text it prints.
EXAMPLES = re.findall(r"```python\n(.*?)```\n\nprints\n\n```\n(.*?)```", README.read_text(),
                      re.S)


def test_the_readme_has_its_worked_examples():
    assert len(EXAMPLES) == 2


@pytest.mark.parametrize("code, shown", EXAMPLES, ids=["fit_zscan", "tarvo.fit"])
def test_worked_example_prints_what_the_readme_shows(tmp_path, code, shown):
    script = tmp_path / "example.py"
    script.write_text(code)
    run = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True,
                         text=True, check=True)
    assert run.stdout == shown

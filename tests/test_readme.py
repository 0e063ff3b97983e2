"""The README's worked example runs and prints what the README says it prints."""

import re
import subprocess
import sys
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"


def test_worked_example_prints_what_the_readme_shows(tmp_path):
    text = README.read_text()
    code = re.search(r"```python\n(.*?)```", text, re.S).group(1)
    shown = re.search(r"prints\n\n```\n(.*?)```", text, re.S).group(1)
    script = tmp_path / "example.py"
    script.write_text(code)
    run = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True,
                         text=True, check=True)
    assert run.stdout == shown

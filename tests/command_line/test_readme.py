"""The README and the user guide hold what they promise: their worked examples
run and print what they say they print; their commands use options the tool
has and make targets the Makefile has; the README stays one short page, its
layout names every folder of the repository and only folders that exist, and
its links lead to files that exist."""

import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
TEXT = README.read_text()
# The README and the user guide it links to for everything else.
GUIDE_TEXT = (ROOT / "docs" / "guide.md").read_text()
BOTH = TEXT + GUIDE_TEXT
# The README is the first page a researcher reads: everything else is in the guide.
MOST_README_LINES = 400

# Every Python block of both followed by "prints" and the text it prints.
EXAMPLES = re.findall(r"```python\n(.*?)```\n\nprints\n\n```\n(.*?)```", BOTH, re.S)

# The tool's commands.
COMMANDS = ["fit", "batch", "plan", "simulate", "init"]
# Options of other programs the README shows (pip, dask worker).
FOREIGN_OPTIONS = {"--no-build-isolation", "--nworkers", "--nthreads"}
# What every researcher looks for, as the README's section headings.
SECTIONS = ["Quick start", "Installation", "Your own data", "The result files",
            "Python API", "Citing the method", "Layout"]


# The text of the section under the level-2 heading `title`.
def section(title):
    match = re.search(rf"^## {re.escape(title)}\n(.*?)(?=^## |\Z)", TEXT, re.S | re.M)
    assert match, f"README has no section '## {title}'"
    return match.group(1)


# The options a help text lists.
def options_in(text):
    return set(re.findall(r"(?<![\w-])--[a-z][a-z0-9-]*", text))


@pytest.fixture(scope="module")
def tool_options():
    """Options of the top-level tool (key None) and of each command, from their --help."""
    def help_text(*args):
        run = subprocess.run([sys.executable, "-m", "tarvo", *args, "--help"],
                             capture_output=True, text=True, check=True, cwd=ROOT)
        return run.stdout
    options = {None: options_in(help_text())}
    for command in COMMANDS:
        options[command] = options_in(help_text(command))
    return options


def test_the_readme_has_its_worked_examples_and_stays_short():
    assert len(EXAMPLES) == 2
    assert len(TEXT.splitlines()) <= MOST_README_LINES


@pytest.mark.parametrize("code, shown", EXAMPLES, ids=["tarvo.fit", "fit_zscan"])
def test_worked_example_prints_what_the_readme_shows(tmp_path, code, shown):
    script = tmp_path / "example.py"
    script.write_text(code)
    run = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True,
                         text=True, check=True)
    assert run.stdout == shown


@pytest.mark.parametrize("title", SECTIONS)
def test_the_readme_has_the_section(title):
    assert section(title).strip()


@pytest.mark.parametrize("command", ["make demo", "make test"])
def test_quick_start_shows_the_command(command):
    assert re.search(rf"^    {command}\b", section("Quick start"), re.M)


# Every command line of the README's code blocks: (command, options).
def command_lines():
    lines = []
    for line in re.findall(r"^    (?:\.venv/bin/)?tarvo (.*)$", BOTH, re.M):
        words = line.split("#")[0].split()
        command = words[0] if words and words[0] in COMMANDS else None
        lines.append(pytest.param(command, sorted(options_in(" ".join(words))),
                                  id=f"tarvo {line.split('#')[0].strip()}"))
    return lines


@pytest.mark.parametrize("command, options", command_lines())
def test_command_line_uses_options_of_its_command(tool_options, command, options):
    assert set(options) <= tool_options[command], (
        f"not options of tarvo {command or ''}: {set(options) - tool_options[command]}")


def test_every_option_the_readme_names_is_an_option_of_the_tool(tool_options):
    known = set().union(*tool_options.values()) | FOREIGN_OPTIONS
    assert options_in(BOTH) - known == set()


# `make TARGET` as the README and the developer pages write it (in code).
def make_targets_named():
    texts = [TEXT] + [page.read_text() for page in sorted((ROOT / "docs").glob("*.md"))]
    return sorted({t for text in texts
                   for t in re.findall(r"(?:`|^    |^# )make ([a-z][a-z-]*)", text, re.M)})


@pytest.mark.parametrize("target", make_targets_named())
def test_make_target_named_in_the_documentation_exists(target):
    makefile = (ROOT / "Makefile").read_text()
    assert re.search(rf"^{re.escape(target)}:", makefile, re.M), f"no make target {target}"


# The folders of the README's layout table, as written (`model/common/`).
def layout_folders():
    return re.findall(r"^\| `([^`]+)/` \|", section("Layout"), re.M)


def tracked_files():
    if shutil.which("git") is None:
        pytest.skip("git is not installed")
    run = subprocess.run(["git", "ls-files"], cwd=ROOT, capture_output=True, text=True)
    if run.returncode != 0:
        pytest.skip("not a git checkout")
    return [Path(name) for name in run.stdout.splitlines()]


@pytest.mark.parametrize("folder", layout_folders())
def test_layout_folder_exists(folder):
    assert (ROOT / folder).is_dir()


def test_layout_names_every_folder_of_the_repository():
    listed = set(layout_folders())
    missing = set()
    for path in tracked_files():
        if len(path.parts) < 2:
            continue
        top = path.parts[0]
        if top in listed:
            continue
        # A folder the table lists by its subfolders: each of them must be listed.
        if len(path.parts) < 3 or "/".join(path.parts[:2]) not in listed:
            missing.add("/".join(path.parts[:2]) if len(path.parts) >= 3 else top)
    assert missing == set(), f"folders the README's layout does not name: {sorted(missing)}"


# Relative links of the README: [text](target).
@pytest.mark.parametrize("target", sorted(set(re.findall(r"\]\(([^)#:]+)\)", TEXT))))
def test_readme_link_leads_to_a_file(target):
    assert (ROOT / target).is_file()

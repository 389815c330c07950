"""What a new user runs first: every shell and Python block of README.md as
written (a block preceded by ``<!-- not-run: reason -->`` is left out, with its
reason), the ``vorlan`` commands of the site's shell blocks at a few steps (the
pages' Python runs when the site is built), every script of examples/ at small
sizes, and the package's surface."""

import os
import pathlib
import re
import shlex
import subprocess
import sys

import pytest

import vorlan
from conftest import PACKAGE_ROOT

REPO = pathlib.Path(__file__).resolve().parents[2]
README = REPO / "README.md"
BLOCK = re.compile(r"(?:<!-- not-run: (?P<reason>[^>]*) -->\n)?```(?P<lang>sh|python)\n(?P<body>.*?)```", re.S)

# The arguments that make each example a run of seconds.
EXAMPLE_ARGS = {
    "run.py": ["examples/lj_liquid.par"],
    "isotherm.py": ["--steps", "200", "--replicas", "1", "--workers", "1", "--out", "isotherm-out",
                    "--figure", "isotherm.png"],
    "monte_carlo.py": ["--n", "108", "--sweeps", "5", "--md-steps", "40"],
    "sweep.py": ["--steps", "20", "--replicas", "1", "--workers", "1", "--out", "sweep-out"],
}


def readme_blocks():
    blocks = []
    for i, m in enumerate(BLOCK.finditer(README.read_text(encoding="utf-8"))):
        marks = [pytest.mark.skip(reason=m["reason"])] if m["reason"] else []
        blocks.append(pytest.param(m["lang"], m["body"], id=f"{m['lang']}-{i}", marks=marks))
    return blocks


def docs_commands():
    """Each shell block of the site's pages that holds ``vorlan`` commands, as
    one list of command lines (continuations joined), run at 20 steps."""
    blocks = []
    for page in sorted((REPO / "docs").rglob("*.md")):
        for i, m in enumerate(BLOCK.finditer(page.read_text(encoding="utf-8"))):
            if m["lang"] != "sh" or m["reason"]:
                continue
            lines = [line.split("#", 1)[0].strip() for line in m["body"].replace("\\\n", " ").splitlines()]
            commands = [shlex.split(line) for line in lines if line.startswith("vorlan ")]
            if commands:
                name = f"{page.relative_to(REPO / 'docs')}-{i}"
                blocks.append(pytest.param([few_steps(c) for c in commands], id=name))
    return blocks


def few_steps(argv):
    """argv with --steps 20 for the commands that run simulations, and a frame
    at every step where they write a trajectory (enough frames to analyse)."""
    if argv[1] not in ("run", "sweep"):
        return argv
    for option in ("--steps", "--every"):
        if option in argv:
            argv = argv[:argv.index(option)] + argv[argv.index(option) + 2:]
    return argv + ["--steps", "20"] + (["--every", "1"] if "--trajectory" in argv else [])


def environment():
    env = dict(os.environ, OMP_NUM_THREADS="1", MPLBACKEND="Agg")
    env["PYTHONPATH"] = os.pathsep.join([PACKAGE_ROOT] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return env


def run(argv, folder):
    """Runs argv in `folder` (which sees the repository's examples as examples/);
    `vorlan` is this interpreter's command, whether or not its script is on PATH."""
    if argv[0] == "vorlan":
        argv = [sys.executable, "-m", "vorlan"] + argv[1:]
    elif argv[0] in ("python", "python3"):
        argv = [sys.executable] + argv[1:]
    done = subprocess.run(argv, cwd=folder, env=environment(), capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, f"{' '.join(argv)} exited with {done.returncode}:\n{done.stdout}\n{done.stderr}"
    return done


@pytest.fixture
def folder(tmp_path):
    (tmp_path / "examples").symlink_to(REPO / "examples")
    return tmp_path


@pytest.mark.parametrize("lang,body", readme_blocks())
def test_readme_block_runs_as_written(lang, body, folder):
    if lang == "python":
        run([sys.executable, "-c", body], folder)
        return
    for line in body.splitlines():
        command = line.split("#", 1)[0].strip()
        if command:
            run(shlex.split(command), folder)


@pytest.mark.parametrize("commands", docs_commands())
def test_docs_commands_run(commands, folder):
    for argv in commands:
        run(argv, folder)


@pytest.mark.parametrize("script", sorted(p.name for p in (REPO / "examples").glob("*.py")))
def test_example_runs_as_a_script(script, folder):
    assert script in EXAMPLE_ARGS, f"examples/{script} has no small-size arguments in EXAMPLE_ARGS"
    run([sys.executable, f"examples/{script}"] + EXAMPLE_ARGS[script], folder)


def test_package_surface_lists_the_public_api():
    for name in vorlan.__all__:
        assert getattr(vorlan, name) is not None
    assert {"Simulation", "sweep", "lattice", "read_start", "units", "analysis", "Bussi", "CRescale"} <= set(vorlan.__all__)
    assert set(vorlan.__all__) <= set(dir(vorlan))
    stated = re.search(r'^version = "(.+)"', (REPO / "pyproject.toml").read_text(encoding="utf-8"), re.M)
    assert vorlan.__version__ == stated.group(1)


def test_readme_links_name_files_that_exist():
    links = re.findall(r"\]\(([^)#]+)\)", README.read_text(encoding="utf-8"))
    missing = [link for link in links if "://" not in link and not (REPO / link).exists()]
    assert links and not missing, f"README links to files that do not exist: {missing}"

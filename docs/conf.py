"""Sphinx configuration of vorlan's documentation site.

Built by ``make docs`` against the package of the CMake build (PYTHONPATH points
at build/cmake/python): the API pages, the command reference and the table of
parameter keys are made from the code at build time, and the tutorials and the
pages with code cells are executed, so a page whose code breaks fails the build.
"""

import json
import os
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE / "_ext"))

import vorlan  # noqa: E402  (the package of the build the site describes)

project = "vorlan"
author = "The vorlan developers"
copyright = "2026, the vorlan developers (BSD-3-Clause)"
release = vorlan.__version__
version = release

extensions = [
    "myst_nb",                 # MyST Markdown, and pages with code cells executed at build time
    "sphinx.ext.autodoc",
    "sphinx.ext.mathjax",
    "sphinxarg.ext",           # the vorlan command's reference from its argparse parser
    "vorlan_docs",             # the generated API pages, settings and methods tables, command runs
]

exclude_patterns = ["_build", "**/.ipynb_checkpoints", "**/README.md"]
templates_path = []
html_static_path = []

html_theme = "furo"
html_title = f"vorlan {release}"
html_theme_options = {"source_repository": "", "navigation_with_keys": True}

myst_enable_extensions = ["colon_fence", "dollarmath", "deflist", "substitution", "attrs_inline"]
myst_heading_anchors = 3

# The page on adding a pair potential comes with the potentials themselves: the
# landing page links it once it is there, the developer guide until then.
_potential = (HERE / "developer" / "add-a-potential.md").exists()
myst_substitutions = {
    "add_a_potential": "[Add a potential](developer/add-a-potential.md)" if _potential
    else "[Add a potential: the developer guide](developer/index.md)",
}

# Pages with code cells run in one scratch folder that holds the examples, so
# that they read "examples/lj_liquid.par" as a user in the repository would and
# leave their outputs in the build, not in the sources.
RUN_DIR = ROOT / "build" / "docs-run"
RUN_DIR.mkdir(parents=True, exist_ok=True)
if not (RUN_DIR / "examples").exists():
    (RUN_DIR / "examples").symlink_to(ROOT / "examples")
os.environ["VORLAN_DOCS_RUN"] = str(RUN_DIR)
# The kernels start in other folders: they find the package by absolute paths
# (a relative entry is taken from the repository root, where make runs).
os.environ["PYTHONPATH"] = os.pathsep.join(
    str(ROOT / p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p)
# The pages' kernel is the interpreter that builds the site (the one the module
# was built for), whatever "python" is on PATH: a kernel spec of that name first
# on the kernels' search path.
KERNEL = RUN_DIR / "jupyter" / "kernels" / "python3"
KERNEL.mkdir(parents=True, exist_ok=True)
(KERNEL / "kernel.json").write_text(json.dumps({
    "argv": [sys.executable, "-m", "ipykernel_launcher", "-f", "{connection_file}"],
    "display_name": "Python 3", "language": "python"}))
os.environ["JUPYTER_PATH"] = os.pathsep.join([str(RUN_DIR / "jupyter"), os.environ.get("JUPYTER_PATH", "")])
os.environ.setdefault("OMP_NUM_THREADS", "1")

nb_execution_mode = "force"
nb_execution_raise_on_error = True
nb_execution_show_tb = True
nb_execution_timeout = 180
nb_merge_streams = True
nb_output_stderr = "remove"      # warnings of third-party imports (tqdm under MDAnalysis), not results

autodoc_member_order = "bysource"
autodoc_typehints = "description"
autodoc_typehints_format = "short"
autodoc_default_options = {"show-inheritance": False}

# Cross-references are checked, except to the packages whose own inventories the
# offline build cannot fetch (NumPy, pandas, the standard library's typing).
nitpicky = True
nitpick_ignore_regex = [
    (r"py:.*", r"(numpy|np|numpy\.typing|pandas|pd|os|typing|typing_extensions|pathlib|collections\.abc|"
               r"concurrent\.futures|ase|gsd|argparse|io|types|enum|warnings)\..*"),
    (r"py:class", r"(ArrayLike|NDArray|PathLike|Path|Any|Callable|Iterable|Iterator|Mapping|Sequence|"
                  r"Optional|Union|Dict|List|Tuple|Set|Executor|Future|DataFrame|ndarray|Atoms|"
                  r"int|float|str|bool|bytes|None|object|dict|list|tuple|type|callable|optional|"
                  r"array|array_like|sequence|mapping|path|dtype|numbers\..*|_io\..*)"),
    (r"py:(class|obj|data)", r".*\._.*"),
    (r"py:class", r"methods\.Method"),   # the union of the method classes, named relative to its module
    (r"py:class", r"vorlan\.transport\.Diffusion"),  # documented where vorlan.analysis hands it on
]

# The libraries' own INFO lines (the kernel client's, gsd's when a page runs
# the command in this process) are not the build's messages.
import logging  # noqa: E402

for _name in ("traitlets", "gsd", "gsd.fl", "gsd.hoomd"):
    logging.getLogger(_name).setLevel(logging.WARNING)

"""What the site makes from the code at build time.

- The API pages: one page per public module of the package, written into
  reference/api/ when the configuration is read (new modules appear on their own;
  an object re-exported from another module is documented once, at its home).
- ``{vorlan-settings}``: the table of parameter keys from the engine's own rules
  (``vorlan._core.setting_rules()``, through ``vorlan.params.KEYS``).
- ``{vorlan-methods}``: the integration methods and the barostat with their
  parameters, from the classes of ``vorlan.methods``.
- ``{vorlan-command}``: runs ``vorlan ARGS`` in the docs' scratch folder during
  the build and shows the command with what it printed; an exit status other
  than the one the page states is a build error.
"""

from __future__ import annotations

import contextlib
import importlib
import inspect
import io
import os
import pathlib
import pkgutil
import shlex
from typing import Any, Dict, List

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

LOG = logging.getLogger(__name__)

# Modules kept under their old names for existing callers: their objects live in
# vorlan.io, where they are documented.
ALIASES = {"vorlan.movie", "vorlan.trajectory"}


def public_modules(package: str = "vorlan") -> List[str]:
    """The package and its modules whose dotted names have no part starting with
    an underscore, in alphabetical order; the command's modules are documented
    by its parser (reference/command-line)."""
    root = importlib.import_module(package)
    names = [package]
    for info in pkgutil.walk_packages(root.__path__, prefix=package + "."):
        parts = info.name.split(".")
        if any(p.startswith("_") for p in parts) or info.name.startswith(package + ".cli"):
            continue
        names.append(info.name)
    return sorted(names)


def _home_members(module: Any) -> List[str]:
    """The names of `module`'s __all__ that are defined there (functions, classes)
    or are plain data of it; re-exports are left to their own module's page."""
    members = []
    for name in getattr(module, "__all__", []):
        obj = getattr(module, name, None)
        if inspect.ismodule(obj):
            continue
        home = getattr(obj, "__module__", None)
        if (inspect.isclass(obj) or inspect.isfunction(obj) or callable(obj)) and home != module.__name__:
            continue
        members.append(name)
    return members


def api_page(name: str) -> str:
    module = importlib.import_module(name)
    title = f"`{name}`"
    lines = [f"# {title}", "", "```{eval-rst}", f".. automodule:: {name}"]
    members = [] if name == "vorlan" or name in ALIASES else _home_members(module)
    if members:
        lines.append(f"   :members: {', '.join(members)}")
        lines.append("   :undoc-members:")
    lines += ["```", ""]
    if name == "vorlan":
        lines += ["## Public names", ""]
        for public in vorlan_public_names(module):
            obj = getattr(module, public)
            home = obj.__name__ if inspect.ismodule(obj) else f"{getattr(obj, '__module__', name)}.{public}"
            lines.append(f"- `{public}`: {home}")
        lines.append("")
    return "\n".join(lines)


def vorlan_public_names(module: Any) -> List[str]:
    return list(module.__all__)


def write_api_pages(app: Any, config: Any) -> None:
    """Writes reference/api/<module>.md for every public module, touching only
    pages whose text changed (so an unchanged page is not read again), and
    removes pages of modules that are gone."""
    folder = pathlib.Path(app.srcdir) / "reference" / "api"
    folder.mkdir(parents=True, exist_ok=True)
    wanted = {}
    for name in public_modules():
        wanted[f"{name}.md"] = api_page(name)
    for old in folder.glob("*.md"):
        if old.name not in wanted:
            old.unlink()
    for file, text in wanted.items():
        path = folder / file
        if not path.exists() or path.read_text(encoding="utf-8") != text:
            path.write_text(text, encoding="utf-8")


class _TableDirective(SphinxDirective):
    """A list-table made from rows of text, parsed as reStructuredText."""

    def table(self, header: List[str], rows: List[List[str]], widths: str = "auto") -> List[nodes.Node]:
        text = [".. list-table::", "   :header-rows: 1", f"   :widths: {widths}", ""]
        for row in [header] + rows:
            text.append(f"   * - {row[0]}")
            text += [f"     - {cell}" for cell in row[1:]]
        container = nodes.container()
        self.state.nested_parse(StringList(text, source="vorlan_docs"), self.content_offset, container)
        return container.children


class SettingsTable(_TableDirective):
    """The parameter keys: name, type, allowed values and meaning, in the order a
    run reads them, as the engine states them."""

    def run(self) -> List[nodes.Node]:
        from vorlan.params import KEYS

        rows = [[f"``{k.name}``", k.kind, f"``{k.allowed}``", k.meaning] for k in KEYS.values()]
        return self.table(["key", "type", "allowed values", "meaning"], rows)


class MethodsTable(_TableDirective):
    """Each integration method and the barostat: its call with the parameters and
    defaults, whether it needs a seed, and the first line of its docstring."""

    def run(self) -> List[nodes.Node]:
        import vorlan.methods as m

        rows = []
        for name in m.__all__:
            cls = getattr(m, name)
            if not inspect.isclass(cls) or name == "Method":
                continue
            signature = str(inspect.signature(cls)).replace("'", "")
            summary = (inspect.getdoc(cls) or "").split("\n\n")[0].replace("\n", " ")
            seed = "yes" if cls._kind()["stochastic"] else "no"  # the engine's registry
            rows.append([f":class:`vorlan.{name}{signature} <vorlan.methods.{name}>`", seed, summary])
        return self.table(["method", "needs a seed", "what it samples and how"], rows, "30 10 60")


class CommandRun(SphinxDirective):
    """``vorlan ARGS`` run in the scratch folder; the block shows the command line
    and its output (standard output and standard error, as a terminal shows them).
    With ``:file: NAME`` the directive's body is written to NAME first and shown
    above the command."""

    required_arguments = 1
    final_argument_whitespace = True
    has_content = True
    option_spec = {"returncode": int, "file": str}

    def run(self) -> List[nodes.Node]:
        from vorlan.cli import main

        argv = shlex.split(self.arguments[0])
        expected = self.options.get("returncode", 0)
        shown: List[nodes.Node] = []
        if "file" in self.options:
            text = "\n".join(self.content) + "\n"
            pathlib.Path(os.environ["VORLAN_DOCS_RUN"], self.options["file"]).write_text(text, encoding="utf-8")
            listing = nodes.literal_block(text, text)
            listing["language"] = "ini"
            shown.append(nodes.paragraph("", "", nodes.literal(self.options["file"], self.options["file"]),
                                         nodes.Text(":")))
            shown.append(listing)
        out = io.StringIO()
        here = os.getcwd()
        os.chdir(os.environ["VORLAN_DOCS_RUN"])
        try:
            with contextlib.redirect_stdout(out), contextlib.redirect_stderr(out):
                status = main(argv)
        finally:
            os.chdir(here)
        if status != expected:
            raise self.error(f"vorlan {self.arguments[0]} exited with {status}, the page says {expected}:\n"
                             f"{out.getvalue()}")
        # As a terminal shows it: a progress bar redrawn with carriage returns
        # leaves its last state on the line.
        shown_output = "\n".join(line.rsplit("\r", 1)[-1] for line in out.getvalue().rstrip().split("\n"))
        text = f"$ vorlan {self.arguments[0]}\n{shown_output}"
        if expected:
            text += f"\n$ echo $?\n{status}"
        block = nodes.literal_block(text, text)
        block["language"] = "console"
        return shown + [block]


def setup(app: Any) -> Dict[str, Any]:
    app.connect("config-inited", write_api_pages)
    app.add_directive("vorlan-settings", SettingsTable)
    app.add_directive("vorlan-methods", MethodsTable)
    app.add_directive("vorlan-command", CommandRun)
    return {"parallel_read_safe": True, "parallel_write_safe": True}

"""Writes the Python examples of README.md, one file per ```python block, to the
folder given, for the type check (make test runs mypy on them). Names that a
block takes from the surrounding text (params, grid, ...) are declared Any."""

import pathlib
import re
import sys

PRELUDE = (
    "from typing import Any\n"
    "params: Any; x: Any; v: Any; f: Any; grid: Any\n"
)


def main(readme: str, out: str) -> int:
    text = pathlib.Path(readme).read_text(encoding="utf-8")
    folder = pathlib.Path(out)
    folder.mkdir(parents=True, exist_ok=True)
    for old in folder.glob("example_*.py"):
        old.unlink()
    blocks = re.findall(r"```python\n(.*?)```", text, flags=re.S)
    for i, block in enumerate(blocks):
        (folder / f"example_{i:02d}.py").write_text(PRELUDE + block, encoding="utf-8")
    print(f"{len(blocks)} README examples in {folder}")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))

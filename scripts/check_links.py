"""Checks the internal links of a built HTML site: every href and src that
points into the site must name a file that exists, and a #fragment must name an
id on the page it points to. External links (with a scheme) are not followed.

    python scripts/check_links.py build/docs
"""

import html.parser
import pathlib
import sys
import urllib.parse


class Page(html.parser.HTMLParser):
    """The ids a page defines and the links it makes."""

    def __init__(self) -> None:
        super().__init__()
        self.ids = set()
        self.links = []

    def handle_starttag(self, tag, attrs):
        for name, value in attrs:
            if name in ("id", "name") and value:
                self.ids.add(value)
            if name in ("href", "src") and value:
                self.links.append(value)


def parse(path):
    page = Page()
    page.feed(path.read_text(encoding="utf-8", errors="replace"))
    return page


def broken_links(site):
    pages = {p: parse(p) for p in site.rglob("*.html")}
    broken = []
    for path, page in pages.items():
        for link in page.links:
            url = urllib.parse.urlsplit(link)
            if url.scheme or url.netloc or link.startswith("mailto:"):
                continue
            target = path if not url.path else (path.parent / urllib.parse.unquote(url.path)).resolve()
            if target.is_dir():
                target = target / "index.html"
            if not target.exists():
                broken.append(f"{path.relative_to(site)}: {link} (no such file)")
            elif url.fragment and target.suffix == ".html":
                ids = pages[target].ids if target in pages else parse(target).ids
                if url.fragment not in ids:
                    broken.append(f"{path.relative_to(site)}: {link} (no id '{url.fragment}' there)")
    return len(pages), broken


def main(argv):
    site = pathlib.Path(argv[1] if len(argv) > 1 else "build/docs").resolve()
    count, broken = broken_links(site)
    for line in broken:
        print(line)
    print(f"links: {count} pages, {len(broken)} broken internal link(s)")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

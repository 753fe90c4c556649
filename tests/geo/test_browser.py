"""The notebook views rendered by IPython, loaded in headless Chromium and read back from its
DOM; and the example notebook executed in a real kernel."""

import os
import shutil
import struct
import subprocess
import sys
from html.parser import HTMLParser
from pathlib import Path

import pytest

from orv._algos.geo import base
from orv._algos.geo import driver as drv

ROOT = Path(__file__).resolve().parents[2]
FIELDS = ["name", "category", "extension", "creatable", "updatable", "virtualio"]
VOID_TAGS = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source"}


class Node:
    def __init__(self, tag, attrs=()):
        self.tag, self.attrs, self.children = tag, dict(attrs), []
        self.content = []  # text and child elements, in document order

    def find_all(self, tag):
        found = []
        for child in self.children:
            if child.tag == tag:
                found.append(child)
            found.extend(child.find_all(tag))
        return found

    def find_id(self, ident):
        if self.attrs.get("id") == ident:
            return self
        for child in self.children:
            hit = child.find_id(ident)
            if hit is not None:
                return hit
        return None

    def all_text(self):
        return "".join(part if isinstance(part, str) else part.all_text() for part in self.content)


class TreeBuilder(HTMLParser):
    """An element tree of a serialised DOM (every non-void element is closed there)."""

    def __init__(self):
        super().__init__()
        self.root = Node("#document")
        self.stack = [self.root]

    def handle_starttag(self, tag, attrs):
        node = Node(tag, attrs)
        self.stack[-1].children.append(node)
        self.stack[-1].content.append(node)
        if tag not in VOID_TAGS:
            self.stack.append(node)

    def handle_endtag(self, tag):
        if tag in VOID_TAGS:
            return
        assert self.stack[-1].tag == tag, f"unbalanced </{tag}> in the dumped DOM"
        self.stack.pop()

    def handle_data(self, data):
        self.stack[-1].content.append(data)


def parse_dom(text):
    builder = TreeBuilder()
    builder.feed(text)
    builder.close()
    return builder.root


def notebook_html(obj):
    """The 'text/html' a notebook front end receives for `obj`."""
    from IPython.core.formatters import DisplayFormatter

    data, _metadata = DisplayFormatter().format(obj)
    assert "text/html" in data, f"no HTML view for {type(obj).__name__}"
    return data["text/html"]


def png_size(path):
    header = path.read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", header[16:24])


@pytest.fixture(scope="module")
def chromium():
    path = shutil.which("chromium")
    if path is None:
        pytest.skip("chromium is not installed (Debian package 'chromium')")
    return path


def run_chromium(chromium, profile, *args):
    command = [
        chromium,
        "--headless",
        "--disable-gpu",
        "--no-sandbox",
        f"--user-data-dir={profile}",
    ]
    # The browser is not ours to instrument: no sanitizer runtime preloaded.
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    result = subprocess.run(
        command + list(args), capture_output=True, text=True, timeout=180, env=env
    )
    assert result.returncode == 0, result.stderr[-2000:]
    return result.stdout


@pytest.fixture(scope="module")
def page(chromium, tmp_path_factory):
    """The three views on one page, and that page's DOM as Chromium parsed it."""
    folder = tmp_path_factory.mktemp("views")
    raster = drv.RasterDriver("GTiff")
    raster.set_creation_options(COMPRESS="LZW")
    views = {"driver": drv.Driver("MEM"), "raster": raster, "registry": drv.DriveStatistics()}
    sections = "".join(
        f'<section id="{key}"><h2>{key}</h2>{notebook_html(obj)}</section>'
        for key, obj in views.items()
    )
    source = folder / "views.html"
    source.write_text(
        f'<!DOCTYPE html><html><head><meta charset="utf-8"></head><body>{sections}</body></html>',
        encoding="utf-8",
    )
    dom = run_chromium(chromium, folder / "profile", "--dump-dom", source.as_uri())
    return views, parse_dom(dom), source


def test_page_screenshot(chromium, page, tmp_path):
    _, _, source = page
    shot = tmp_path / "x.png"
    size = "--window-size=1200,2000"
    run_chromium(chromium, tmp_path / "profile", f"--screenshot={shot}", size, source.as_uri())
    assert png_size(shot) == (1200, 2000)
    assert shot.stat().st_size > 10_000  # a blank page compresses to far less


def test_registry_table_in_the_browser(page):
    views, dom, _ = page
    stats = views["registry"]
    section = dom.find_id("registry")
    tables = section.find_all("table")
    assert len(tables) == 1
    head_rows, body_rows = (tables[0].find_all(p)[0].find_all("tr") for p in ("thead", "tbody"))

    max_rows, max_cols = base.env.JupyterShowMaxShape
    (head, tail), _ = base.get_sel(len(stats), max_rows)
    _, shown_cols = base.get_sel(len(FIELDS), max_cols)
    positions = list(range(*head)) + list(range(*tail))
    cut = tail != (0, 0)
    assert len(head_rows) == 1
    assert len(body_rows) == len(positions) + cut

    header = [cell.all_text() for cell in head_rows[0].find_all("th")]
    # All six fields fit the default shape; a narrower one keeps shown_cols plus one "..." cell.
    assert header[0] == ""
    assert len(header) == 1 + (len(FIELDS) if shown_cols >= len(FIELDS) else shown_cols + 1)
    assert header[1] == "name"

    labels = [row.children[0].all_text() for row in body_rows]
    if cut:
        ellipsis_row = body_rows[len(range(*head))]
        assert {cell.all_text() for cell in ellipsis_row.children} == {"..."}
        labels.remove("...")
    assert labels == [str(i) for i in positions]
    first = [cell.all_text() for cell in body_rows[0].children]
    assert first[:3] == ["0", stats[0].name, stats[0].category]
    summary = section.all_text()
    assert f"Total: {len(stats)}" in summary
    assert f"Rasters: {len(stats.rasters)}" in summary


@pytest.mark.parametrize("key", ["driver", "raster"])
def test_driver_view_in_the_browser(page, key):
    views, dom, _ = page
    d = views[key]
    section = dom.find_id(key)
    summary_cells = section.find_all("table")[0].find_all("tr")
    labels = [row.children[0].all_text() for row in summary_cells]
    assert labels == ["Name", "Category", "Creatable", "Extension"]
    assert summary_cells[0].children[1].all_text() == d.name
    details = section.find_all("details")
    titles = [node.find_all("summary")[0].all_text() for node in details]
    assert titles == [
        f"Creation Options ({len(d.creation_options_info)})",
        f"Open Options ({len(d.open_options_info)})",
    ]
    creation_rows = (
        details[0].find_all("tbody")[0].find_all("tr") if d.creation_options_info else []
    )
    assert len(creation_rows) == len(d.creation_options_info)
    if key == "raster":
        compress = [row for row in creation_rows if row.children[0].all_text() == "COMPRESS"]
        assert len(compress) == 1
        assert "LZW" in [cell.all_text() for cell in compress[0].children[1:]]


# -- The example notebook ----------------------------------------------------------------


def python_kernel_name():
    """A kernel running this interpreter: "python3" when it is one, else one installed here."""
    from jupyter_client.kernelspec import KernelSpecManager, NoSuchKernel

    try:
        spec = KernelSpecManager().get_kernel_spec("python3")
    except NoSuchKernel:
        name = "python3"
    else:
        # jupyter_client runs a bare "python" as the interpreter that starts the kernel.
        bare = {
            "python",
            f"python{sys.version_info[0]}",
            "python{}.{}".format(*sys.version_info[:2]),
        }
        if spec.argv[0] in bare or os.path.abspath(spec.argv[0]) == sys.executable:
            return "python3"
        name = "orv-venv"
    subprocess.run(
        [sys.executable, "-m", "ipykernel", "install", "--sys-prefix", "--name", name],
        check=True,
        capture_output=True,
    )
    return name


def test_example_notebook_runs_and_shows_the_views(tmp_path):
    nbformat = pytest.importorskip("nbformat")
    nbclient = pytest.importorskip("nbclient")
    notebook = nbformat.read(ROOT / "examples" / "registry.ipynb", as_version=4)
    # The kernel imports the package the way this interpreter does; it runs in
    # another folder, so search paths are made absolute.
    env = dict(os.environ)
    if env.get("PYTHONPATH"):
        paths = env["PYTHONPATH"].split(os.pathsep)
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(path) for path in paths if path)
    resources = {"metadata": {"path": str(tmp_path)}}
    kernel = python_kernel_name()
    client = nbclient.NotebookClient(notebook, kernel_name=kernel, timeout=300, resources=resources)
    client.execute(env=env)

    code = [cell for cell in notebook.cells if cell.cell_type == "code"]
    errors = [out for cell in code for out in cell.outputs if out.output_type == "error"]
    assert errors == []
    html = [
        out.data["text/html"]
        for cell in code
        for out in cell.outputs
        if out.output_type == "execute_result" and "text/html" in out.data
    ]
    stats = drv.DriveStatistics()
    assert len(html) == 4  # Driver, RasterDriver, DriveStatistics, one looked-up driver
    assert html[0].count("<details") == 2 and ">GTiff<" in html[0]
    assert ">LZW<" in html[1] and ">YES<" in html[1]
    assert f"Total</b>: {len(stats)}" in html[2]
    assert ">GPKG<" in html[3]
    printed = "".join(
        out.get("text", "") for cell in code for out in cell.outputs if out.output_type == "stream"
    )
    assert "{'COMPRESS': 'LZW', 'TILED': 'YES'}" in printed
    assert f"{len(stats)} drivers: {len(stats.rasters)} raster" in printed

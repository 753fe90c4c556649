"""Notebook views rendered by IPython and read back from headless Chromium; the example notebook."""

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

pytestmark = pytest.mark.slow  # a browser, and a notebook kernel

ROOT = Path(__file__).resolve().parents[2]
FIELDS = ["name", "category", "extension", "creatable", "updatable", "virtualio"]
VOID_TAGS = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source"}


class Node:
    def __init__(self, tag, attrs=()):
        self.tag, self.attrs, self.children, self.content = tag, dict(attrs), [], []

    def find_all(self, tag):
        return [n for c in self.children for n in ([c] if c.tag == tag else []) + c.find_all(tag)]

    def text(self):
        return "".join(part if isinstance(part, str) else part.text() for part in self.content)


class TreeBuilder(HTMLParser):
    """Element tree of a serialised DOM, where every non-void element is closed."""

    def __init__(self):
        super().__init__()
        self.stack = [Node("#document")]

    def handle_starttag(self, tag, attrs):
        node = Node(tag, attrs)
        self.stack[-1].children.append(node)
        self.stack[-1].content.append(node)
        if tag not in VOID_TAGS:
            self.stack.append(node)

    def handle_endtag(self, tag):
        if tag not in VOID_TAGS:
            assert self.stack.pop().tag == tag, f"unbalanced </{tag}> in the dumped DOM"

    def handle_data(self, data):
        self.stack[-1].content.append(data)


def section(dom, key):
    return next(s for s in dom.find_all("section") if s.attrs.get("id") == key)


def notebook_html(obj):
    from IPython.core.formatters import DisplayFormatter

    data, _ = DisplayFormatter().format(obj)
    assert "text/html" in data, f"no HTML view for {type(obj).__name__}"
    return data["text/html"]


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
    result = subprocess.run([*command, *args], capture_output=True, text=True, timeout=180, env=env)
    assert result.returncode == 0, result.stderr[-2000:]
    return result.stdout


@pytest.fixture(scope="module")
def page(chromium, tmp_path_factory):
    """The three views on one page, and that page's DOM as Chromium parsed it."""
    folder = tmp_path_factory.mktemp("views")
    raster = drv.RasterDriver("GTiff")
    raster.set_creation_options(COMPRESS="LZW")
    views = {"driver": drv.Driver("MEM"), "raster": raster, "registry": drv.DriveStatistics()}
    body = "".join(f'<section id="{k}">{notebook_html(v)}</section>' for k, v in views.items())
    source = folder / "views.html"
    source.write_text(f'<html><head><meta charset="utf-8"></head><body>{body}</body></html>')
    builder = TreeBuilder()
    builder.feed(run_chromium(chromium, folder / "profile", "--dump-dom", source.as_uri()))
    builder.close()
    return views, builder.stack[0], source


def test_page_screenshot(chromium, page, tmp_path):
    shot = tmp_path / "x.png"
    size = "--window-size=1200,2000"
    run_chromium(chromium, tmp_path / "profile", f"--screenshot={shot}", size, page[2].as_uri())
    header = shot.read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    assert struct.unpack(">II", header[16:24]) == (1200, 2000)
    assert shot.stat().st_size > 10_000  # a blank page compresses to far less


def test_registry_table_in_the_browser(page):
    stats, registry = page[0]["registry"], section(page[1], "registry")
    (table,) = registry.find_all("table")
    head_rows, body_rows = (table.find_all(p)[0].find_all("tr") for p in ("thead", "tbody"))
    max_rows, max_cols = base.env.JupyterShowMaxShape
    (head, tail), _ = base.get_sel(len(stats), max_rows)
    _, shown_cols = base.get_sel(len(FIELDS), max_cols)
    positions, cut = [*range(*head), *range(*tail)], tail != (0, 0)
    assert len(head_rows) == 1 and len(body_rows) == len(positions) + cut
    header = [cell.text() for cell in head_rows[0].find_all("th")]
    # All six fields fit the default shape; a narrower one keeps shown_cols plus one "..." cell.
    assert header[:2] == ["", "name"]
    assert len(header) == 1 + (len(FIELDS) if shown_cols >= len(FIELDS) else shown_cols + 1)
    labels = [row.children[0].text() for row in body_rows]
    if cut:
        assert {cell.text() for cell in body_rows[len(range(*head))].children} == {"..."}
        labels.remove("...")
    assert labels == [str(i) for i in positions]
    first = [cell.text() for cell in body_rows[0].children]
    assert first[:3] == ["0", stats[0].name, stats[0].category]
    assert f"Total: {len(stats)}" in registry.text()
    assert f"Rasters: {len(stats.rasters)}" in registry.text()


@pytest.mark.parametrize("key", ["driver", "raster"])
def test_driver_view_in_the_browser(page, key):
    d, view = page[0][key], section(page[1], key)
    summary_rows = view.find_all("table")[0].find_all("tr")
    assert [row.children[0].text() for row in summary_rows] == [
        *("Name", "Category", "Creatable", "Extension")
    ]
    assert summary_rows[0].children[1].text() == d.name
    details = view.find_all("details")
    assert [node.find_all("summary")[0].text() for node in details] == [
        f"Creation Options ({len(d.creation_options_info)})",
        f"Open Options ({len(d.open_options_info)})",
    ]
    creation = details[0].find_all("tbody")[0].find_all("tr") if d.creation_options_info else []
    assert len(creation) == len(d.creation_options_info)
    if key == "raster":
        (compress,) = [row for row in creation if row.children[0].text() == "COMPRESS"]
        assert "LZW" in [cell.text() for cell in compress.children[1:]]


def python_kernel_name():
    """A kernel running this interpreter: "python3" when it is one, else one installed here."""
    from jupyter_client.kernelspec import KernelSpecManager, NoSuchKernel

    try:
        spec = KernelSpecManager().get_kernel_spec("python3")
    except NoSuchKernel:
        name = "python3"
    else:
        # jupyter_client runs a bare "python" as the interpreter that starts the kernel.
        major, minor = sys.version_info[:2]
        bare = {"python", f"python{major}", f"python{major}.{minor}"}
        if spec.argv[0] in bare or os.path.abspath(spec.argv[0]) == sys.executable:
            return "python3"
        name = "orv-venv"
    install = [sys.executable, "-m", "ipykernel", "install", "--sys-prefix", "--name", name]
    subprocess.run(install, check=True, capture_output=True)
    return name


def test_example_notebook_runs_and_shows_the_views(tmp_path):
    nbformat = pytest.importorskip("nbformat")
    nbclient = pytest.importorskip("nbclient")
    notebook = nbformat.read(ROOT / "examples" / "registry.ipynb", as_version=4)
    # The kernel runs in another folder, so search paths are made absolute.
    env = dict(os.environ)
    if env.get("PYTHONPATH"):
        paths = env["PYTHONPATH"].split(os.pathsep)
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(path) for path in paths if path)
    resources = {"metadata": {"path": str(tmp_path)}}
    kernel = python_kernel_name()
    client = nbclient.NotebookClient(notebook, kernel_name=kernel, timeout=300, resources=resources)
    client.execute(env=env)
    outputs = [out for cell in notebook.cells if cell.cell_type == "code" for out in cell.outputs]
    assert [out for out in outputs if out.output_type == "error"] == []
    html = [
        out.data["text/html"]
        for out in outputs
        if out.output_type == "execute_result" and "text/html" in out.data
    ]
    # The kernel's registry is that of a fresh process: GDAL adds its NUMPY driver to processes
    # that import osgeo.gdal_array, as earlier tests in this one may have.
    fresh = subprocess.run(
        [
            sys.executable,
            "-c",
            "from orv._algos.geo.driver import DriveStatistics as D\n"
            "s = D(); print(len(s), len(s.rasters))",
        ],
        env=env,
        capture_output=True,
        text=True,
        check=True,
    )
    total, rasters = map(int, fresh.stdout.split())
    assert len(html) == 4  # Driver, RasterDriver, DriveStatistics, one looked-up driver
    assert html[0].count("<details") == 2 and ">GTiff<" in html[0]
    assert ">LZW<" in html[1] and ">YES<" in html[1]
    assert f"Total</b>: {total}" in html[2] and ">GPKG<" in html[3]
    printed = "".join(out.get("text", "") for out in outputs if out.output_type == "stream")
    assert "{'COMPRESS': 'LZW', 'TILED': 'YES'}" in printed
    assert f"{total} drivers: {rasters} raster" in printed

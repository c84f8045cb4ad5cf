"""mkdocs hooks: the benchmark plot lives beside its README in bench/; the site takes it
from there."""

from pathlib import Path

from mkdocs.structure.files import File

ROOT = Path(__file__).resolve().parents[1]


def on_files(files, config):
    plot = ROOT / "bench" / "bench.png"
    if plot.is_file():
        files.append(File("bench.png", str(plot.parent), config["site_dir"], config["use_directory_urls"]))
    return files

"""Output files: written whole or not at all, an earlier result kept unless
--overwrite says otherwise, and every unusable output place reported before
the fit, in one line."""

from __future__ import annotations

import errno
import importlib
import json
import os

import pytest
from matplotlib.figure import Figure

from tarnok import cli, safe_write
from tarnok.plotting import save_figure
from test_cli import one_error_line, small_run


@pytest.fixture
def run_file(tmp_path):
    return small_run(tmp_path)


def failing_midway(handle):
    text = "the first half of a new file"
    handle.write(text if "b" not in handle.mode else text.encode())
    raise OSError(errno.ENOSPC, "No space left on device")


def partial_files(folder):
    return [p.name for p in folder.iterdir() if p.name.startswith(safe_write.TEMPORARY_PREFIX)]


def test_a_write_failing_midway_leaves_the_old_file(tmp_path):
    target = tmp_path / "result.json"
    target.write_text("the good old result")
    with pytest.raises(safe_write.OutputError, match="result.json: cannot be written: No "
                                                     "space left on device"):
        safe_write.write_atomically(target, failing_midway)
    assert target.read_text() == "the good old result"
    assert partial_files(tmp_path) == []
    safe_write.write_text_atomically(target, "new")
    assert target.read_text() == "new" and oct(target.stat().st_mode & 0o777) != "0o600"


def test_a_figure_failing_midway_leaves_the_old_figure(tmp_path, monkeypatch):
    target = tmp_path / "fit.png"
    target.write_bytes(b"old figure")
    figure = Figure()
    monkeypatch.setattr(figure, "savefig", lambda handle, **_: failing_midway(handle))
    with pytest.raises(OSError, match="No space left"):
        save_figure(figure, target)
    assert target.read_bytes() == b"old figure" and partial_files(tmp_path) == []


@pytest.mark.parametrize("place", ["folder", "fifo", "read-only"])
def test_names_that_cannot_take_a_file_are_refused(tmp_path, place):
    target = tmp_path / "result.json"
    if place == "folder":
        target.mkdir()
    elif place == "fifo":
        os.mkfifo(target)
    else:
        target.write_text("kept")
        target.chmod(0o444)
    with pytest.raises(safe_write.OutputError, match="is a folder|not a regular file|read-only"):
        safe_write.write_text_atomically(target, "new")


def fit(run_file, out, *extra):
    return cli.main(["fit", str(run_file), "-o", str(out), "--threads", "1", "-q", *extra])


def test_a_second_fit_keeps_the_first_and_overwrite_replaces_it_whole(run_file, tmp_path,
                                                                      capsys):
    out = tmp_path / "out"
    assert fit(run_file, out) == 0
    first = (out / "result.json").read_text()
    assert (out / "starts.png").exists()  # two starts
    assert fit(run_file, out) == 0
    assert (out / "result.json").read_text() == first
    second = json.loads((tmp_path / "out-2" / "result.json").read_text())
    assert "holds an earlier result, which is kept" in second["report"]
    assert second["output"]["requested"] == str(out)

    one_start = run_file.read_text().replace("n_starts = 2", "n_starts = 1")
    run_file.write_text(one_start)
    assert fit(run_file, out, "--overwrite", "--format", "svg") == 0
    names = {p.name for p in out.iterdir()}
    # Nothing of the first run is left to be taken for this one's.
    assert names == {"result.json", "report.txt", "curves.csv", "fit.svg", "irradiance.svg"}
    assert json.loads((out / "result.json").read_text())["output"]["replaced_earlier_result"]


def make_unusable(out, kind):
    if kind == "folder is a file":
        out.write_text("not a folder")
    elif kind == "result.json is a folder":
        (out / "result.json").mkdir(parents=True)
    elif kind == "result.json is a FIFO":
        out.mkdir()
        os.mkfifo(out / "result.json")
    elif kind == "read-only result.json":
        out.mkdir()
        (out / "result.json").write_text("{}")
        (out / "result.json").chmod(0o444)


@pytest.mark.parametrize("kind", ["folder is a file", "result.json is a folder",
                                  "result.json is a FIFO", "read-only result.json"])
def test_unusable_outputs_end_before_the_fit_in_one_line(run_file, tmp_path, capsys,
                                                        monkeypatch, kind):
    out = tmp_path / "out"
    make_unusable(out, kind)
    monkeypatch.setattr(importlib.import_module("tarnok.fit"), "fit",
                        lambda *a, **k: pytest.fail("the fit ran"))
    extra = () if kind == "folder is a file" else ("--overwrite",)
    assert fit(run_file, out, *extra) == 2
    line = one_error_line(capsys)
    assert str(out) in line
    if kind == "read-only result.json":
        assert (out / "result.json").read_text() == "{}"


def test_without_overwrite_an_unusable_result_name_is_left_alone(run_file, tmp_path):
    out = tmp_path / "out"
    make_unusable(out, "result.json is a FIFO")
    assert fit(run_file, out) == 0  # no hang: the FIFO is never opened
    assert (tmp_path / "out-2" / "result.json").is_file()


def test_a_full_disk_is_one_message_and_keeps_the_earlier_result(run_file, tmp_path, capsys,
                                                                 monkeypatch):
    out = tmp_path / "out"
    assert fit(run_file, out) == 0
    before = {p.name: p.read_bytes() for p in out.iterdir()}

    def full(descriptor):
        raise OSError(errno.ENOSPC, "No space left on device")

    monkeypatch.setattr(safe_write.os, "fsync", full)
    assert fit(run_file, out, "--overwrite") == 2
    assert "No space left on device" in one_error_line(capsys)
    assert {p.name: p.read_bytes() for p in out.iterdir()} == before

"""The examples and the README's first example run as written."""

import re

from conftest import REPO, run_python

EXAMPLES = REPO / "examples" / "python"


def run_example(name, *args, cwd=None):
    return run_python(f"""
        import runpy, sys
        sys.argv = [{name!r}] + {list(args)!r}
        try:
            runpy.run_path({str(EXAMPLES / name)!r}, run_name="__main__")
        except SystemExit as end:
            sys.exit(end.code)
        """, cwd=cwd)


def test_the_live_histogram_prints_one_line_a_frame():
    result = run_example("live_histogram.py", "--frames", "4", "--resolution", "640x480")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 4
    for line in lines:
        assert re.match(r"#\s*\d+ dropped\s+\d+ \|.{16}\| mean\s+[\d.]+\s+exposure\s+\d+ rows", line)


def test_the_settled_snapshot_saves_after_exposure_settled(tmp_path):
    result = run_example("settled_snapshot.py", "--out", str(tmp_path / "snap"),
                         "--formats", "png,raw", "--resolution", "1024x768")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("settled after ")
    assert lines[1:] == [str(tmp_path / "snap.png"), str(tmp_path / "snap.raw")]
    assert (tmp_path / "snap.raw").stat().st_size == 1024 * 768


def test_the_readmes_first_python_example_runs_as_written(tmp_path):
    readme = (REPO / "README.md").read_text()
    code = re.search(r"```python\n(.*?)```", readme, re.S).group(1)
    result = run_python(code, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip()

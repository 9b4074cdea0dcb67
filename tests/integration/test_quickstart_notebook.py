"""docs/quickstart.ipynb runs top to bottom in a real Jupyter kernel."""

from __future__ import annotations

import pytest
from repo_paths import ROOT

NOTEBOOK = ROOT / "docs" / "quickstart.ipynb"


@pytest.mark.slow
@pytest.mark.timeout(600)
def test_the_quickstart_notebook_runs_without_a_failing_cell(tmp_path, monkeypatch):
    import nbformat
    from nbclient import NotebookClient

    # The kernel is a fresh interpreter: its data directory comes from the environment.
    monkeypatch.setenv("VORN_KEST_DATA_DIR", str(tmp_path / "data"))
    notebook = nbformat.read(NOTEBOOK, as_version=4)
    workdir = {"metadata": {"path": str(tmp_path)}}
    NotebookClient(notebook, timeout=300, kernel_name="python3", resources=workdir).execute()

    outputs = [output for cell in notebook.cells if cell.cell_type == "code" for output in cell.get("outputs", [])]
    assert all(output.get("output_type") != "error" for output in outputs)
    shown = [output for output in outputs if output.get("output_type") in ("execute_result", "display_data")]
    assert any("text/html" in output["data"] and "淨損益" in output["data"]["text/html"] for output in shown)
    assert any("application/vnd.plotly.v1+json" in output["data"] for output in shown)
    streams = [output for output in outputs if output.get("output_type") == "stream"]
    # Nothing printed by a quiet backtest or a sweep without progress and table.
    assert streams == []
    assert not list((tmp_path / "data").glob("runs/*"))

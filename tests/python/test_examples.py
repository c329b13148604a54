"""The runnable examples, each on a small size: the printed tables, the facts
the factorisations guarantee or robustly show, and the figures they write."""
import contextlib
import importlib.util
import io
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
sys.path.insert(0, str(EXAMPLES))  # the examples share example_tools.py
PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


def load_example(name):
    spec = importlib.util.spec_from_file_location(f"example_{name}", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def table(text):
    """The first table printed, as (header line, rows): the rows are the lines
    between the dashed rule under the header and the next blank line, split
    into cells."""
    lines = text.splitlines()
    start = next(k for k, line in enumerate(lines)
                 if line.strip() and set(line.replace(" ", "")) == {"-"})
    rows = []
    for line in lines[start + 1:]:
        if not line.strip():
            break
        rows.append(line.split())
    return lines[start - 1], rows


def table_rows(text):
    return table(text)[1]


def assert_png(path):
    assert path.is_file()
    assert path.read_bytes()[:8] == PNG_MAGIC
    assert path.stat().st_size > 5000  # an actual picture, not an empty canvas


# ---------------------------------------------------------------------------
# choose_rank: planted rank 6 with 3 % noise

CHOOSE_ARGS = ["--rows", "300", "--cols", "80", "--max-rank", "11", "--restarts", "5"]


@pytest.fixture(scope="module")
def choose_rank():
    return load_example("choose_rank")


@pytest.fixture(scope="module")
def choose_run(choose_rank, tmp_path_factory):
    out = tmp_path_factory.mktemp("choose") / "rank.png"
    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        summary = choose_rank.main(CHOOSE_ARGS + ["--out", str(out)])
    return summary, buffer.getvalue(), out


def test_choose_rank_table(choose_run):
    summary, text, _ = choose_run
    header, rows = table(text)
    assert header.split() == ["rank", "naive", "zeta", "greedy", "greedy-ls"]
    assert [row[0] for row in rows] == [str(r) for r in range(1, 12)] + ["time"]
    for row in rows[:-1]:
        r = int(row[0])
        # naive is left out past rank 10, every other cell is the printed error
        expected = [summary["errors"][m].get(r, "-")
                    for m in ("naive", "zeta", "greedy", "greedy-ls")]
        assert row[1:] == [str(e) for e in expected]
    assert "-" not in rows[9] and rows[10][1] == "-"
    for method in ("naive", "zeta", "greedy", "greedy-ls"):
        assert f"{method}: the curve flattens at rank" in text


def test_choose_rank_exact_methods(choose_run):
    summary, _, _ = choose_run
    errors = summary["errors"]
    # Both exact methods return the lowest optimal combination, so from the
    # same seeds they follow the same path.
    assert errors["naive"] == {r: errors["zeta"][r] for r in range(1, 11)}
    # The first refit of H alone already does no worse than H = 0.
    assert all(e <= summary["ones"] for e in errors["zeta"].values())


def test_choose_rank_finds_planted_structure(choose_run):
    summary, _, _ = choose_run
    zeta = summary["errors"]["zeta"]
    assert summary["noise_cells"] > 0
    assert zeta[6] <= 0.25 * summary["ones"]
    assert zeta[6] <= 2 * summary["noise_cells"]
    assert zeta[1] > 3 * zeta[6]
    assert summary["flat"]["zeta"] in (6, 7)


@pytest.mark.parametrize(
    "errors, margin, expected",
    [
        ({1: 100, 2: 50, 3: 20, 4: 19, 5: 18}, 2, 3),
        ({1: 100, 2: 50, 3: 20, 4: 19, 5: 18}, 0, None),   # still falling at the last rank
        ({1: 100, 2: 60, 3: 61, 4: 20, 5: 20}, 5, 4),      # a bump does not count as flat
        ({1: 10, 2: 10, 3: 10}, 0, 1),
        ({1: 10}, 0, None),
    ],
)
def test_choose_rank_flat_from(choose_rank, errors, margin, expected):
    assert choose_rank.flat_from(errors, margin) == expected


def test_choose_rank_plot(choose_run):
    pytest.importorskip("matplotlib")
    _, text, out = choose_run
    assert f"plot written to {out}" in text
    assert_png(out)


def test_choose_rank_without_matplotlib(choose_rank, tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # import now raises ImportError
    out = tmp_path / "none.png"
    choose_rank.main(["--rows", "60", "--cols", "30", "--max-rank", "3", "--restarts", "1",
                      "--methods", "zeta", "--out", str(out)])
    assert "matplotlib is not installed: plot skipped" in capsys.readouterr().out
    assert not out.exists()


def test_choose_rank_rejects_unknown_method(choose_rank):
    with pytest.raises(SystemExit, match="unknown methods"):
        choose_rank.main(["--methods", "zeta,exact", "--no-plot"])


# ---------------------------------------------------------------------------
# digits

@pytest.fixture(scope="module")
def digits():
    pytest.importorskip("sklearn")
    return load_example("digits")


def test_digits_table(digits, capsys):
    results = digits.main(["--samples", "300", "--ranks", "8,2", "--no-plot"])
    text = capsys.readouterr().out
    assert "digits: 300 images x 64 pixels" in text
    rows = table_rows(text)
    assert [row[0] for row in rows] == ["2", "8"]
    for row, res in zip(rows, results):
        assert row[1:6] == [str(res["error"]), f"{res['percent']:.2f}", str(res["missed"]),
                            str(res["extra"]), str(res["iterations"])]
        assert res["missed"] + res["extra"] == res["error"]
        assert res["percent"] == pytest.approx(100 * res["error"] / (300 * 64))
        assert (res["result"].w.shape == (300, res["rank"])
                and res["result"].h.shape == (res["rank"], 64))
    ones = int(text.split(" ones ")[0].rsplit(" ", 1)[1])
    assert all(res["error"] <= ones for res in results)
    assert results[1]["error"] < 0.9 * results[0]["error"]


def test_digits_figure(digits, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    out = tmp_path / "digits.png"
    digits.main(["--samples", "200", "--ranks", "3,5", "--show", "4", "--out", str(out)])
    assert f"figure written to {out}" in capsys.readouterr().out
    assert_png(out)


def test_digits_examples_cover_every_class(digits):
    import numpy as np

    labels = np.array([3, 3, 1, 0, 1, 2, 0])
    assert digits.pick_examples(labels, 3) == [3, 2, 5]
    assert digits.pick_examples(labels, 6) == [3, 2, 5, 0, 1, 4]


# ---------------------------------------------------------------------------
# mushroom (the UCI table shipped with quorbmf)

@pytest.fixture(scope="module")
def mushroom():
    return load_example("mushroom")


def test_mushroom_run(mushroom, tmp_path, capsys):
    figure = tmp_path / "mushroom.png"
    results = mushroom.main(["--samples", "1500", "--ranks", "2,5", "--describe", "5",
                             "--folds", "3", "--figure", str(figure)])
    text = capsys.readouterr().out
    assert "mushrooms: 1500 rows x 116 items" in text and "22 attributes one-hot" in text
    assert [row[0] for row in table_rows(text)] == ["2", "5"]
    ones = int(text.split(" ones ")[0].rsplit(" ", 1)[1])
    assert ones <= 1500 * 22
    for res in results:
        assert res["error"] <= ones and res["error"] == res["model"].reconstruction_err_
        assert 0 < res["covered"] <= 100
    assert results[1]["error"] < results[0]["error"]
    factors = table_rows(text.split("factors at rank 5")[1])
    assert sorted(int(row[0]) for row in factors) == list(range(5))
    used = [int(row[1]) for row in factors]
    assert used == sorted(used, reverse=True) and used[0] <= 1500
    accuracies = [float(line.split(":")[1].split("%")[0]) for line in text.splitlines()
                  if line.strip().startswith("from ")]
    assert len(accuracies) == 2 and all(50 < a <= 100 for a in accuracies)
    assert_png(figure)
    # The models know the items by name (the picture's column labels).
    assert results[1]["model"].feature_names_in_[0].startswith("cap-shape=")


# impute (hidden cells of the shipped Mushroom table)

def test_impute_run(tmp_path, capsys):
    impute = load_example("impute")
    figure = tmp_path / "impute.png"
    rows = impute.main(["--samples", "600", "--ranks", "8", "--figure", str(figure)])
    text = capsys.readouterr().out
    assert [r[0] for r in rows] == ["BooleanMF r=8", "column majority", "KNNImputer (k=5)"]
    for _, accuracy, precision, recall, _ in rows:
        assert 0 <= precision <= 100 and 0 <= recall <= 100 and 50 < accuracy <= 100
    # The factors use the other cells of each row; the majority cannot.
    assert rows[0][1] > rows[1][1]
    assert "cells hidden" in text
    if figure.exists():
        assert figure.read_bytes()[:8] == PNG_MAGIC


# roles (users x permissions, from below)

def test_roles_run(tmp_path, capsys):
    roles = load_example("roles")
    figure = tmp_path / "roles.png"
    summary = roles.main(["--users", "200", "--permissions", "60", "--roles", "5",
                          "--figure", str(figure)])
    text = capsys.readouterr().out
    header, rows = table(text)
    assert header.split() == ["planted", "perms", "users", "found", "perms", "users", "jaccard"]
    assert [int(row[0]) for row in rows] == list(range(5))
    below = summary["models"]["from below"]
    # No user gets a permission it lacks.
    assert summary["granted_not_held"] == 0 == below.n_false_positives_
    assert "0 permission(s) granted that a user lacks" in text
    # Light noise: most planted roles come back nearly whole.
    assert sum(score >= 0.8 for score, _ in summary["matches"]) >= 4
    # A dearer false negative buys fewer of them with more false positives.
    even, heavy = summary["models"]["costs 1:1"], summary["models"]["costs 1:4"]
    assert heavy.n_false_negatives_ <= even.n_false_negatives_
    assert heavy.n_false_positives_ >= even.n_false_positives_
    assert below.n_false_negatives_ >= even.n_false_negatives_
    trade = table_rows(text.split("held permission(s) left to grant by hand")[1])
    assert [row[0] for row in trade] == ["from", "costs", "costs"]
    if figure.exists():
        assert_png(figure)

"""The forecast chart (Agg backend): what is drawn, where it joins, and the checks on
its path; the message naming the extra when matplotlib is missing."""

import os
import sys

os.environ.setdefault("MPLBACKEND", "Agg")

import numpy as np
import pytest

import korvanta
from korvanta import InputError
from pkg_data import airline

plt = pytest.importorskip("matplotlib.pyplot")
mdates = pytest.importorskip("matplotlib.dates")
pd = pytest.importorskip("pandas")


@pytest.fixture(scope="module")
def result():
    y = pd.Series(airline(), index=pd.period_range("1949-01", periods=144, freq="M"),
                  name="log(passengers)")
    return korvanta.fit(y, (0, 1, 1), (0, 1, 1, 12))


def _line(ax, label):
    lines = [ln for ln in ax.get_lines() if ln.get_label() == label]
    assert len(lines) == 1, [ln.get_label() for ln in ax.get_lines()]
    return lines[0]


@pytest.mark.parametrize("log", [False, True], ids=["model-scale", "data-scale"])
@pytest.mark.parametrize("in_sample", [False, True], ids=["forecast-only", "with-one-step"])
def test_chart_shows_observed_series_and_joined_forecast(result, log, in_sample):
    fig = result.plot_forecast(12, log=log, in_sample=in_sample)
    try:
        ax = fig.axes[0]
        back = np.exp if log else (lambda v: v)
        observed = _line(ax, "observed")
        forecast = _line(ax, "forecast")
        np.testing.assert_allclose(observed.get_ydata(), back(result.problem.y))
        # Observed drawn above everything but the forecast, in a solid dark line.
        assert observed.get_visible() and observed.get_linestyle() == "-"
        others = [ln for ln in ax.get_lines() if ln is not observed and ln is not forecast]
        assert all(ln.get_zorder() < observed.get_zorder() for ln in others)
        # The forecast starts at the last observation: no gap.
        fx, fy = forecast.get_xdata(), forecast.get_ydata()
        assert fx[0] == observed.get_xdata()[-1] and fy[0] == observed.get_ydata()[-1]
        fc = result.forecast(12)
        np.testing.assert_allclose(fy[1:], back(fc.mean.to_numpy()))
        # The interval band covers the forecast period, starting at the same point.
        (band,) = ax.collections
        verts = band.get_paths()[0].vertices
        start, end = mdates.date2num(fx[0]), mdates.date2num(fx[-1])
        assert verts[:, 0].min() == pytest.approx(start)
        assert verts[:, 0].max() == pytest.approx(end)
        assert (in_sample and _line(ax, "one-step prediction")) or not in_sample
    finally:
        plt.close(fig)


@pytest.mark.parametrize("name, message", [
    ("chart.xyz", "unsupported chart format '.xyz'"),
    ("chart", "give it a file extension"),
    ("missing-folder/chart.png", "does not exist"),
], ids=["unknown-format", "no-extension", "no-folder"])
def test_bad_chart_paths_are_rejected_before_drawing(result, tmp_path, name, message):
    before = plt.get_fignums()
    with pytest.raises(InputError, match=message):
        result.plot_forecast(4, path=tmp_path / name)
    assert plt.get_fignums() == before


@pytest.mark.skipif(os.geteuid() == 0, reason="root may write anywhere")
def test_unwritable_folder_is_rejected(result, tmp_path):
    tmp_path.chmod(0o500)
    try:
        with pytest.raises(InputError, match="permission denied"):
            result.plot_forecast(4, path=tmp_path / "chart.png")
    finally:
        tmp_path.chmod(0o700)


@pytest.mark.parametrize("suffix", ["png", "svg", "pdf"])
def test_chart_is_saved_in_the_format_of_its_name(result, tmp_path, suffix):
    path = tmp_path / f"chart.{suffix}"
    plt.close(result.plot_forecast(6, path=path))
    head = path.read_bytes()[:5]
    assert head == {"png": b"\x89PNG\r", "svg": b"<?xml", "pdf": b"%PDF-"}[suffix]


def test_missing_matplotlib_names_the_extra(result, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match=r'pip install "korvanta-rs\[plot\]"'):
        result.plot_forecast(4)


def test_missing_pandas_names_the_extra(result, monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    fc = korvanta.fit(airline(), (0, 1, 1), (0, 1, 1, 12)).forecast(2)
    with pytest.raises(ImportError, match=r'pip install "korvanta-rs\[pandas\]"'):
        fc.to_frame()


def test_interval_beyond_the_largest_double_is_left_out(tmp_path):
    # A log model whose interval, on the data's scale, runs past 1e308 over the horizon
    # (through the values just below it, where matplotlib's tick arithmetic overflows).
    rng = np.random.default_rng(3)
    y = np.cumsum(rng.standard_normal(80) * 5.0)
    y += 665.0 - y[-1]
    res = korvanta.fit(y, (0, 1, 0))
    hi = np.asarray(res.forecast(40).upper)
    assert hi.min() < 690.0 and hi.max() > 720.0
    fig = res.plot_forecast(40, log=True, path=tmp_path / "wide.png")
    try:
        band = fig.axes[0].collections[0].get_paths()[0].vertices[:, 1]
        assert np.isfinite(band).all() and band.max() <= 1e300
        assert (tmp_path / "wide.png").stat().st_size > 0
    finally:
        plt.close(fig)


@pytest.mark.parametrize("index", [
    (np.arange(-30, 30) - 1970).astype("datetime64[Y]"),         # years before year 1
    (np.arange(9950, 10010) - 1970).astype("datetime64[Y]"),     # continued past 9999
], ids=["before-year-1", "past-9999"])
def test_dates_outside_the_chart_axis_are_drawn_at_their_positions(index):
    y = np.cumsum(np.random.default_rng(4).standard_normal(60))
    res = korvanta.fit(y, (1, 0, 0), index=index, name="level\tin\x01file")
    fig = res.plot_forecast(60)
    try:
        fig.canvas.draw()
        assert _line(fig.axes[0], "observed").get_xdata()[0] == 0
        assert "level in file" in fig.axes[0].get_title()
    finally:
        plt.close(fig)


@pytest.mark.parametrize("years, steps", [
    (np.arange(1, 61), 5),          # the axis' margin runs before the year 1
    (np.arange(9900, 9960), 38),    # the forecast's margin runs past 9999
], ids=["margin-before-year-1", "margin-past-9999"])
def test_dates_whose_margins_leave_the_chart_axis_are_drawn_at_their_positions(years, steps):
    # The dates themselves lie within matplotlib's range, the padding around them does
    # not: both charts failed to draw.
    index = (years - 1970).astype("datetime64[Y]")
    y = np.cumsum(np.random.default_rng(4).standard_normal(60))
    res = korvanta.fit(y, (1, 0, 0), index=index)
    for fig in (res.plot_forecast(steps), res.plot_diagnostics()):
        try:
            fig.canvas.draw()
        finally:
            plt.close(fig)
    fig = res.plot_forecast(steps)
    try:
        assert _line(fig.axes[0], "observed").get_xdata()[0] == 0
    finally:
        plt.close(fig)


def test_pgf_chart_needs_tex(result, tmp_path, monkeypatch):
    monkeypatch.setitem(plt.rcParams, "pgf.texsystem", "xelatex")
    monkeypatch.setenv("PATH", str(tmp_path))        # no TeX on it
    with pytest.raises(InputError, match=r"the \.pgf format needs xelatex \(a TeX system\), "
                                         "which is not installed"):
        result.plot_forecast(4, path=tmp_path / "chart.pgf")
    assert not (tmp_path / "chart.pgf").exists()


def _failing_png(self, filename_or_obj, *args, **kwargs):
    """A PNG writer that fails halfway, as on a full disk."""
    from matplotlib import cbook

    with cbook.open_file_cm(filename_or_obj, "wb") as fh:
        fh.write(b"\x89PNG\r\n\x1a\n half")
        raise OSError(28, "No space left on device")


class _FailingFile:
    """A file whose write stops halfway, as on a full disk."""

    def __init__(self, path, mode):
        self.fh = open(path, mode)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.fh.close()

    def write(self, data):
        self.fh.write(bytes(data)[:10])
        raise OSError(28, "No space left on device")


@pytest.mark.parametrize("stage", ["drawing", "writing"])
@pytest.mark.parametrize("existing", [False, True], ids=["new-file", "over-old-chart"])
def test_chart_that_fails_to_save_leaves_no_broken_file(result, tmp_path, monkeypatch,
                                                        stage, existing):
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    import korvanta.plot

    path = tmp_path / "chart.png"
    if existing:
        plt.close(result.plot_forecast(2, path=path))
    if stage == "drawing":
        monkeypatch.setattr(FigureCanvasAgg, "print_png", _failing_png)
    else:
        monkeypatch.setattr(korvanta.plot, "open", _FailingFile, raising=False)
    before = plt.get_fignums()
    with pytest.raises(InputError, match="cannot write the chart to .*No space left"):
        result.plot_forecast(4, path=path)
    # The Figure the caller never receives is closed (pyplot held it before).
    assert plt.get_fignums() == before
    # Drawing fails before the file is touched: an old chart stays whole; a write that
    # fails removes what it wrote.
    if stage == "drawing" and existing:
        assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and b" half" not in \
            path.read_bytes()
    else:
        assert not path.exists()


@pytest.mark.parametrize("start, steps", [("1659", 5), ("1950", 60)],
                         ids=["before-1677", "forecast-past-2262"])
def test_periods_outside_pandas_nanosecond_dates_are_drawn_at_their_dates(start, steps):
    # Annual periods before 1677, or a forecast that runs past 2262, have no timestamp in
    # nanoseconds: both charts failed with pandas' OutOfBoundsDatetime.
    index = pd.period_range(start, periods=300, freq="Y")
    y = pd.Series(np.cumsum(np.random.default_rng(5).standard_normal(300)), index=index)
    res = korvanta.fit(y, (1, 1, 0))
    fig = res.plot_forecast(steps)
    try:
        fig.canvas.draw()
        observed = _line(fig.axes[0], "observed").get_xdata()
        future = _line(fig.axes[0], "forecast").get_xdata()
        years = [d.astype("datetime64[Y]").astype(int) + 1970
                 for d in (observed[0], observed[-1], future[-1])]
        assert years == [int(start), int(start) + 299, int(start) + 299 + steps]
        assert (np.diff(np.concatenate([observed, future[1:]]).astype("datetime64[D]")
                        .astype(np.int64)) > 0).all()
    finally:
        plt.close(fig)
    fig = res.plot_diagnostics()
    try:
        fig.canvas.draw()
        x = fig.axes[0].get_lines()[0].get_xdata()
        assert x[0].astype("datetime64[Y]").astype(int) + 1970 == int(start) + 1
    finally:
        plt.close(fig)


@pytest.mark.parametrize("labels", [np.arange(1871, 1971), np.arange(2000, 1900, -1),
                                    pd.RangeIndex(10, 110)],
                         ids=["years", "years-backwards", "range-from-10"])
def test_integer_labels_are_the_charts_x_values(labels):
    # Years as integer labels were drawn at the positions 0, 1, 2, … while the forecast's
    # own labels continued the years.
    y = pd.Series(np.cumsum(np.random.default_rng(6).standard_normal(100)),
                  index=pd.Index(labels))
    res = korvanta.fit(y, (1, 1, 0))
    fig = res.plot_forecast(4)
    try:
        observed = _line(fig.axes[0], "observed").get_xdata()
        future = _line(fig.axes[0], "forecast").get_xdata()
        assert list(observed) == list(y.index)
        assert list(future) == [y.index[-1], *res.forecast(4).mean.index]
    finally:
        plt.close(fig)
    fig = res.plot_diagnostics()
    try:
        assert list(fig.axes[0].get_lines()[0].get_xdata()) == list(y.index[1:])
    finally:
        plt.close(fig)


@pytest.mark.parametrize("path, message", [
    (lambda d: d / "chart\0.png", "holds a null character"),
    (lambda d: d / ("c" * 300 + ".png"), "name too long"),
    (lambda d: __import__("io").BytesIO(), "must be a file name .* got BytesIO"),
    (lambda d: 3, "must be a file name .* got int"),
], ids=["null-character", "name-too-long", "file-object", "number"])
def test_paths_no_file_can_have_are_rejected_before_drawing(result, tmp_path, path, message):
    # A ValueError or OSError from open() came after the drawing, or a TypeError from
    # pathlib before it.
    before = plt.get_fignums()
    for draw in (lambda p: result.plot_forecast(4, path=p),
                 lambda p: result.plot_diagnostics(path=p)):
        with pytest.raises(InputError, match=message):
            draw(path(tmp_path))
    assert plt.get_fignums() == before and not list(tmp_path.iterdir())


@pytest.mark.parametrize("target, message", [
    ("missing/x.png", "the folder .*missing does not exist"),
    ("loop.png", "cannot write the chart to .*loop.png"),
], ids=["into-a-missing-folder", "loop"])
def test_a_link_is_checked_at_its_target(result, tmp_path, target, message):
    # The link's own folder exists: the save failed only after the drawing.
    link = tmp_path / ("loop.png" if target == "loop.png" else "link.png")
    link.symlink_to(tmp_path / target)
    with pytest.raises(InputError, match=message):
        result.plot_forecast(4, path=link)
    good = tmp_path / "good.png"
    (tmp_path / "fine.png").symlink_to(good)
    plt.close(result.plot_forecast(4, path=tmp_path / "fine.png"))
    assert good.stat().st_size > 0


@pytest.mark.parametrize("ax", ["x", np.zeros(2)], ids=["text", "array"])
def test_ax_must_be_axes(result, ax):
    # An AttributeError came after the forecast was computed.
    with pytest.raises(InputError, match="ax must be a matplotlib Axes"):
        result.plot_forecast(4, ax=ax)


@pytest.mark.parametrize("option", ["log", "in_sample"])
def test_chart_switches_must_be_true_or_false(result, option):
    # log="no" drew the exponentiated series.
    before = plt.get_fignums()
    with pytest.raises(InputError, match=f"{option} must be True or False; got 'no'"):
        result.plot_forecast(4, **{option: "no"})
    assert plt.get_fignums() == before


@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="needs Linux's /proc")
def test_a_folder_that_takes_no_new_file_is_rejected_before_drawing(result, tmp_path):
    # /proc passes every permission test for root, and refused the file only after the
    # work.  The check creates the file and removes it again: nothing is left behind.
    from korvanta.plot import check_chart_path

    before = plt.get_fignums()
    with pytest.raises(InputError, match="cannot write the chart to /proc/korvanta.png"):
        result.plot_forecast(4, path="/proc/korvanta.png")
    assert plt.get_fignums() == before
    assert check_chart_path(tmp_path / "chart.png") == tmp_path / "chart.png"
    assert not list(tmp_path.iterdir())

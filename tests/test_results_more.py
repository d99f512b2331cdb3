"""The result record keeps what it reports: arrays handed to a caller, and the estimates,
cannot be changed into other answers afterwards."""

import copy
import pickle
import warnings

import numpy as np
import pandas as pd
import pytest

import korvanta


def _series(pandas):
    rng = np.random.default_rng(11)
    y = np.cumsum(rng.standard_normal(80)) + 20.0
    y[[0, 9, 40, 79]] = np.nan
    if pandas:
        return pd.Series(y, index=pd.date_range("2001-01", periods=y.size, freq="MS"),
                         name="level")
    return y


def _fit(y):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return korvanta.fit(y, (1, 1, 1))


def _report(res):
    return (res.summary(), res.diagnostics(), np.asarray(res.resid).copy(),
            np.asarray(res.fittedvalues).copy(), np.asarray(res.forecast(3).mean).copy())


def _same(a, b):
    assert a[0] == b[0] and a[1] == b[1]
    for x, y in zip(a[2:], b[2:]):
        np.testing.assert_array_equal(x, y)


@pytest.mark.parametrize("pandas", [False, True], ids=["array", "Series"])
@pytest.mark.parametrize("attribute", ["resid", "fittedvalues"])
def test_changing_the_returned_paths_leaves_the_result_alone(pandas, attribute):
    # Filling in the missing residuals (or scaling them) in the array one was given used
    # to change the kept paths: the checks then counted the filled values, and the next
    # `resid` returned the changed ones.
    res = _fit(_series(pandas))
    before = _report(res)
    got = getattr(res, attribute)
    values = got.to_numpy() if pandas else got
    if pandas:
        got.iloc[:] = 0.0
    else:
        got[:] = 0.0
    assert not np.any(values)
    _same(_report(res), before)


def test_estimates_cannot_be_changed_in_place():
    # `params[0] = …` used to change the reported estimate and leave its standard error,
    # the likelihood and the criteria of the old one beside it.
    res = _fit(_series(False))
    before = _report(res)
    with pytest.raises(ValueError, match="read-only"):
        res.params[0] = 0.5
    with pytest.raises(ValueError, match="read-only"):
        res.params *= 2.0
    _same(_report(res), before)
    # A copy is the caller's own.
    p = res.params.copy()
    p[0] = 0.5
    assert res.params[0] != 0.5


@pytest.mark.parametrize("how", ["pickle", "deepcopy", "copy", "apply"])
def test_copies_and_applied_results_keep_their_estimates(how):
    res = _fit(_series(True))
    before = _report(res)
    other = {"pickle": lambda r: pickle.loads(pickle.dumps(r)),
             "deepcopy": copy.deepcopy, "copy": copy.copy,
             "apply": lambda r: r.apply(_series(True))}[how](res)
    with pytest.raises(ValueError, match="read-only"):
        other.params[0] = 0.5
    np.testing.assert_array_equal(other.params, res.params)
    assert other.llf == res.llf
    _same(_report(res), before)
    if how != "apply":
        _same(_report(other), before)


@pytest.mark.parametrize("given", ["array", "series", "one-column", "frame", "dates"])
def test_changing_the_callers_data_after_the_fit_leaves_the_result_alone(given):
    """Residuals, forecasts and checks are worked out when first asked for, from the
    data the fit kept: not from the caller's arrays as they are by then."""
    rng = np.random.default_rng(5)
    y = np.cumsum(rng.standard_normal(60)) + 10.0
    x = rng.standard_normal((60, 1))
    dates = np.arange("2001-01", "2006-01", dtype="datetime64[M]")
    kwargs = {"array": {}, "series": {}, "one-column": {"exog": x[:, 0]},
              "frame": {"exog": pd.DataFrame(x, columns=["x"])}, "dates": {"index": dates}}[given]
    data = pd.Series(y) if given == "series" else y
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        res = korvanta.fit(data, (1, 1, 0), **kwargs)
        expected = korvanta.fit(y.copy(), (1, 1, 0), **copy.deepcopy(kwargs))
    future = {"exog": np.zeros((3, 1))} if "exog" in kwargs else {}
    if given in ("array", "series"):
        data[:] = 0.0
    elif given == "one-column":
        x[:] = 0.0
    elif given == "frame":
        kwargs["exog"].iloc[:, 0] = 0.0
    else:
        dates[:] = dates[0]
    np.testing.assert_array_equal(np.asarray(res.resid), np.asarray(expected.resid))
    if given == "dates":
        np.testing.assert_array_equal(res.forecast(3).index, expected.forecast(3).index)
    np.testing.assert_array_equal(res.forecast(3, **future).mean,
                                  expected.forecast(3, **future).mean)
    assert res.summary() == expected.summary() and res.diagnostics() == expected.diagnostics()

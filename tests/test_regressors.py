"""Regressors whose coefficients the likelihood cannot tell apart: refused before the fit
with the column named, while the designs next to them (a constant without an intercept,
a dummy that the differencing does not remove) keep being fitted."""

import warnings

import numpy as np
import pytest

import korvanta
from korvanta import InputError
from korvanta.problem import make_problem
from korvanta.start import _WINDOW, check_identified

N = 120


def _data():
    rng = np.random.default_rng(7)
    x1, x2 = rng.standard_normal(N), rng.standard_normal(N)
    e = rng.standard_normal(N)
    y = np.empty(N)
    y[0] = e[0]
    for t in range(1, N):
        y[t] = 0.5 * y[t - 1] + e[t]
    return y + 2.0 * x1, x1, x2


def _monthly(k):
    """Dummies of the first k months of a monthly series."""
    return (np.arange(N)[:, None] % 12 == np.arange(k)).astype(float)


Y, X1, X2 = _data()
T = np.arange(1.0, N + 1.0)
ONES = np.ones(N)


@pytest.mark.parametrize("order, seasonal, trend, exog, message", [
    # Columns that are combinations of others: before, fits with coefficients such as -79
    # and 27 and standard errors of 4e6, or NaN, reported as converged.
    ((1, 0, 0), (0, 0, 0, 0), None, np.column_stack([X1, X1]),
     "column 'x2' is a linear combination of 'x1'"),
    ((1, 0, 0), (0, 0, 0, 0), None, np.column_stack([X1, 3.0 * X1]),
     "column 'x2' is a linear combination of 'x1'"),
    ((1, 0, 0), (0, 0, 0, 0), None, np.column_stack([X1, X2, X1 + X2]),
     "column 'x3' is a linear combination of 'x1' and 'x2'"),
    ((1, 0, 0), (0, 0, 0, 0), "c", np.column_stack([X1, ONES]),
     "column 'x2' is a linear combination of the intercept"),
    ((1, 0, 0), (0, 0, 0, 0), "c", np.column_stack([X1, _monthly(12)]),
     "column 'x13' is a linear combination of the intercept, 'x2'"),
    ((1, 1, 0), (0, 0, 0, 0), "c", np.column_stack([X1, T]),
     "differencing \\(d=1\\), exog column 'x2' is a linear combination of the intercept"),
    # Columns that the differencing removes: before, coefficients driven to millions by
    # the diffuse states' finite prior, with a log-likelihood above the model without them
    # (by 3.1 for the seasonal dummies).
    ((1, 1, 0), (0, 0, 0, 0), None, np.column_stack([X1, ONES]),
     "column 'x2' is constant and so vanishes in the model's differencing \\(d=1\\)"),
    ((0, 1, 1), (0, 1, 1, 12), None, np.column_stack([X1, _monthly(11)]),
     "column 'x2' vanishes in the model's differencing \\(d=1, D=1, s=12\\)"),
    ((2, 2, 0), (0, 0, 0, 0), None, np.column_stack([X1, 5.0 - 0.25 * T]),
     "column 'x2' vanishes in the model's differencing \\(d=2\\)"),
])
def test_unidentified_regressors_are_refused_before_the_fit(order, seasonal, trend, exog,
                                                            message):
    with pytest.raises(InputError, match=message):
        korvanta.fit(Y, order, seasonal, trend, exog)


def _fit(*args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", korvanta.KorvantaWarning)
        return korvanta.fit(*args, **kwargs)


def test_a_constant_regressor_is_the_intercept_in_another_form():
    # Without an intercept a constant regressor is the series' mean: the same likelihood
    # as the intercept, whose mean c / (1 - phi) it estimates.
    with_x = _fit(Y, (1, 0, 0), exog=np.column_stack([X1, ONES]))
    with_c = _fit(Y, (1, 0, 0), trend="c", exog=X1[:, None])
    assert with_x.llf == pytest.approx(with_c.llf, abs=1e-5)
    c, beta, phi = with_c.params[0], with_c.params[1], with_c.params[2]
    np.testing.assert_allclose(with_x.params[:3], [beta, c / (1.0 - phi), phi], atol=1e-3)


@pytest.mark.parametrize("order, trend, column", [
    # A dummy at the first observation: its difference is there to estimate it from.
    ((1, 1, 0), None, np.eye(N)[0]),
    # A step in the middle of a differenced model, and a time trend beside an intercept
    # without differencing (the trend's mean moves from its value at the start).
    ((1, 1, 0), "c", (T > 60).astype(float)),
    ((1, 0, 0), "ct", T),
    # A regressor far from zero beside the intercept.
    ((1, 0, 0), "c", 1e8 + np.sin(T)),
    # A dummy that never fires in the sample is accepted (its coefficient has no
    # standard error).
    ((1, 1, 0), None, np.zeros(N)),
])
def test_identified_regressors_next_to_the_refused_ones_are_fitted(order, trend, column):
    res = _fit(Y, order, trend=trend, exog=np.column_stack([X1, column]))
    assert np.isfinite(res.llf)
    assert res.param_names[len(res.problem.trend_powers) + 1] == "x2"


def test_a_long_series_is_judged_on_all_its_rows():
    # The check looks at the last observations first: a dummy that fires only early is
    # zero there, yet identified by the whole series; an exact copy is refused anyway.
    n = _WINDOW + 500
    y = np.random.default_rng(1).standard_normal(n)
    early = (np.arange(n) < 100).astype(float)
    check_identified(make_problem(y, (1, 0, 0), (0, 0, 0, 0), "c", early[:, None]))
    check_identified(make_problem(y, (1, 1, 0), (0, 0, 0, 0), None, early[:, None]))
    with pytest.raises(InputError, match="vanishes in the model's differencing"):
        check_identified(make_problem(y, (1, 1, 0), (0, 0, 0, 0), None, np.ones((n, 1))))
    with pytest.raises(InputError, match="column 'x2' is a linear combination of 'x1'"):
        check_identified(make_problem(y, (1, 0, 0), (0, 0, 0, 0), None,
                                      np.column_stack([early, 2.0 * early])))

"""Properties of fits on simulated series and on hostile ones: the search never ends
below its start, parameters keep the extension's layout, and odd input either fits or is
refused with InputError."""

import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import _korvanta_rs as kr
import korvanta
from korvanta.problem import make_problem
from korvanta.start import start_params
from reference import arma11_autocovariance, central_hessian


def _simulate(rng, n, ar, ma, d):
    e = rng.standard_normal(n + 50)
    x = np.zeros(n + 50)
    for t in range(n + 50):
        x[t] = e[t] + sum(a * x[t - i - 1] for i, a in enumerate(ar) if t > i) \
            + sum(m * e[t - i - 1] for i, m in enumerate(ma) if t > i)
    x = x[50:]
    for _ in range(d):
        x = np.cumsum(x)
    return x


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(seed=st.integers(0, 2 ** 32 - 1), p=st.integers(0, 2), d=st.integers(0, 1),
       q=st.integers(0, 2), trend=st.sampled_from([None, "c"]), n=st.integers(40, 200),
       missing=st.integers(0, 5))
@example(seed=522, p=0, d=1, q=0, trend=None, n=51, missing=2)  # the first value missing
def test_search_never_ends_below_its_start(seed, p, d, q, trend, n, missing):
    rng = np.random.default_rng(seed)
    y = _simulate(rng, n, [0.5, -0.2][:p], [0.4, 0.2][:q], d)
    y[rng.choice(n, missing, replace=False)] = np.nan
    problem = make_problem(y, (p, d, q), (0, 0, 0, 0), trend, None)
    start = start_params(problem)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", korvanta.KorvantaWarning)
        res = korvanta.fit(y, (p, d, q), trend=trend)
    at_start = kr.loglike(problem.y, start, **problem.data_kwargs())
    assert res.llf >= at_start - 1e-9 * abs(at_start)
    assert len(res.params) == len(res.param_names) == kr.spec_dims(
        (p, d, q), (0, 0, 0, 0), list(problem.trend_powers))[4]
    # The first d observed values initialise the differencing (periods missing at the
    # front are left out first).
    first = int(np.argmax(np.isfinite(y)))
    assert res.nobs == np.count_nonzero(~np.isnan(y[first + d:]))
    # The forecast continues where the series ends.
    fc = res.forecast(3)
    assert np.all(np.isfinite(fc.mean)) and np.all(fc.se > 0)


@settings(max_examples=60, deadline=None)
@given(values=st.lists(st.one_of(st.floats(allow_nan=True, allow_infinity=True, width=64),
                                 st.integers(-10 ** 6, 10 ** 6)), min_size=0, max_size=60),
       order=st.tuples(st.integers(0, 3), st.integers(0, 2), st.integers(0, 3)))
# A constant series that an AR(2) follows exactly: the standard errors' differences step
# outside the region, where the per-observation terms are infinite.
@example(values=[1] * 13, order=(2, 0, 0))
def test_hostile_series_fit_or_are_refused(values, order):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            res = korvanta.fit(values, order)
        except korvanta.InputError:
            return
    assert isinstance(res.llf, float)
    assert res.params.shape == (len(res.param_names),)
    assert res.converged == (res.converged and np.isfinite(res.llf))
    # The report of any fit that was accepted renders, residual checks included.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", korvanta.KorvantaWarning)
        assert "Ljung-Box Q(" in res.summary()


@st.composite
def _odd_fits(draw):
    """A short series of an awkward shape and units, a model, the fit's options, and
    regressors for the fit and (not always of the right shape) for the forecast."""
    rng = np.random.default_rng(draw(st.integers(0, 2 ** 32 - 1)))
    n = draw(st.integers(5, 60))
    shape = draw(st.sampled_from(["walk", "spike", "steps", "seasonal"]))
    y = rng.standard_normal(n).cumsum() if shape == "walk" else rng.standard_normal(n)
    if shape == "spike":
        y[rng.integers(n)] = draw(st.sampled_from([1e8, -1e12, 1e14, 1e94]))
    elif shape == "steps":
        y = np.repeat(y[: (n + 9) // 10], 10)[:n]
    elif shape == "seasonal":
        y += 10 * np.sin(np.arange(n) * np.pi / 2)
    y *= draw(st.sampled_from([1e-6, 1.0, 1e6]))
    model = dict(order=draw(st.tuples(st.integers(0, 2), st.integers(0, 1), st.integers(0, 2))),
                 seasonal_order=draw(st.sampled_from([(0, 0, 0, 0), (1, 0, 0, 4), (0, 1, 1, 4),
                                                      (1, 1, 1, 4)])),
                 trend=draw(st.sampled_from([None, "c", "t", "ct"])))
    options = dict(concentrate_scale=draw(st.booleans()),
                   enforce_stationarity=draw(st.booleans()),
                   enforce_invertibility=draw(st.booleans()),
                   cov_type=draw(st.sampled_from(["opg", "hessian"])),
                   maxiter=draw(st.sampled_from([1, 3, 1000])))
    k = draw(st.integers(0, 2))
    steps = draw(st.integers(0, 8))
    exog = rng.standard_normal((n, k)) if k else None
    future = None
    if k:
        rows, cols = draw(st.sampled_from([(steps, k), (steps + 1, k), (steps, k + 1)]))
        future = rng.standard_normal((rows, cols))
        if rows and draw(st.booleans()):
            future[0, 0] = draw(st.sampled_from([np.nan, np.inf]))
    alpha = draw(st.sampled_from([0.05, 1e-10, 0.999, 0.0, np.nan]))
    return y, model, exog, options, steps, future, alpha


_SPIKE = np.append(np.random.default_rng(0).standard_normal(49) * 1e-6, 1e94)
_FREE = dict(concentrate_scale=False, enforce_stationarity=False, enforce_invertibility=False,
             cov_type="opg", maxiter=1)
_RNG = np.random.default_rng(119)
_SPIKE_X = (np.where(np.arange(41) == 18, 1e14, _RNG.standard_normal(41) * 1e6),
            _RNG.standard_normal((41, 2)))


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(case=_odd_fits())
# A spike that sends an unconstrained AR estimate to 1e98: forecasts overflow to infinity,
# whose interval bounds were formed with a NumPy warning.
@example(case=(_SPIKE, dict(order=(1, 0, 0), seasonal_order=(0, 0, 0, 0), trend=None), None,
               _FREE, 3, None, 0.05))
# A spike that gives the first search step an infinite gradient entry.
@example(case=(_SPIKE_X[0], dict(order=(1, 0, 2), seasonal_order=(0, 0, 0, 0), trend=None),
               _SPIKE_X[1], _FREE, 0, np.empty((0, 2)), 0.05))
def test_any_option_fits_or_is_refused_and_its_result_reports(case):
    # Whatever the options, a fit is refused with InputError or gives a result whose
    # report, standard errors, checks, forecast and refit from its own estimates work
    # without an exception or a NumPy warning (the suite turns warnings into errors).
    y, model, exog, options, steps, future, alpha = case
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", korvanta.KorvantaWarning)
        try:
            res = korvanta.fit(y, exog=exog, **model, **options)
        except korvanta.InputError:
            return
        assert "coef" in res.summary()
        assert res.bse.shape == res.params.shape
        if res.nobs > 12:
            res.diagnostics()
        try:
            fc = res.forecast(steps, exog=future, alpha=alpha)
        except korvanta.InputError:
            bad_alpha = not 0.0 < alpha < 1.0
            bad_exog = future is not None and (future.shape != (steps, exog.shape[1])
                                                or not np.isfinite(future).all())
            assert bad_alpha or bad_exog
        else:
            assert fc.mean.shape == (steps,)
            finite = np.isfinite(fc.se)
            assert (fc.lower[finite] <= fc.upper[finite]).all()
            fc.table()
        try:
            again = korvanta.fit(y, exog=exog, start_params=res.params, **model, **options)
        except korvanta.InputError:
            return      # estimates on the boundary: not a valid start
        assert again.params.shape == res.params.shape


@pytest.mark.parametrize("scale", [1e-8, 1.0, 1e8], ids=["tiny", "unit", "huge"])
def test_fit_is_scale_equivariant(scale):
    rng = np.random.default_rng(5)
    y = _simulate(rng, 150, [0.6], [0.3], 0)
    base = korvanta.fit(y, (1, 0, 1), trend="c")
    scaled = korvanta.fit(y * scale, (1, 0, 1), trend="c")
    np.testing.assert_allclose(scaled.params[1:3], base.params[1:3], atol=2e-3)
    assert scaled.params[0] == pytest.approx(base.params[0] * scale, rel=1e-2, abs=1e-3 * scale)
    assert scaled.sigma2 == pytest.approx(base.sigma2 * scale ** 2, rel=1e-3)


@pytest.mark.parametrize("scale", [1e-3, 1e-6, 1e-8, 1e-20])
@pytest.mark.parametrize("order, d, tol", [((1, 0, 1), 0, 1e-9), ((0, 1, 2), 1, 1e-5),
                                           ((0, 1, 1), 1, 1e-5)], ids=str)
def test_results_in_small_units_are_the_results_scaled(order, d, tol, scale):
    # The reported log-likelihood, forecasts and standard errors of a series in small
    # units are those of the series in ordinary units, scaled: the steady-state test and
    # the diffuse states' width follow the series' units (the first made the ARMA(1,1)
    # lose 0.05 of its log-likelihood at 1e-4, the second the ARIMA models' every result
    # from 1e-6 on: a NaN likelihood and forecasts of the wrong level).
    rng = np.random.default_rng(11)
    y = _simulate(rng, 200, [0.6][:order[0]], [0.4, 0.2][:order[2]], d)
    base = korvanta.fit(y, order)
    res = korvanta.fit(y * scale, order)
    assert res.converged, res.message
    assert res.llf + res.nobs * np.log(scale) == pytest.approx(base.llf, abs=tol)
    fb, fs = base.forecast(6), res.forecast(6)
    np.testing.assert_allclose(fs.mean / scale, fb.mean, rtol=1e-6, atol=1e-6 * np.std(y))
    np.testing.assert_allclose(fs.se / scale, fb.se, rtol=1e-5)
    np.testing.assert_allclose(res.bse[:-1], base.bse[:-1], rtol=1e-3)


@pytest.mark.parametrize("cov_type", ["opg", "hessian"])
@pytest.mark.parametrize("order, seasonal, seed", [((1, 1, 2), (1, 0, 0, 7), 1),
                                                   ((1, 1, 1), (0, 0, 0, 0), 3),
                                                   ((0, 1, 2), (0, 0, 0, 0), 5)], ids=str)
def test_standard_errors_of_a_differenced_series_in_small_units(order, seasonal, seed,
                                                                 cov_type):
    # The diffuse states of a series in units of 1e-4 are some 1e12 innovation variances
    # wide (1e3 of its squared units), where the likelihood is too rough for the
    # differences of the Hessian (standard errors off by half a percent, or NaN): the
    # coefficients' standard errors must be those of the series in ordinary units.
    rng = np.random.default_rng(seed)
    y = _simulate(rng, 200, [0.5, 0.2][:order[0]], [0.3, 0.2][:order[2]], order[1])
    y[100:108] = np.nan
    base = korvanta.fit(y, order, seasonal, cov_type=cov_type)
    res = korvanta.fit(y * 1e-4, order, seasonal, cov_type=cov_type)
    np.testing.assert_allclose(res.params[:-1], base.params[:-1], atol=1e-4)
    np.testing.assert_allclose(res.bse[:-1], base.bse[:-1], rtol=2e-4)


@pytest.mark.parametrize("cov_type", ["opg", "hessian"])
@pytest.mark.parametrize("scale", [1e-100, 1e-30, 1e30, 1e100])
def test_standard_errors_follow_the_units(cov_type, scale):
    # They were differences with steps of order one in each parameter, in the data's units:
    # NaN for a series in units of 1e-30 (the step dwarfed the intercept) or of 1e100 (the
    # information overflowed), and a regressor's step depended on its units too.
    rng = np.random.default_rng(5)
    y = _simulate(rng, 150, [0.6], [0.3], 0) + 3.0
    x = rng.normal(size=(150, 1))
    base = korvanta.fit(y, (1, 0, 1), trend="c", exog=x, cov_type=cov_type)
    res = korvanta.fit(y * scale, (1, 0, 1), trend="c", exog=x * 1e3, cov_type=cov_type)
    # intercept, regressor, AR, MA, sigma2
    units = np.array([scale, scale * 1e-3, 1.0, 1.0, scale * scale])
    assert np.isfinite(base.bse).all()
    np.testing.assert_allclose(res.bse / units, base.bse, rtol=1e-3)
    np.testing.assert_allclose(res.cov_params[:4, :4] / np.outer(units[:4], units[:4]),
                               base.cov_params[:4, :4], rtol=2e-3, atol=1e-12)


@pytest.mark.parametrize("cov_type", ["opg", "hessian"])
@pytest.mark.parametrize("level, shift", [(1e3, 0.0), (1e5, 0.0), (-1e7, 0.0), (1e9, 0.0),
                                          (0.0, 1e6), (1e5, -1e8)])
@pytest.mark.parametrize("order, seasonal", [((1, 0, 0), (0, 0, 0, 0)),
                                             ((1, 0, 1), (1, 0, 0, 4))], ids=str)
def test_a_series_far_from_zero_fits_like_the_series_near_zero(order, seasonal, level, shift,
                                                               cov_type):
    # phi(L) Phi(L^s) (y_t + m - (x_t + a) b) = c + (m - a b) phi(1) Phi(1) + ...: adding
    # m to the series and a to the regressor moves the intercept by (m - a b) phi(1)
    # Phi(1) and changes nothing else.  Stepped in the data's level, the fit of a series
    # at 1e5 times its innovations (or with a regressor at 1e6 times its spread) stopped
    # short of the maximum as "converged", its start regressions lost their digits, and
    # the AR coefficient's standard error came out fifty times too small.
    rng = np.random.default_rng(3)
    y = _simulate(rng, 160, [0.9], [0.3][:order[2]], 0) + 2.0
    x = rng.normal(size=(160, 1))
    y = y + 0.5 * x[:, 0]
    base = korvanta.fit(y, order, seasonal, "c", x, cov_type=cov_type)
    res = korvanta.fit(y + level, order, seasonal, "c", x + shift, cov_type=cov_type)
    assert base.converged and res.converged, res.message
    # Both searches stop within their tolerance of the one maximum.
    assert res.llf == pytest.approx(base.llf, rel=2e-8)
    np.testing.assert_allclose(res.params[1:], base.params[1:], rtol=2e-4, atol=2e-4)
    first = 2    # intercept, regressor, then the AR and MA coefficients

    def at_one(params):
        return (1 - params[first:first + order[0]].sum(),
                1 - params[first + order[0] + order[2]:][:seasonal[0]].sum())

    def mean(params, level, shift):
        return params[0] / np.prod(at_one(params)) + shift * params[1] - level

    # Within a hundredth of the mean's standard error: the searches' tolerance.
    assert mean(res.params, level, shift) == pytest.approx(
        mean(base.params, 0.0, 0.0), abs=0.01 * base.bse[0] / np.prod(at_one(base.params)))
    ar, sar = at_one(base.params)
    gap = level - shift * base.params[1]
    # The covariance carried through the intercept's map from the fit near zero.
    J = np.eye(base.params.size)
    J[0, 1] = -shift * ar * sar
    J[0, first:first + order[0]] = -gap * sar
    J[0, first + order[0] + order[2]:][:seasonal[0]] = -gap * ar
    expected = J @ base.cov_params @ J.T
    np.testing.assert_allclose(res.bse, np.sqrt(np.diag(expected)), rtol=5e-3)


@pytest.mark.parametrize("missing", [False, True], ids=["zeros", "fires-where-y-is-missing"])
@pytest.mark.parametrize("cov_type", ["opg", "hessian"])
def test_a_regressor_that_is_zero_throughout_leaves_the_others_standard_errors(cov_type,
                                                                              missing):
    # Its coefficient does not enter the likelihood: its variance is NaN, and the other
    # parameters' covariance is that of the model without it at the same estimates (it
    # was NaN for every parameter).  Likewise a dummy that fires only where y is missing.
    from korvanta.covariance import covariance

    rng = np.random.default_rng(8)
    y = _simulate(rng, 150, [0.6], [0.3], 0) + 3.0
    x = rng.normal(size=150)
    X = np.column_stack([np.zeros(150), x, np.zeros(150)])
    if missing:
        y[70] = np.nan
        X[70, 2] = 1.0
    res = korvanta.fit(y, (1, 0, 1), trend="c", exog=X, cov_type=cov_type)
    assert res.params[1] == res.params[3] == 0.0
    kept = [0, 2, 4, 5, 6]
    without = make_problem(y, (1, 0, 1), (0, 0, 0, 0), "c", x[:, None])
    expected = covariance(without, res.params[kept], cov_type)
    assert np.isfinite(expected).all()
    assert res.cov_params[np.ix_(kept, kept)].tobytes() == expected.tobytes()
    assert np.isnan(res.bse[[1, 3]]).all() and np.isnan(res.cov_params[[1, 3]]).all()
    assert "nan" in res.summary()


def _dense_arma11_llf(params, y):
    """Exact Gaussian log-likelihood of ARMA(1,1) with an intercept, from the dense
    autocovariance matrix."""
    c, phi, theta, sigma2 = params
    n = y.size
    gamma = arma11_autocovariance(phi, theta, sigma2, n)
    G = gamma[np.abs(np.subtract.outer(np.arange(n), np.arange(n)))]
    e = y - c / (1 - phi)
    return -0.5 * (n * np.log(2 * np.pi) + np.linalg.slogdet(G)[1] + e @ np.linalg.solve(G, e))


@pytest.mark.parametrize("name", ["lakehuron", "nhtemp"])
@pytest.mark.parametrize("shift", [0.0, 0.3])
def test_hessian_standard_errors_of_an_intercept_model_match_dense_hessian(name, shift):
    # The intercept and the AR coefficient set the mean together, along a curved ridge:
    # steps relative to each coordinate left no negative-definite Hessian (NaN standard
    # errors for both).  Along the ridge, a little way from the maximum, the gradient is
    # small but not zero: the Hessian there is still the one of the reported parameters
    # (carried over from other coordinates it moved the standard errors by a tenth).
    from pkg_data import classic
    from korvanta.covariance import covariance

    y = classic(name)
    res = korvanta.fit(y, (1, 0, 1), trend="c", cov_type="hessian")
    assert _dense_arma11_llf(res.params, y) == pytest.approx(res.llf, rel=1e-12)
    p = res.params.copy()
    c, phi = p[0], p[1]
    p[1] = phi + shift * res.bse[1]
    p[0] = c / (1 - phi) * (1 - p[1])           # the same mean
    h = 1e-3 * korvanta.fit(y, (1, 0, 1), trend="c").bse
    H = central_hessian(lambda q: _dense_arma11_llf(q, y), p, h)
    bse = np.sqrt(np.diag(covariance(res.problem, p, "hessian")))
    np.testing.assert_allclose(bse, np.sqrt(np.diag(np.linalg.inv(-H))), rtol=3e-2)


@settings(max_examples=100, deadline=None)
@given(coefs=st.lists(st.floats(-3, 3).filter(lambda v: v == 0 or abs(v) > 1e-3),
                      min_size=0, max_size=5),
       sign=st.sampled_from([1.0, -1.0]))
def test_largest_inverse_root_matches_polynomial_roots(coefs, sign):
    from korvanta.roots import largest_inverse_root

    c = np.array(coefs, dtype=float)
    got = largest_inverse_root(c, sign)
    lag_poly = np.concatenate([[1.0], -sign * c])          # 1 - sign·(c1 L + …)
    nonzero = np.trim_zeros(lag_poly, "b")
    roots = np.roots(nonzero[::-1]) if nonzero.size > 1 else np.array([])
    expected = float(np.max(1 / np.abs(roots))) if roots.size else 0.0
    assert got == pytest.approx(expected, rel=1e-6, abs=1e-9)


@pytest.mark.parametrize("order", [(0, 1, 0), (1, 1, 0), (0, 1, 1)], ids=str)
def test_missing_first_observation_keeps_the_maximum(order):
    # With y[0] missing the differencing state stays diffuse into the first counted
    # observation; the reported log-likelihood must still be the maximum over sigma2.
    rng = np.random.default_rng(7)
    y = _simulate(rng, 120, [0.5][:order[0]], [0.4][:order[2]], 1)
    y[0] = np.nan
    res = korvanta.fit(y, order)
    problem = make_problem(y, order, (0, 0, 0, 0), None, None)
    for factor in (0.99, 1.01):
        params = res.params.copy()
        params[-1] *= factor
        assert res.llf >= kr.loglike(problem.y, params, **problem.data_kwargs())


# Points at which searches once stopped without a maximum (the Hessian has positive
# eigenvalues; each was reported as converged and without warnings: no constant on a
# series at a level of 4.5 and 7.5), and a maximum.
@pytest.mark.parametrize("name, order, seasonal, params", [
    ("wwwusage", (3, 0, 1), (0, 0, 0, 0), [0.569213, 0.235801, -0.002926, 0.285394, 0.631055]),
    ("ldeaths", (2, 0, 1), (1, 0, 1, 12),
     [0.528965, 0.271059, 0.32112, 0.871231, -0.840792, 1.340417]),
    ("airline", (0, 1, 1), (0, 1, 1, 12), None),
], ids=["wwwusage-not-a-maximum", "ldeaths-not-a-maximum", "airline-maximum"])
def test_covariance_that_is_not_positive_definite_is_reported(name, order, seasonal, params):
    # Some of the standard errors came out NaN (and the others meaningless) with nothing
    # in the result or its summary to say why.
    from dataclasses import replace
    from pkg_data import airline, classic

    y = airline() if name == "airline" else np.log(classic(name))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", korvanta.KorvantaWarning)
        res = korvanta.fit(y, order, seasonal, cov_type="hessian")
    if params is not None:
        res = replace(res, params=np.array(params))
    p, kw = res.params, res.problem.data_kwargs()
    h = 1e-3 * np.maximum(np.abs(p), 1.0)
    h[-1] = 1e-3 * p[-1]
    H = central_hessian(lambda q: kr.loglike(res.problem.y, q, **kw), p, h)
    maximum = bool(np.linalg.eigvalsh(H).max() < 0)
    assert maximum == (params is None)
    assert (res.covariance_note is None) == maximum
    assert (res.covariance_note in res.summary()) if not maximum else \
        "positive definite" not in res.summary()
    if maximum:
        np.testing.assert_allclose(res.bse, np.sqrt(np.diag(np.linalg.inv(-H))), rtol=2e-2)

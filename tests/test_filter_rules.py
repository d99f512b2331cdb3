"""Filter rules the tracking reference cannot show on its own: steady-state
mode, degenerate variances, burn-in, missing and empty series, and the
closed-form values of small systems."""

import _korvanta_rs as kr
import numpy as np
import pytest
from reference import Model, assert_close, filter_paths, forecast, kalman

ARMA11 = Model(order=(1, 0, 1))
ARMA11_PARAMS = np.array([0.6, 0.3, 1.5])
HUGE_TOL = 1e300  # every test passes: detection as early as the rules allow


def series(n, seed=0, missing=()):
    y = np.random.default_rng(seed).normal(size=n).cumsum() * 0.3
    y[list(missing)] = np.nan
    return y


def steady_replay(model, params, y, steady_from, pz, F):
    """Forecasts when the gain is frozen at (pz, F) from step `steady_from` on."""
    ref = kalman(model, params, y)
    sysm, out = ref["system"], ref["forecasts"].copy()
    a = kalman(model, params, y[:steady_from])["state"]  # tracked prediction for steady_from
    for t in range(steady_from, len(y)):
        out[t] = sysm.Z @ a
        a = sysm.T @ (a + pz * ((y[t] - out[t]) / F)) + sysm.c
    return out


def test_steady_state_freezes_variance_gain_and_covariance():
    y = series(12)
    fc, _, var, _ = kr.filter_paths(y, ARMA11_PARAMS, tolerance=HUGE_TOL, **ARMA11.kwargs())
    ref = kalman(ARMA11, ARMA11_PARAMS, y)
    # Never detected at t = 0; detected at t = 1, steady from t = 2 on.
    assert_close(var[:2], ref["variances"][:2], 1e-13)
    assert var[1] != ref["variances"][2]
    assert np.all(var[2:] == var[1])
    P1 = ref["covs"][1]
    assert_close(fc, steady_replay(ARMA11, ARMA11_PARAMS, y, 2, P1 @ ref["system"].Z, ref["variances"][1]), 1e-12)
    # The covariance handed on is the one predicted at the detection step,
    # whatever the series length.
    h1 = [kr.forecast(y[:n], ARMA11_PARAMS, horizon=1, tolerance=HUGE_TOL, **ARMA11.kwargs())[3][0]
          for n in (4, 12)]
    assert h1[0] == h1[1] == pytest.approx(ref["variances"][2], rel=1e-13)


def test_missing_value_in_steady_mode_restarts_tracking():
    y = series(14, missing=[5])
    var = kr.filter_paths(y, ARMA11_PARAMS, tolerance=HUGE_TOL, **ARMA11.kwargs())[2]
    sysm = kalman(ARMA11, ARMA11_PARAMS, y)["system"]
    Z, T, RQR = sysm.Z, sysm.T, sysm.sigma2 * np.outer(sysm.R, sysm.R)
    P_frozen = kalman(ARMA11, ARMA11_PARAMS, y[:2])["state_cov"]
    # t = 5 is missing: its variance comes from the frozen covariance, then
    # the recursion runs again; t = 6 tracks (y_5 missing), t = 7 re-detects.
    P6 = T @ P_frozen @ T.T + RQR
    pz6 = P6 @ Z
    P7 = T @ (P6 - np.outer(pz6, pz6) / (Z @ pz6)) @ T.T + RQR
    assert np.all(var[2:5] == var[1])
    assert_close(var[5:8], [Z @ P_frozen @ Z, Z @ P6 @ Z, Z @ P7 @ Z], 1e-13)
    assert var[7] != var[6]
    assert np.all(var[8:] == var[7])


@pytest.mark.parametrize("model, params, extra", [
    (Model(order=(1, 0, 1), trend_powers=(0,)), [0.0, 0.6, 0.3, 1.5], {}),
    (Model(order=(1, 0, 1), k_exog=1), [0.7, 0.6, 0.3, 1.5], {}),
    (ARMA11, ARMA11_PARAMS, {"tolerance": 0.0}),
    (ARMA11, ARMA11_PARAMS, {"tolerance": -1.0}),
], ids=["trend-disables", "exog-disables", "zero-tolerance", "negative-tolerance"])
def test_steady_state_not_entered(model, params, extra):
    y = series(30, missing=[9])
    params = np.asarray(params, dtype=float)
    kw = {**model.kwargs(), "tolerance": HUGE_TOL, **extra}
    var = kr.filter_paths(y, params, **kw)[2]
    assert_close(var, kalman(model, params, y)["variances"], 1e-12)


def test_default_tolerance_stays_close_to_tracking():
    m, params = Model(order=(2, 0, 1)), np.array([0.5, -0.2, 0.4, 2.0])
    y = series(400, seed=3)
    var = kr.filter_paths(y, params, **m.kwargs())[2]
    assert np.all(var[-100:] == var[-1])
    assert kr.loglike(y, params, **m.kwargs()) == pytest.approx(kalman(m, params, y)["loglike"], rel=1e-9)


@pytest.mark.parametrize("concentrate", [False, True], ids=["plain", "concentrated"])
def test_negative_variance_after_burn_in(concentrate):
    # Variance -4 before the single diffuse observation, then
    # phi^2 * -4 + sigma2 <= 0 at t = 1, then positive again.
    m = Model(order=(1, 0, 0), enforce_stationarity=False, concentrate_scale=concentrate)
    params = np.array([0.5] if concentrate else [0.5, 0.25])
    y = series(10)
    kw = dict(m.kwargs(), diffuse_variance=-4.0)
    ref = kalman(m, params, y, diffuse_variance=-4.0)
    assert np.isnan(kr.loglike(y, params, **kw)) and np.isnan(ref["loglike"])
    obs = kr.loglikeobs(y, params, **kw)
    assert obs[0] == obs[1] == 0.0
    assert np.all(np.isfinite(obs)) and np.all(obs[2:] != 0.0)
    assert_close(obs, ref["loglike_obs"], 1e-13)
    u = np.array([0.5] if concentrate else [0.5, 0.5])  # sigma2 = 0.5 ** 2 exactly
    assert kr.loglike_u(y, u, **kw) == -np.inf
    var = kr.filter_paths(y, params, **kw)[2]
    assert var[0] == -4.0 and var[1] <= 0.0
    assert_close(var, ref["variances"], 1e-13)  # a NaN likelihood leaves them unscaled
    kw.pop("concentrate_scale")
    assert kr.concentrated_scale(y, params[:1], **kw) == 1.0


def test_zero_variance_within_burn_in_is_skipped():
    m = Model(order=(1, 0, 0), enforce_stationarity=False)
    params, y = np.array([0.5, 2.0]), series(10)
    ll = kr.loglike(y, params, diffuse_variance=0.0, **m.kwargs())
    ref = kalman(m, params, y, diffuse_variance=0.0)
    assert np.isfinite(ll) and ll == pytest.approx(ref["loglike"], rel=1e-13)
    fc, _, var, _ = kr.filter_paths(y, params, diffuse_variance=0.0, **m.kwargs())
    assert var[0] == 0.0 and fc[1] == 0.0  # no update from the degenerate step


def test_zero_sigma2_gives_nan_everywhere_it_counts():
    m, params, y = Model(order=(1, 0, 0)), np.array([0.5, 0.0]), series(8)
    assert np.isnan(kr.loglike(y, params, **m.kwargs()))
    assert kr.loglike_u(y, np.array([0.5, 0.0]), **m.kwargs()) == -np.inf
    np.testing.assert_array_equal(kr.loglikeobs(y, params, **m.kwargs()), np.zeros(8))
    fc, err, var, ll = kr.filter_paths(y, params, **m.kwargs())
    assert np.isnan(ll) and np.all(var == 0.0)


@pytest.mark.parametrize("concentrate", [False, True], ids=["plain", "concentrated"])
@pytest.mark.parametrize("y", [np.full(6, np.nan), np.array([3.0, np.nan, 2.0]), np.empty(0)],
                         ids=["all-missing", "all-in-burn-in", "empty"])
def test_nothing_counted(y, concentrate):
    m = Model(order=(1, 1, 1), seasonal_order=(0, 1, 0, 2), trend_powers=(0, 1), concentrate_scale=concentrate)
    params = np.array([0.3, 0.05, 0.5, 0.4] + ([] if concentrate else [2.0]))
    kw = m.kwargs()
    assert kr.loglike(y, params, **kw) == 0.0
    np.testing.assert_array_equal(kr.loglikeobs(y, params, **kw), np.zeros(len(y)))
    fc, err, var, ll = kr.filter_paths(y, params, **kw)
    assert ll == 0.0 and np.array_equal(np.isnan(err), np.isnan(y))
    ref = filter_paths(m, params, y)
    assert_close(fc, ref[0], 1e-12)
    assert_close(var, ref[2], 1e-12)  # a scale of 1.0 leaves them as they are
    out = kr.forecast(y, params, horizon=4, **kw)
    for got, want in zip(out[2:], forecast(m, params, y, 4)[2:]):
        assert_close(got, want, 1e-12)
    kw.pop("concentrate_scale")
    assert kr.concentrated_scale(y, params[:4], **kw) == 1.0


def test_burn_in_observations_update_the_state():
    m = Model(order=(1, 1, 0))
    params, y = np.array([0.5, 1.0]), series(6)
    obs = kr.loglikeobs(y, params, **m.kwargs())
    assert obs[0] == 0.0 and np.all(obs[1:] != 0.0)
    ref = kalman(m, params, y)
    assert_close(kr.filter_paths(y, params, **m.kwargs())[0], ref["forecasts"], 1e-12)
    k_diffuse_2 = Model(order=(1, 1, 0), enforce_stationarity=False)
    obs2 = kr.loglikeobs(y, params, **k_diffuse_2.kwargs())
    assert obs2[0] == obs2[1] == 0.0 and np.all(obs2[2:] != 0.0)


@pytest.mark.parametrize("model, params, y, expect", [
    (Model(order=(1, 0, 0)), [0.5, 1.0], [0.0], {"var0": 1.3333333333333333}),
    (Model(order=(1, 0, 0), trend_powers=(0,)), [3.0, 0.5, 1.0], [0.0], {"fc0": 6.0}),
    (Model(order=(1, 0, 1), trend_powers=(0,)), [2.0, 0.5, 0.4, 1.0], [0.0], {"fc0": 4.0}),
    (Model(order=(0, 0, 0), trend_powers=(0, 1)), [1.0, 0.5, 1.0], [0.0, 0.0, 0.0],
     {"fc": [1.5, 1.5, 2.0], "means": [2.5, 3.0]}),
    (Model(order=(0, 0, 0), trend_powers=(0, 1), trend_offset=0.0), [1.0, 0.5, 1.0], [0.0, 0.0, 0.0],
     {"fc": [1.0, 1.0, 1.5], "means": [2.0, 2.5]}),
], ids=["ar1-stationary-variance", "ar1-constant-trend-mean", "arma11-trend-mean", "linear-trend",
        "linear-trend-offset-0"])
def test_closed_form_values(model, params, y, expect):
    params, y = np.asarray(params, dtype=float), np.asarray(y, dtype=float)
    fc, _, means, _ = kr.forecast(y, params, horizon=2, **model.kwargs())
    var = kr.filter_paths(y, params, **model.kwargs())[2]
    if "var0" in expect:
        assert var[0] == pytest.approx(expect["var0"], rel=1e-15)
    if "fc0" in expect:
        assert fc[0] == pytest.approx(expect["fc0"], rel=1e-15)
    if "fc" in expect:
        np.testing.assert_allclose(fc, expect["fc"], rtol=1e-15)
        np.testing.assert_allclose(means, expect["means"], rtol=1e-15)


@pytest.mark.parametrize("diffuse", [0.0, 1e6])
def test_arima111_initial_covariance(diffuse):
    # P0 = diag(diffuse, [[2.08, 0.4], [0.4, 0.16]]), design (0, 1): the first
    # variance is diffuse + 2.08; one step on it is T P0 T' + R R'.
    m, params = Model(order=(1, 1, 1)), np.array([0.5, 0.4, 1.0])
    _, _, _, var = kr.forecast(np.empty(0), params, horizon=2, diffuse_variance=diffuse, **m.kwargs())
    P0 = np.array([[diffuse, 0, 0], [0, 2.08, 0.4], [0, 0.4, 0.16]])
    T = np.array([[1.0, 1.0, 0.0], [0.0, 0.5, 1.0], [0.0, 0.0, 0.0]])
    R, Z = np.array([0.0, 1.0, 0.4]), np.array([1.0, 1.0, 0.0])
    np.testing.assert_allclose(var, [Z @ P0 @ Z, Z @ (T @ P0 @ T.T + np.outer(R, R)) @ Z], rtol=1e-14)


@pytest.mark.parametrize(
    "order, seasonal_order",
    [((1, 0, 0), (0, 3, 0, 2)), ((0, 1, 1), (0, 3, 0, 3)), ((1, 0, 0), (0, 4, 0, 2))],
    ids=["D3-s2", "d1-D3-s3", "D4-s2"],
)
def test_three_or_more_seasonal_differences_integrate_every_level(order, seasonal_order):
    # Each seasonal block's first state must add the current value of every deeper level;
    # the dense reference integrates the differenced process back level by level.
    model = Model(order=order, seasonal_order=seasonal_order)
    y = np.cumsum(np.cumsum(np.random.default_rng(3).normal(size=60)))
    params = np.array([0.5, 1.0])
    got = kr.filter_paths(y, params, **model.kwargs(), diffuse_variance=1e3, tolerance=0.0)
    want = filter_paths(model, params, y, diffuse_variance=1e3)
    for g, w in zip(got[:3], want[:3]):
        np.testing.assert_allclose(g, w, rtol=1e-8, atol=1e-8 * np.nanmax(np.abs(w)))
    assert got[3] == pytest.approx(want[3], rel=1e-9)

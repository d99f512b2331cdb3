"""Log-likelihood, per-observation terms, filter paths and concentrated scale
against the dense reference filter, plus the regressor rules."""

import dataclasses

import _korvanta_rs as kr
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from reference import Model, assert_close, draw_case, filter_paths, kalman


@st.composite
def cases(draw):
    return draw_case(draw)


@settings(max_examples=80, deadline=None)
@given(case=cases())
def test_agrees_with_dense_reference(case):
    m, params, y = case.model, case.params, case.y
    kw = case.kwargs()
    rtol = case.rtol
    ref = kalman(m, params, y, case.exog, case.diffuse_variance)
    obs_scale = max(1.0, float(np.sum(np.abs(ref["loglike_obs"]))))

    ll = kr.loglike(y, params, **kw)
    assert_close(ll, ref["loglike"], rtol, scale=obs_scale)
    obs = kr.loglikeobs(y, params, **kw)
    assert_close(obs, ref["loglike_obs"], rtol, scale=obs_scale)
    assert np.all(obs[: m.k_diffuse] == 0.0)
    assert np.all(obs[np.isnan(y)] == 0.0)
    assert obs.sum() == pytest.approx(ll, rel=1e-12, abs=1e-12 * obs_scale)

    fc, err, var, ll_paths = kr.filter_paths(y, params, **kw)
    assert ll_paths == ll
    for got, want in zip((fc, err, var), filter_paths(m, params, y, case.exog, case.diffuse_variance)):
        assert_close(got, want, rtol)
    assert np.array_equal(np.isnan(err), np.isnan(y))

    # The concentrated scale always profiles sigma2 out, so it takes the
    # parameter vector without its variance entry.
    conc = dataclasses.replace(m, concentrate_scale=True)
    p_conc = params if m.concentrate_scale else params[:-1]
    kw_conc = {k: v for k, v in kw.items() if k != "concentrate_scale"}
    scale = kr.concentrated_scale(y, p_conc, **kw_conc)
    ref_conc = kalman(conc, p_conc, y, case.exog, case.diffuse_variance)
    assert scale == pytest.approx(ref_conc["scale"], rel=rtol)
    if m.concentrate_scale:
        # loglike = -0.5 (sum ln F + (ln scale + ln 2 pi + 1) N) with F the unscaled variances
        counted = (np.arange(len(y)) >= m.k_diffuse) & ~np.isnan(y)
        f = var[counted] / scale
        expect = -0.5 * (np.log(f).sum() + (np.log(scale) + np.log(2 * np.pi) + 1.0) * counted.sum())
        assert ll == pytest.approx(expect, rel=1e-9, abs=1e-9)


@settings(max_examples=40, deadline=None)
@given(case=cases())
def test_loglike_u_is_loglike_at_the_transformed_vector(case):
    m = case.model
    u = case.rng.normal(size=m.n_params)
    p = kr.transform_params(u, **m.kwargs())
    ll = kr.loglike(case.y, p, **case.kwargs())
    llu = kr.loglike_u(case.y, u, **case.kwargs())
    if np.isfinite(ll):
        assert llu == ll
    else:
        assert llu == -np.inf


@pytest.mark.parametrize("concentrate", [False, True], ids=["plain", "concentrated"])
@pytest.mark.parametrize("tolerance", [0.0, 1e-19], ids=["tracking", "default-tolerance"])
def test_sum_of_loglikeobs_equals_loglike(concentrate, tolerance):
    rng = np.random.default_rng(7)
    y = np.cumsum(rng.normal(size=150))
    y[[20, 21, 60, 149]] = np.nan
    params = np.array([0.4, -0.2, 0.3] + ([] if concentrate else [1.7]))
    kw = dict(order=(2, 1, 1), seasonal_order=(0, 0, 0, 0), trend_powers=[], concentrate_scale=concentrate,
              tolerance=tolerance)
    ll = kr.loglike(y, params, **kw)
    obs = kr.loglikeobs(y, params, **kw)
    assert np.isfinite(ll)
    assert obs.sum() == pytest.approx(ll, rel=1e-13)


def white_noise_with_exog(beta, k_exog):
    return np.array([*beta, 1.0]), dict(order=(0, 0, 0), seasonal_order=(0, 0, 0, 0), trend_powers=[],
                                        k_exog=k_exog, tolerance=0.0)


def test_exog_is_laid_out_regressor_by_regressor():
    # A white-noise state never moves, so the forecasts are the regression term alone.
    x, z = np.array([1.0, 2.0, 3.0]), np.array([-1.0, 0.5, 4.0])
    params, kw = white_noise_with_exog([2.0, -3.0], 2)
    fc, _, _, _ = kr.filter_paths(np.zeros(3), params, exog=np.concatenate([x, z]), **kw)
    np.testing.assert_array_equal(fc, 2.0 * x + -3.0 * z)


def test_exog_omitted_ignores_beta():
    rng = np.random.default_rng(3)
    y = rng.normal(size=40)
    m = Model(order=(1, 0, 1), k_exog=2)
    base = np.array([0.5, 0.4, 1.2])  # ar, ma, sigma2: the parameters without regressors
    lls = [kr.loglike(y, np.concatenate([beta, base]), **m.kwargs()) for beta in ([5.0, -3.0], [0.0, 0.0])]
    assert lls[0] == lls[1]
    assert lls[0] == pytest.approx(kalman(Model(order=(1, 0, 1)), base, y)["loglike"], rel=1e-10)


def test_empty_exog_with_no_regressors_is_the_same_as_none():
    y = np.random.default_rng(4).normal(size=30)
    params = np.array([0.5, 1.0])
    kw = dict(order=(1, 0, 0), seasonal_order=(0, 0, 0, 0), trend_powers=[])
    assert kr.loglike(y, params, exog=np.empty(0), **kw) == kr.loglike(y, params, **kw)
    with pytest.raises(ValueError, match=r"^exog has 30 entries, expected k_exog \* n = 0$"):
        kr.loglike(y, params, exog=np.ones(30), **kw)


@pytest.mark.parametrize("fn", [kr.loglike, kr.loglikeobs, kr.concentrated_scale, kr.filter_paths],
                         ids=lambda f: f.__name__)
def test_empty_series(fn):
    params = np.array([0.5, 0.2]) if fn is kr.concentrated_scale else np.array([0.5, 0.2, 1.0])
    out = fn(np.empty(0), params, (1, 1, 1), (0, 0, 0, 0), [])
    if fn is kr.loglikeobs:
        assert out.shape == (0,)
    elif fn is kr.filter_paths:
        assert [a.shape for a in out[:3]] == [(0,)] * 3 and out[3] == 0.0
    else:
        assert out == (1.0 if fn is kr.concentrated_scale else 0.0)

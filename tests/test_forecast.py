"""Out-of-sample forecasts: agreement with the dense reference and the rules
for horizons, future regressors, missing ends and the concentrated scale."""

import dataclasses

import _korvanta_rs as kr
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from reference import Model, assert_close, draw_case, forecast


@st.composite
def forecast_cases(draw):
    case = draw_case(draw, max_n=40)
    horizon = draw(st.integers(0, 8))
    future = None
    if case.model.k_exog and draw(st.booleans()):
        future = case.rng.normal(size=case.model.k_exog * horizon)
    return case, horizon, future


@settings(max_examples=60, deadline=None)
@given(args=forecast_cases())
def test_agrees_with_dense_reference(args):
    case, horizon, future = args
    out = kr.forecast(case.y, case.params, horizon=horizon, exog_future=future, **case.kwargs())
    want = forecast(case.model, case.params, case.y, horizon, case.exog, future, case.diffuse_variance)
    assert [len(a) for a in out] == [len(case.y)] * 2 + [horizon] * 2
    for got, expect in zip(out, want):
        assert_close(got, expect, case.rtol)
    fp = kr.filter_paths(case.y, case.params, **case.kwargs())
    np.testing.assert_array_equal(out[0], fp[0])
    np.testing.assert_array_equal(out[1], fp[1])


MODEL = Model(order=(1, 1, 1), seasonal_order=(1, 0, 0, 4), trend_powers=(1,), k_exog=2)
PARAMS = np.array([0.05, 1.5, -2.0, 0.5, 0.3, -0.4, 0.8])


def data(n=30, horizon=5, seed=11):
    rng = np.random.default_rng(seed)
    return np.cumsum(rng.normal(size=n)), rng.normal(size=2 * n), rng.normal(size=2 * horizon)


def test_horizon_zero_gives_empty_forecasts():
    y, exog, _ = data()
    fc, err, means, var = kr.forecast(y, PARAMS, horizon=0, exog=exog, **MODEL.kwargs())
    assert means.shape == var.shape == (0,)
    fp = kr.filter_paths(y, PARAMS, exog=exog, **MODEL.kwargs())
    np.testing.assert_array_equal(fc, fp[0])
    np.testing.assert_array_equal(err, fp[1])


def test_future_regressors_add_their_term_to_the_means_only():
    y, exog, future = data()
    _, _, m_none, v_none = kr.forecast(y, PARAMS, horizon=5, exog=exog, **MODEL.kwargs())
    _, _, m_fut, v_fut = kr.forecast(y, PARAMS, horizon=5, exog=exog, exog_future=future, **MODEL.kwargs())
    np.testing.assert_array_equal(v_none, v_fut)
    beta = PARAMS[1:3]
    np.testing.assert_allclose(m_fut - m_none, future.reshape(2, 5).T @ beta, rtol=1e-12, atol=1e-12)
    assert_close(m_none, forecast(MODEL, PARAMS, y, 5, exog)[2], 1e-12)


def test_exog_future_without_regressors():
    m, params, y = Model(order=(1, 0, 0)), np.array([0.5, 1.0]), np.arange(10.0)
    base = kr.forecast(y, params, horizon=3, **m.kwargs())
    empty = kr.forecast(y, params, horizon=3, exog_future=np.empty(0), **m.kwargs())
    for a, b in zip(base, empty):
        np.testing.assert_array_equal(a, b)
    with pytest.raises(ValueError, match=r"^exog_future has 3 entries, expected k_exog \* n = 0$"):
        kr.forecast(y, params, horizon=3, exog_future=np.ones(3), **m.kwargs())


def test_missing_last_observation_continues_the_prediction():
    y, exog, future = data(horizon=4)
    y[-1] = np.nan
    short_exog = exog.reshape(2, -1)[:, :-1].ravel()
    longer_future = np.concatenate([exog.reshape(2, -1)[:, -1:], future.reshape(2, 4)], axis=1).ravel()
    full = kr.forecast(y, PARAMS, horizon=4, exog=exog, exog_future=future, **MODEL.kwargs())
    cut = kr.forecast(y[:-1], PARAMS, horizon=5, exog=short_exog, exog_future=longer_future, **MODEL.kwargs())
    # Dropping the missing end and forecasting one period more is the same computation.
    assert full[0][-1] == cut[2][0]
    np.testing.assert_array_equal(full[2], cut[2][1:])
    np.testing.assert_array_equal(full[3], cut[3][1:])


def test_concentrated_scale_multiplies_the_variances():
    y, exog, future = data()
    conc = dataclasses.replace(MODEL, concentrate_scale=True)
    p_conc, p_unit = PARAMS[:-1], np.concatenate([PARAMS[:-1], [1.0]])
    out_c = kr.forecast(y, p_conc, horizon=5, exog=exog, exog_future=future, **conc.kwargs())
    out_u = kr.forecast(y, p_unit, horizon=5, exog=exog, exog_future=future, **MODEL.kwargs())
    kw = {k: v for k, v in conc.kwargs().items() if k != "concentrate_scale"}
    scale = kr.concentrated_scale(y, p_conc, exog=exog, **kw)
    assert scale != 1.0
    for a, b in zip(out_c[:3], out_u[:3]):
        np.testing.assert_array_equal(a, b)
    np.testing.assert_allclose(out_c[3], out_u[3] * scale, rtol=1e-15)
    assert_close(out_c[3], forecast(conc, p_conc, y, 5, exog, future)[3], 1e-10)


@pytest.mark.parametrize("horizon", [2**25 + 1, 2**40, 2**63, 2**64 - 1], ids=str)
def test_huge_horizon_is_rejected(horizon):
    with pytest.raises(ValueError, match="horizon"):
        kr.forecast(np.zeros(5), np.array([0.5, 1.0]), (1, 0, 0), (0, 0, 0, 0), [], horizon)


def test_horizon_beyond_64_bits_overflows():
    with pytest.raises(OverflowError):
        kr.forecast(np.zeros(5), np.array([0.5, 1.0]), (1, 0, 0), (0, 0, 0, 0), [], 2**64)

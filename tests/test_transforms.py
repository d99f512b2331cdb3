"""Specification dimensions, parameter layout and the stationarity/invertibility transforms."""

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import _korvanta_rs as kr
from conftest import same_values

F = np.float64
SETTINGS = settings(max_examples=150, deadline=None)


# --- an independent reference of the transforms, one IEEE operation at a time ------------


def ref_constrain(x):
    with np.errstate(all="ignore"):
        r = [F(v) / np.sqrt(F(1.0) + F(v) * F(v)) for v in x]
        cur = [F(0.0)] * len(x)
        cur[0] = r[0]
        for k in range(1, len(x)):
            prev = list(cur)
            for i in range(k):
                cur[i] = prev[i] + r[k] * prev[k - 1 - i]
            cur[k] = r[k]
        return [-c for c in cur]


def ref_unconstrain(c):
    n = len(c)
    with np.errstate(all="ignore"):
        y = [[F(0.0)] * n for _ in range(n)]
        y[n - 1] = [-F(v) for v in c]
        for k in range(n - 1, 0, -1):
            g = y[k][k]
            for i in range(k):
                y[k - 1][i] = (y[k][i] - g * y[k][k - 1 - i]) / (F(1.0) - g * g)
        return [y[i][i] / np.sqrt(F(1.0) - y[i][i] * y[i][i]) for i in range(n)]


def _blocks(p, q, P, Q, offset):
    starts = np.cumsum([offset, p, q, P, Q])
    return [(int(a), int(a + n)) for a, n in zip(starts, (p, q, P, Q))]


def ref_transform(u, p, q, P, Q, offset, es=True, ei=True, cs=False, inverse=False):
    out = [F(v) for v in u]
    for (a, b), enforce, ma in zip(_blocks(p, q, P, Q, offset), (es, ei, es, ei), (False, True, False, True)):
        if not enforce or a == b:
            continue
        if inverse:
            block = [-v for v in out[a:b]] if ma else out[a:b]
            out[a:b] = ref_unconstrain(block)
        else:
            new = ref_constrain(out[a:b])
            out[a:b] = [-v for v in new] if ma else new
    if not cs:
        v = out[-1]
        with np.errstate(all="ignore"):
            out[-1] = np.sqrt(v if v > 0.0 else F(0.0)) if inverse else v * v
    return np.array(out, dtype=np.float64)


def _spec(order, seasonal=(0, 0, 0, 0), powers=(), **kw):
    return dict(order=order, seasonal_order=seasonal, trend_powers=list(powers), **kw)


# --- spec_dims -------------------------------------------------------------------------

@pytest.mark.parametrize("order, seasonal, powers, k_exog, expected", [
    ((1, 0, 1), (0, 0, 0, 0), [], 0, (2, 2, 0, 0, 3)),
    ((0, 0, 0), (0, 0, 0, 0), [], 0, (1, 1, 0, 0, 1)),
    ((2, 1, 1), (1, 1, 1, 12), [0], 0, (27, 14, 13, 13, 7)),
    ((1, 0, 0), (0, 0, 0, 1), [], 0, (1, 1, 0, 0, 2)),
    ((1, 0, 0), (0, 0, 0, 0), [0, 0], 0, (1, 1, 0, 0, 4)),
    ((1, 0, 0), (0, 0, 0, 0), [], 2, (1, 1, 0, 0, 4)),
    ((1, 1, 0), (0, 0, 0, 0), [], 0, (2, 1, 1, 1, 2)),
    ((0, 2, 3), (0, 0, 0, 2**64 - 1), [], 0, (6, 4, 2, 2, 4)),  # unused period: anything goes
])
def test_spec_dims_examples(order, seasonal, powers, k_exog, expected):
    got = kr.spec_dims(order, seasonal, powers, k_exog)
    assert got == expected and all(type(v) is int for v in got)


@pytest.mark.parametrize("seasonal, message", [
    ((1, 0, 0, 1), "Seasonal periodicity must be greater than 1."),
    ((0, 1, 0, 1), "Seasonal periodicity must be greater than 1."),
    ((0, 1, 0, 0), "Must include nonzero seasonal periodicity if including seasonal AR, MA, or differencing."),
    ((0, 0, 1, 0), "Must include nonzero seasonal periodicity if including seasonal AR, MA, or differencing."),
    ((1, 0, 0, 0), "Must include nonzero seasonal periodicity if including seasonal AR, MA, or differencing."),
])
def test_seasonal_period_errors(seasonal, message):
    with pytest.raises(ValueError) as info:
        kr.spec_dims((1, 0, 0), seasonal, [])
    assert type(info.value) is ValueError and info.value.args == (message,)


@SETTINGS
@given(p=st.integers(0, 40), d=st.integers(0, 3), q=st.integers(0, 40), P=st.integers(0, 4),
       D=st.integers(0, 2), Q=st.integers(0, 4), s=st.integers(2, 60), k_trend=st.integers(0, 3),
       k_exog=st.integers(0, 10**6), offset=st.floats(allow_nan=True))
def test_spec_dims_formulas(p, d, q, P, D, Q, s, k_trend, k_exog, offset):
    k_ar, k_ma, k_diff = p + s * P, q + s * Q, d + s * D
    k_arma = max(k_ar, k_ma + 1)
    n_params = k_trend + k_exog + p + q + P + Q + 1
    got = kr.spec_dims((p, d, q), (P, D, Q, s), list(range(k_trend)), k_exog, offset)
    assert got == (k_diff + k_arma, k_arma, k_diff, k_diff, n_params)


@pytest.mark.parametrize("cs, n_params", [(False, 6), (True, 5)])
def test_parameter_count_in_every_function(cs, n_params):
    # trend [0, 2], one regressor, AR(1), MA(1): the variance entry only counts unconcentrated.
    spec = _spec((1, 0, 1), powers=[0, 2], k_exog=1, concentrate_scale=cs)
    assert len(kr.transform_params(np.zeros(n_params), **spec)) == n_params
    with pytest.raises(ValueError, match=f"this specification has {n_params} parameters$"):
        kr.transform_params(np.zeros(n_params + 1), **spec)
    with pytest.raises(ValueError, match="this specification has 5 parameters$"):
        kr.concentrated_scale(np.zeros(4), np.zeros(6), (1, 0, 1), (0, 0, 0, 0), [0, 2], k_exog=1)


# --- transform examples ----------------------------------------------------------------

TRANSFORM_EXAMPLES = [
    ("ar1", (1, 0, 0), (0, 0, 0, 0), [0.75, 2.0], [-0.6, 4.0]),
    ("ma1", (0, 0, 1), (0, 0, 0, 0), [0.75, 2.0], [0.6, 4.0]),
    ("ar2", (2, 0, 0), (0, 0, 0, 0), [0.75, 0.75, 1.0], [-0.96, -0.6, 1.0]),
    ("seasonal-ar1", (0, 0, 0), (1, 0, 0, 4), [0.75, 1.0], [-0.6, 1.0]),
    ("seasonal-ma1", (0, 0, 0), (0, 0, 1, 4), [0.75, 1.0], [0.6, 1.0]),
    ("variance", (0, 0, 0), (0, 0, 0, 0), [-2.0], [4.0]),
    ("ar3", (3, 0, 0), (0, 0, 0, 0), [0.5, -0.25, 0.1, 1.0], [-0.3146151699, 0.2088289027, -0.0995037190, 1.0]),
]


@pytest.mark.parametrize("order, seasonal, u, expected", [pytest.param(*e[1:], id=e[0]) for e in TRANSFORM_EXAMPLES])
def test_transform_examples(order, seasonal, u, expected):
    got = kr.transform_params(np.array(u), order, seasonal, [])
    np.testing.assert_allclose(got, expected, rtol=0, atol=1e-10)
    back = kr.untransform_params(got, order, seasonal, [])
    u = np.array(u)
    u[-1] = abs(u[-1])
    np.testing.assert_array_max_ulp(back, u, maxulp=2)


@pytest.mark.parametrize("order, p, expected", [
    ((1, 0, 0), [-0.6, 4.0], [0.75, 2.0]),
    ((0, 0, 1), [0.6, 4.0], [0.75, 2.0]),
    ((1, 0, 0), [1.0, 1.0], [-np.inf, 1.0]),
    ((1, 0, 0), [2.0, 1.0], [np.nan, 1.0]),
    ((0, 0, 0), [-1.0], [0.0]),
    ((0, 0, 0), [np.nan], [0.0]),
    ((0, 0, 0), [-np.inf], [0.0]),
    ((0, 0, 0), [np.inf], [np.inf]),
], ids=["ar1", "ma1", "unit-root", "explosive", "negative-variance", "nan-variance", "minus-inf-variance",
        "inf-variance"])
def test_untransform_examples(order, p, expected):
    got = kr.untransform_params(np.array(p), order, (0, 0, 0, 0), [])
    np.testing.assert_allclose(got, expected, rtol=1e-15, atol=0)


def test_untransform_negative_zero_variance_is_positive_zero():
    got = kr.untransform_params(np.array([-0.0]), (0, 0, 0), (0, 0, 0, 0), [])
    assert got[0] == 0.0 and not np.signbit(got[0])


@pytest.mark.parametrize("x, expected", [
    (np.inf, np.nan), (-np.inf, np.nan), (np.nan, np.nan),
    (1.5e154, 0.0), (-1e200, 0.0), (np.finfo(float).max, 0.0),
])
def test_transform_non_finite_and_overflowing_inputs(x, expected):
    got = kr.transform_params(np.array([x, 1.0]), (1, 0, 0), (0, 0, 0, 0), [])
    assert same_values(got[0], expected) or (expected == 0.0 and got[0] == 0.0)
    assert same_values(got, ref_transform([x, 1.0], 1, 0, 0, 0, 0))


def test_flags_off_and_concentrated_scale():
    u = np.array([0.3, -0.2, 0.75, 0.5, -0.4, 0.9, -3.0])  # trend, beta, phi, theta, Phi, Theta, sigma2
    spec = _spec((1, 0, 1), (1, 0, 1, 4), powers=[1], k_exog=1, enforce_stationarity=False,
                 enforce_invertibility=False)
    expected = u.copy()
    expected[-1] = 9.0
    assert same_values(kr.transform_params(u, **spec), expected)
    assert same_values(kr.untransform_params(expected, **spec), np.r_[u[:-1], 3.0])
    conc = dict(spec, concentrate_scale=True)
    for f in (kr.transform_params, kr.untransform_params):
        assert same_values(f(u[:-1], **conc), u[:-1])
    # Only the stationarity flag: moving-average blocks pass through.
    got = kr.transform_params(u, **dict(spec, enforce_stationarity=True))
    assert same_values(got[[0, 1, 3, 5]], u[[0, 1, 3, 5]]) and got[2] == -0.6


def test_single_element_with_stride_is_contiguous():
    one = np.array([0.75, 9.0])[::2]
    assert one.flags.c_contiguous and one.strides == (16,)
    assert kr.transform_params(one, (0, 0, 0), (0, 0, 0, 0), [])[0] == 0.5625


@pytest.mark.parametrize("offset", [0.0, -7.5, 1e300, np.inf, np.nan])
def test_trend_offset_has_no_effect(offset):
    u = np.array([0.3, 0.75, -0.5, 2.0])
    spec = _spec((1, 0, 1), powers=[1])
    for f in (kr.transform_params, kr.untransform_params):
        assert same_values(f(u, **spec, trend_offset=offset), f(u, **spec))


# --- properties --------------------------------------------------------------------------

orders = st.tuples(st.integers(0, 4), st.integers(0, 4), st.integers(0, 3), st.integers(0, 3))
any_float = st.floats(allow_nan=True, allow_infinity=True, width=64)
moderate = st.floats(-2.0, 2.0, allow_subnormal=False)


@st.composite
def models(draw, values):
    p, q, P, Q = draw(orders)
    k_trend, k_exog = draw(st.integers(0, 2)), draw(st.integers(0, 2))
    es, ei, cs = draw(st.booleans()), draw(st.booleans()), draw(st.booleans())
    n = k_trend + k_exog + p + q + P + Q + (0 if cs else 1)
    vec = draw(st.lists(values, min_size=n, max_size=n))
    spec = dict(order=(p, 1, q), seasonal_order=(P, 1, Q, draw(st.integers(2, 12))),
                trend_powers=list(range(k_trend)), k_exog=k_exog, enforce_stationarity=es,
                enforce_invertibility=ei, concentrate_scale=cs)
    return np.array(vec, dtype=np.float64), spec, (p, q, P, Q, k_trend + k_exog, es, ei, cs)


@SETTINGS
@given(models(any_float))
def test_transform_matches_reference(model):
    vec, spec, (p, q, P, Q, offset, es, ei, cs) = model
    assert same_values(kr.transform_params(vec, **spec), ref_transform(vec, p, q, P, Q, offset, es, ei, cs))


@SETTINGS
@given(models(any_float | st.floats(-0.999, 0.999)))
def test_untransform_matches_reference(model):
    vec, spec, (p, q, P, Q, offset, es, ei, cs) = model
    expected = ref_transform(vec, p, q, P, Q, offset, es, ei, cs, inverse=True)
    assert same_values(kr.untransform_params(vec, **spec), expected)


@SETTINGS
@given(models(moderate))
def test_round_trips(model):
    u, spec, (*_, cs) = model
    c = kr.transform_params(u, **spec)
    back = kr.untransform_params(c, **spec)
    expected = u.copy()
    if not cs:
        expected[-1] = abs(expected[-1])  # the variance entry comes back without its sign
    np.testing.assert_allclose(back, expected, rtol=1e-7, atol=1e-9)
    np.testing.assert_allclose(kr.transform_params(back, **spec), c, rtol=1e-9, atol=1e-12)


@SETTINGS
@given(st.lists(st.floats(-3.0, 3.0), min_size=1, max_size=8))
def test_constrained_ar_polynomial_is_stationary(u):
    c = kr.transform_params(np.array(u + [1.0]), (len(u), 0, 0), (0, 0, 0, 0), [])[:-1]
    # 1 - c1 L - ... - cn L^n has its roots outside the unit circle, that is the
    # reciprocal polynomial z^n - c1 z^(n-1) - ... - cn has them inside.
    assert np.all(np.abs(np.roots(np.r_[1.0, -c])) < 1.0 + 1e-9)

"""loglike_grad: the finite-difference gradient of loglike_u, serial and on the worker pool.

The strongest oracle is the difference rule itself, replayed here in Python on top of
loglike_u: the module evaluates the same objective at the same perturbed points, so its
gradient must match the replay bit for bit, and the parallel gradient must match the
serial one bit for bit. Independent checks against an analytic derivative and a
Richardson-extrapolated difference make sure the rule measures the right slope.
"""

import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _korvanta_rs as kr

# Cube root of 2**-52: the relative central-difference step.
CENTRAL = 6.055454452393343e-06
# Largest double whose square is still finite: a variance entry beyond it overflows.
BIG = math.sqrt(np.finfo(np.float64).max)
LN2PI = 1.8378770664093456

MODELS = {
    "white-noise": dict(order=(0, 0, 0), seasonal_order=(0, 0, 0, 0), trend_powers=[]),
    "arma11-const": dict(order=(1, 0, 1), seasonal_order=(0, 0, 0, 0), trend_powers=[0]),
    "arima111-drift-exog": dict(order=(1, 1, 1), seasonal_order=(0, 0, 0, 0), trend_powers=[1], k_exog=2),
    "sarima-s4": dict(order=(1, 0, 0), seasonal_order=(1, 1, 1, 4), trend_powers=[]),
    "free-arma21": dict(order=(2, 0, 1), seasonal_order=(0, 0, 0, 0), trend_powers=[],
                        enforce_stationarity=False, enforce_invertibility=False),
    "concentrated-arma11": dict(order=(1, 0, 1), seasonal_order=(0, 0, 0, 0), trend_powers=[],
                                concentrate_scale=True),
}


def n_params(model):
    return kr.spec_dims(model["order"], model["seasonal_order"], model["trend_powers"],
                        model.get("k_exog", 0))[4] - (1 if model.get("concentrate_scale") else 0)


def bits(x):
    return np.asarray(x, dtype=np.float64).tobytes()


def replay(y, u, model, epsilon=None, exog=None):
    """The gradient rule, evaluated point by point with loglike_u."""
    def f(v):
        return kr.loglike_u(y, v, exog=exog, **model)

    f0 = f(u)
    grad = np.empty(len(u))
    fixed = epsilon is not None and epsilon > 0
    for i in range(len(u)):
        ui = float(u[i])
        up = u.copy()
        if fixed:
            up[i] = epsilon + ui
            fp = f(up)
            grad[i] = (fp - f0) / epsilon if math.isfinite(fp) and math.isfinite(f0) else 0.0
            continue
        mag = abs(ui)
        h = (mag if mag > 1.0 else 1.0) * CENTRAL  # a NaN magnitude gives 1.0
        down = u.copy()
        up[i] = h + ui
        down[i] = ui - h
        fp, fm = f(up), f(down)
        if math.isfinite(fp) and math.isfinite(fm):
            grad[i] = (fp - fm) / (h + h)
        elif math.isfinite(fm):
            grad[i] = (f0 - fm) / h
        elif math.isfinite(fp):
            grad[i] = (fp - f0) / h
        else:
            grad[i] = 0.0
    return f0, grad


def grad(y, u, model, exog=None, **kw):
    return kr.loglike_grad(y, u, exog=exog, **model, **kw)


def series(seed, n, nan_share=0.0):
    rng = np.random.default_rng(seed)
    y = np.cumsum(rng.standard_normal(n)) * 0.3 + rng.standard_normal(n)
    y[rng.random(n) < nan_share] = np.nan
    return y


# Mostly ordinary values, now and then a hostile one (overflowing squares, NaN, infinities).
entry = st.one_of(
    *[st.floats(-2.5, 2.5)] * 5,
    st.sampled_from([0.0, -0.0, 1.0, -1.0, 100.0, -100.0, 1e10, BIG, -BIG * 1.5, 1e300,
                     math.inf, -math.inf, math.nan]),
)
epsilons = st.sampled_from([None, None, 0.0, -1e-3, math.nan, 1e-7, 1e-4, 0.5])


@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(name=st.sampled_from(sorted(MODELS)), seed=st.integers(0, 2**32 - 1),
       n=st.one_of(st.integers(0, 6), st.integers(7, 40), st.integers(7, 40)),
       nan_share=st.sampled_from([0.0, 0.0, 0.0, 0.2, 1.0]),
       with_exog=st.booleans(), epsilon=epsilons, data=st.data())
def test_matches_replayed_rule_and_parallel_equals_serial(name, seed, n, nan_share, with_exog, epsilon, data):
    model = MODELS[name]
    k = n_params(model)
    y = series(seed, n, nan_share)
    u = np.array(data.draw(st.lists(entry, min_size=k, max_size=k), label="u"), dtype=np.float64)
    exog = None
    if with_exog and model.get("k_exog", 0):
        exog = np.random.default_rng(seed + 1).standard_normal(model["k_exog"] * n)
    y_before, u_before = y.tobytes(), u.tobytes()

    f_par, g_par = grad(y, u, model, exog, parallel=True, epsilon=epsilon)
    f_ser, g_ser = grad(y, u, model, exog, parallel=False, epsilon=epsilon)
    f_ref, g_ref = replay(y, u, model, epsilon, exog)

    assert bits(f_par) == bits(f_ser) == bits(f_ref)
    assert f_par == kr.loglike_u(y, u, exog=exog, **model)
    assert g_par.tobytes() == g_ser.tobytes()
    assert g_ser.tobytes() == g_ref.tobytes(), (g_ser, g_ref)
    # Inputs are read, never written.
    assert y.tobytes() == y_before and u.tobytes() == u_before


def test_result_types():
    y = series(0, 30)
    f, g = kr.loglike_grad(y, np.array([0.3, 0.2, 1.1]), (1, 0, 1), (0, 0, 0, 0), [])
    assert type(f) is float
    assert type(g) is np.ndarray and g.dtype == np.float64 and g.shape == (3,)
    assert g.flags.c_contiguous and g.flags.owndata


@pytest.mark.parametrize("epsilon", [0.0, -0.0, -1e-3, -math.inf, math.nan], ids=repr)
@pytest.mark.parametrize("parallel", [True, False], ids=["parallel", "serial"])
def test_non_positive_or_nan_epsilon_means_central(epsilon, parallel):
    model = MODELS["arma11-const"]
    y, u = series(3, 50), np.array([0.2, 0.4, -0.3, 0.9])
    central = grad(y, u, model, parallel=parallel)
    assert bits(grad(y, u, model, parallel=parallel, epsilon=epsilon)[1]) == bits(central[1])
    # Not accidentally the forward rule: a forward difference would differ.
    assert bits(grad(y, u, model, parallel=parallel, epsilon=1e-6)[1]) != bits(central[1])


@pytest.mark.parametrize("parallel", [True, False], ids=["parallel", "serial"])
def test_fixed_step_is_forward_difference(parallel):
    model = MODELS["arma11-const"]
    y, u, e = series(4, 50), np.array([0.2, 150.0, -0.3, 0.9]), 1e-5
    f0, g = grad(y, u, model, parallel=parallel, epsilon=e)
    for i in range(len(u)):
        up = u.copy()
        up[i] = e + u[i]
        assert bits(g[i]) == bits((kr.loglike_u(y, up, **model) - f0) / e)


def test_white_noise_gradient_matches_calculus():
    # y_t = c + e_t, Var(e_t) = s^2 with s the unconstrained variance entry:
    # l = -0.5 * sum((y - c)^2 / s^2 + ln s^2 + LN2PI).
    model = dict(order=(0, 0, 0), seasonal_order=(0, 0, 0, 0), trend_powers=[0])
    y = series(6, 200)
    for c, s in [(0.2, 1.5), (-1.0, 0.7), (3.0, -2.0)]:
        f, g = kr.loglike_grad(y, np.array([c, s]), **model)
        r = y - c
        assert f == pytest.approx(-0.5 * np.sum(r**2 / s**2 + math.log(s * s) + LN2PI), rel=1e-12)
        exact = [np.sum(r) / s**2, np.sum(r**2) / s**3 - len(y) / s]
        np.testing.assert_allclose(g, exact, rtol=1e-6, atol=1e-6)


@pytest.mark.parametrize("name", ["arma11-const", "arima111-drift-exog", "sarima-s4", "free-arma21",
                                  "concentrated-arma11"])
def test_gradient_matches_richardson_difference(name):
    model = MODELS[name]
    k = n_params(model)
    y = series(7, 120)
    exog = np.random.default_rng(8).standard_normal(model.get("k_exog", 0) * len(y)) if model.get("k_exog") else None
    u = np.random.default_rng(9).uniform(-0.6, 0.6, k)
    if not model.get("concentrate_scale"):
        u[-1] = 1.2
    f, g = kr.loglike_grad(y, u, exog=exog, **model)
    assert math.isfinite(f)

    def d(i, h):
        up, dn = u.copy(), u.copy()
        up[i] += h
        dn[i] -= h
        return (kr.loglike_u(y, up, exog=exog, **model) - kr.loglike_u(y, dn, exog=exog, **model)) / (2 * h)

    rich = np.array([(4 * d(i, 5e-4) - d(i, 1e-3)) / 3 for i in range(k)])
    np.testing.assert_allclose(g, rich, rtol=2e-5, atol=1e-5 * max(1.0, abs(f) / len(y)))


# White noise with a constant: u = (c, s), variance s^2. Beyond BIG the variance overflows
# and the likelihood is not finite, so the variance entry can be placed so that exactly the
# wanted side(s) of its perturbation fail.
WN = dict(order=(0, 0, 0), seasonal_order=(0, 0, 0, 0), trend_powers=[0])


def wn_values(s, step):
    """f0, f(s + step), f(s - step) for the variance entry s."""
    y = series(10, 30)
    f = [kr.loglike_u(y, np.array([0.4, v]), **WN) for v in (s, step + s, s - step)]
    return y, f


# (id, variance entry, epsilon, which of f0, f+, f- are finite, expected entry as a function of them)
FALLBACKS = [
    ("up-fails", BIG * (1 - 1e-6), None, (True, False, True), lambda f0, fp, fm, h: (f0 - fm) / h),
    ("down-fails", -BIG * (1 - 1e-6), None, (True, True, False), lambda f0, fp, fm, h: (fp - f0) / h),
    ("both-fail", 4 * BIG, None, (False, False, False), lambda f0, fp, fm, h: 0.0),
    ("up-fails-base-fails", BIG * (1 + 2e-6), None, (False, False, True), lambda f0, fp, fm, h: -math.inf),
    ("down-fails-base-fails", -BIG * (1 + 2e-6), None, (False, True, False), lambda f0, fp, fm, h: math.inf),
    ("fixed-step-point-fails", BIG * (1 - 1e-6), BIG * 1e-5, (True, False, None), lambda f0, fp, fm, h: 0.0),
    ("fixed-step-base-fails", -BIG * (1 + 2e-6), BIG * 1e-5, (False, True, None), lambda f0, fp, fm, h: 0.0),
    ("fixed-step-ok", BIG * 0.5, BIG * 1e-5, (True, True, None), lambda f0, fp, fm, h: (fp - f0) / h),
]


@pytest.mark.parametrize("parallel", [True, False], ids=["parallel", "serial"])
@pytest.mark.parametrize("s, epsilon, finite, expected", [c[1:] for c in FALLBACKS], ids=[c[0] for c in FALLBACKS])
def test_one_sided_fallbacks(s, epsilon, finite, expected, parallel):
    step = epsilon if epsilon is not None else abs(s) * CENTRAL
    y, (f0, fp, fm) = wn_values(s, step)
    # The construction really puts each evaluation on the intended side of the overflow.
    for want, value in zip(finite, (f0, fp, fm)):
        if want is not None:
            assert math.isfinite(value) == want
            assert math.isfinite(value) or value == -math.inf
    u = np.array([0.4, s])
    f, g = kr.loglike_grad(y, u, **WN, parallel=parallel, epsilon=epsilon)
    assert bits(f) == bits(f0)
    assert bits(g[1]) == bits(expected(f0, fp, fm, step))
    assert g.tobytes() == replay(y, u, WN, epsilon)[1].tobytes()


@pytest.mark.parametrize("parallel", [True, False], ids=["parallel", "serial"])
@pytest.mark.parametrize("epsilon", [None, 1e-4])
def test_no_parameters(parallel, epsilon):
    y = series(11, 40)
    u = np.empty(0)
    f, g = kr.loglike_grad(y, u, (0, 0, 0), (0, 0, 0, 0), [], concentrate_scale=True,
                           parallel=parallel, epsilon=epsilon)
    assert f == kr.loglike_u(y, u, (0, 0, 0), (0, 0, 0, 0), [], concentrate_scale=True)
    assert math.isfinite(f)
    assert g.dtype == np.float64 and g.shape == (0,)


@pytest.mark.parametrize("u0", [0.7, -2.0, 0.0, math.nan], ids=repr)
def test_single_parameter_parallel(u0):
    y = series(12, 40)
    u = np.array([u0])
    par = kr.loglike_grad(y, u, (0, 0, 0), (0, 0, 0, 0), [], parallel=True)
    ser = kr.loglike_grad(y, u, (0, 0, 0), (0, 0, 0, 0), [], parallel=False)
    assert bits(par[0]) == bits(ser[0]) and par[1].tobytes() == ser[1].tobytes()
    assert par[1].tobytes() == replay(y, u, WN | {"trend_powers": []})[1].tobytes()


def test_long_parallel_gradient_equals_serial():
    # Enough parameters that the pool splits the range between several workers.
    model = dict(order=(3, 1, 3), seasonal_order=(1, 0, 1, 7), trend_powers=[1], k_exog=3)
    y = series(13, 400, nan_share=0.05)
    exog = np.random.default_rng(14).standard_normal(3 * len(y))
    u = np.random.default_rng(15).uniform(-0.5, 0.5, n_params(model))
    par = kr.loglike_grad(y, u, exog=exog, **model, parallel=True, tolerance=0.0)
    for _ in range(3):
        ser = kr.loglike_grad(y, u, exog=exog, **model, parallel=False, tolerance=0.0)
        assert bits(par[0]) == bits(ser[0]) and par[1].tobytes() == ser[1].tobytes()
        par = kr.loglike_grad(y, u, exog=exog, **model, parallel=True, tolerance=0.0)

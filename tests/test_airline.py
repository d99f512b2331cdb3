"""The log airline passenger series under the (0,1,1)x(0,1,1,12) model."""

import dataclasses
from pathlib import Path

import _korvanta_rs as kr
import numpy as np
import pytest
from reference import Model, kalman
from scipy.optimize import minimize

DATA = Path(__file__).resolve().parent.parent / "data" / "airline_passengers.csv"
AIRLINE = Model(order=(0, 1, 1), seasonal_order=(0, 1, 1, 12))
PARAMS = np.array([-0.4, -0.6, 0.0014])


@pytest.fixture(scope="module")
def y():
    series = np.log(np.loadtxt(DATA, delimiter=",", skiprows=1, usecols=1))
    assert series.shape == (144,)
    return series


@pytest.mark.parametrize("tolerance", [0.0, 1e-19], ids=["tracking", "default-tolerance"])
def test_loglike_agrees_with_reference(y, tolerance):
    ll = kr.loglike(y, PARAMS, tolerance=tolerance, **AIRLINE.kwargs())
    # Thirteen diffuse states at variance 1e6 limit the agreement to a few 1e-10.
    assert ll == pytest.approx(kalman(AIRLINE, PARAMS, y)["loglike"], rel=2e-9)
    assert 240.0 < ll < 250.0


@pytest.mark.parametrize("concentrate", [False, True], ids=["plain", "concentrated"])
def test_loglikeobs_sums_to_loglike(y, concentrate):
    m = dataclasses.replace(AIRLINE, concentrate_scale=concentrate)
    params = PARAMS[:-1] if concentrate else PARAMS
    obs = kr.loglikeobs(y, params, **m.kwargs())
    assert np.all(obs[:13] == 0.0) and np.all(obs[13:] != 0.0)
    assert obs.sum() == pytest.approx(kr.loglike(y, params, **m.kwargs()), rel=1e-13)


def test_maximum_likelihood_estimate(y):
    conc = dataclasses.replace(AIRLINE, concentrate_scale=True)
    res = minimize(lambda u: -kr.loglike_u(y, u, **conc.kwargs()), np.zeros(2), method="Nelder-Mead",
                   options=dict(xatol=1e-8, fatol=1e-10))
    theta = kr.transform_params(res.x, **conc.kwargs())
    kw = {k: v for k, v in conc.kwargs().items() if k != "concentrate_scale"}
    scale = kr.concentrated_scale(y, theta, **kw)
    # The published estimates for this series and model.
    np.testing.assert_allclose(theta, [-0.4018, -0.5569], atol=2e-3)
    assert scale == pytest.approx(0.001348, rel=1e-2)
    assert -res.fun == pytest.approx(244.697, abs=5e-3)
    # The profile maximum is the plain likelihood at sigma2 = scale, once the
    # diffuse variance is measured in the same units.
    ll_plain = kr.loglike(y, np.append(theta, scale), diffuse_variance=1e6 * scale, **AIRLINE.kwargs())
    assert ll_plain == pytest.approx(-res.fun, rel=1e-9)

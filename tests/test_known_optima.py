"""On every public data set, the package reaches at least the known maximum of the
likelihood (to 1e-6 relative), whether the scale is concentrated or not."""

import numpy as np
import pytest

import _korvanta_rs as kr
import korvanta
from pkg_data import KNOWN_OPTIMA, column


@pytest.mark.parametrize("concentrate", [True, False], ids=["concentrated", "full"])
@pytest.mark.parametrize("name, y, exog, order, seasonal, trend, known", KNOWN_OPTIMA,
                         ids=[row[0] for row in KNOWN_OPTIMA])
def test_reaches_known_optimum(name, y, exog, order, seasonal, trend, known, concentrate):
    y = y()
    X = None if exog is None else exog()
    res = korvanta.fit(y, order, seasonal, trend, X, concentrate_scale=concentrate)
    assert res.converged, res.message
    assert res.llf >= known - 1e-6 * abs(known), (res.llf, known)
    # The reported log-likelihood is the extension's at the reported parameters.
    powers = {None: [], "c": [0]}[trend]
    kw = dict(order=order, seasonal_order=seasonal, trend_powers=powers)
    if X is not None:
        kw.update(exog=np.ascontiguousarray(X.ravel(order="F")), k_exog=X.shape[1])
    assert kr.loglike(y, res.params, **kw) == res.llf
    assert res.n_evaluations < 60
    assert np.all(np.isfinite(res.bse)) and np.all(res.bse > 0)


def test_parameters_agree_with_known_values():
    y = column("sunspots.csv", "sunactivity")
    res = korvanta.fit(y, (2, 0, 0), trend="c")
    assert res.param_names == ("intercept", "ar.L1", "ar.L2", "sigma2")
    np.testing.assert_allclose(res.params, [14.794, 1.3907, -0.68857, 274.76], rtol=2e-3)

"""auto_fit: the whole grid against fits of every model in it, huge limits and worker
counts, and options refused before the search.  Small series keep it to seconds."""

import math
import warnings

import numpy as np
import pytest

import korvanta
import korvanta.search as search_module
from pkg_data import quarterly




@pytest.fixture
def no_fits(monkeypatch):
    """Fail the test if any candidate is fitted."""
    def refuse(*args, **kwargs):
        raise AssertionError("a candidate was fitted")

    monkeypatch.setattr(search_module, "fit", refuse)


@pytest.mark.parametrize("criterion", ["aicc", "bic"])
def test_the_grid_is_every_model_within_the_limits_each_as_fit_gives_it(criterion):
    # A gap keeps the candidates on the series itself, so each is exactly the fit of its
    # model: the oracle fits the whole grid independently.
    y = quarterly(years=10)
    y[17] = np.nan
    limits = dict(max_p=1, max_q=1, max_P=1, max_Q=1, max_order=2)
    res = korvanta.auto_fit(y, 4, d=0, D=1, stepwise=False, n_jobs=1,
                            information_criterion=criterion, **limits)
    expected = {}
    for c in (True, False):
        for p in range(2):
            for q in range(2):
                for P in range(2):
                    for Q in range(2):
                        if p + q + P + Q > 2:
                            continue
                        with warnings.catch_warnings():
                            warnings.simplefilter("ignore")     # the drops' reasons
                            f = korvanta.fit(y, (p, 0, q), (P, 1, Q, 4),
                                             "c" if c else None, boundary_retry=False)
                        expected[(p, 0, q), (P, 1, Q, 4), c] = f
    table = {c.key: c for c in res.search}
    assert set(table) == set(expected) and len(res.search) == len(expected)
    for key, f in expected.items():
        if not table[key].dropped:
            assert table[key].criterion == pytest.approx(getattr(f, criterion), rel=1e-9)
    kept = [c for c in res.search if not c.dropped]
    assert res.search.best.criterion == min(c.criterion for c in kept)
    assert getattr(res, criterion) == pytest.approx(res.search.best.criterion, rel=1e-9)
    fitted_ok = [getattr(f, criterion) for key, f in expected.items()
                 if not table[key].dropped]
    assert getattr(res, criterion) <= min(fitted_ok) + 1e-9


@pytest.mark.parametrize("huge", [dict(max_p=10**12, max_q=10**12),
                                  dict(max_p=10**12, max_q=10**12, max_P=10**12,
                                       max_Q=10**12)])
def test_huge_maxima_in_the_grid_are_bounded_by_max_order(huge, monkeypatch):
    # Every order within max_order, without enumerating the orders beyond it.
    calls = []
    real = search_module.Limits.allows

    def counted(self, *args):
        calls.append(args)
        if len(calls) > 10_000:
            raise AssertionError("the grid enumerates orders beyond max_order")
        return real(self, *args)

    monkeypatch.setattr(search_module.Limits, "allows", counted)
    y = quarterly(years=10)
    res = korvanta.auto_fit(y, 4, stepwise=False, max_order=1, trend="n", n_jobs=1, **huge)
    small = {k: min(v, 1) for k, v in huge.items()}
    ref = korvanta.auto_fit(y, 4, stepwise=False, max_order=1, trend="n", n_jobs=1, **small)
    assert [c.key for c in res.search] == [c.key for c in ref.search]
    assert (res.order, res.seasonal_order) == (ref.order, ref.seasonal_order)


@pytest.mark.parametrize("stepwise, most", [(True, 13), (False, 4)], ids=["stepwise", "grid"])
def test_a_huge_n_jobs_starts_no_more_workers_than_a_batch_holds(stepwise, most, monkeypatch):
    # With fork every worker of the pool starts at once: n_jobs=10**6 tried to start a
    # million processes.
    sizes = []
    real = search_module.ProcessPoolExecutor

    def pool(workers, *args, **kwargs):
        sizes.append(workers)
        if workers > most:
            raise AssertionError(f"a pool of {workers} workers")
        return real(workers, *args, **kwargs)

    monkeypatch.setattr(search_module, "ProcessPoolExecutor", pool)
    res = korvanta.auto_fit(quarterly(years=10), 1, d=1, max_p=1, max_q=1, max_order=2,
                            trend="n", stepwise=stepwise, n_jobs=10**6)
    assert sizes and max(sizes) <= most
    assert res.search.best.key == (res.order, res.seasonal_order, False)


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(cov_type="robust"), korvanta.InputError, "cov_type must be one of"),
    (dict(maxiter=0), korvanta.InputError, "maxiter must be a positive integer; got 0"),
    (dict(verbose=1), korvanta.InputError, "verbose must be True or False"),
    (dict(concentrate_scale="yes"), korvanta.InputError, "concentrate_scale must be True"),
    (dict(callback=5), korvanta.InputError, "callback must be callable"),
    (dict(enforce_stationarity=np.False_), korvanta.InputError,
     "auto_fit needs enforce_stationarity=True"),
    (dict(max_iter=50), TypeError, "unexpected keyword argument 'max_iter'"),
    (dict(trend=np.array(["c"])), korvanta.InputError, "trend must be"),
    (dict(trend=np.array(["c", "n"])), korvanta.InputError, "trend must be"),
    (dict(information_criterion=np.array(["aic", "bic"])), korvanta.InputError,
     "information_criterion must be one of"),
], ids=["cov_type", "maxiter", "verbose", "concentrate_scale", "callback",
        "enforce_stationarity", "unknown", "trend array", "trend pair", "criterion pair"])
def test_bad_options_are_refused_before_the_search(kwargs, error, message, no_fits):
    # Before, every candidate was dropped for it (an error after the search, its message
    # repeated once per model), or the final fit refused it after the whole search.
    with pytest.raises(error, match=message):
        korvanta.auto_fit(quarterly(years=10), 4, n_jobs=1, **kwargs)


def test_numpy_scalars_as_options_are_the_plain_values():
    y = quarterly(years=10)
    plain = korvanta.auto_fit(y, 4, max_p=1, max_q=1, trend="n", stepwise=False,
                              information_criterion="bic", n_jobs=1)
    scalars = korvanta.auto_fit(y, np.int64(4), max_p=np.int32(1), max_q=np.uint8(1),
                                trend=np.str_("n"), stepwise=np.bool_(False),
                                information_criterion=np.str_("bic"), n_jobs=np.int64(1))
    assert type(scalars.search.criterion) is str and scalars.search.criterion == "bic"
    assert [(c.key, c.criterion) for c in scalars.search] == \
        [(c.key, c.criterion) for c in plain.search]
    np.testing.assert_array_equal(scalars.params, plain.params)


def test_a_forced_constant_counts_in_the_smallest_model(no_fits):
    # With trend="c" the smallest model has the constant too: 11 observations left after
    # the difference cannot hold it, and every candidate would be dropped for it.
    y = np.cumsum(np.random.default_rng(4).normal(size=12))
    with pytest.raises(korvanta.InputError, match=r"y is too short for 1 difference\(s\): "
                       r"the smallest model needs at least 12 observations"):
        korvanta.auto_fit(y, d=1, trend="c", n_jobs=1)


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_stepwise_never_ends_above_a_model_it_fitted(seed):
    # Serially the search moves to every improvement it fits.
    rng = np.random.default_rng(seed)
    y = np.cumsum(rng.normal(size=50)) + 3 * np.sin(np.arange(50) * np.pi / 2)
    res = korvanta.auto_fit(y, 4, n_jobs=1)
    kept = [c.criterion for c in res.search if not c.dropped]
    assert res.search.best.criterion == min(kept)
    assert math.isfinite(res.aicc)

#include "module/functions.hpp"

#include <exception>
#include <new>
#include <optional>
#include <string>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "common/errors.hpp"
#include "common/messages.hpp"
#include "filter/filter.hpp"
#include "module/args.hpp"
#include "module/docs.hpp"
#include "module/numpy_api.hpp"
#include "objective/objective.hpp"
#include "pool/pool.hpp"

namespace korvanta::functions {
namespace {

using args::Arguments;
using py::Ref;
namespace sig = signatures;

Spec spec_of(Arguments& a) {
    return make_spec(a.order, a.seasonal_order, std::move(a.trend_powers), a.k_exog,
                     Flags{a.enforce_stationarity, a.enforce_invertibility, a.concentrate_scale}, a.trend_offset);
}

/// The validated inputs of a function that filters a series; it owns the arrays' views.
struct SeriesCall {
    args::Views views;
    Spec spec;
    Series series;
    std::span<const double> vector;  ///< params or u
    FilterOptions options;
};

// Contiguity of y and the parameter vector, the model, the parameter count and the
// regressors, in that order.
SeriesCall validate_series(Arguments& a, const char* vector_name) {
    args::Views views = args::view(a);
    args::require_contiguous(*views.y);
    args::require_contiguous(*views.vector);
    Spec spec = spec_of(a);
    args::check_params(spec, views.vector->size, vector_name);
    const auto exog = args::exog_slice(views.exog, spec.k_exog, views.y->size, "exog");
    const Series series{views.y->span(), exog};
    const std::span<const double> vector = views.vector->span();
    return SeriesCall{std::move(views), std::move(spec), series, vector,
                      FilterOptions{a.diffuse_variance, a.tolerance}};
}

FilterOut run(const SeriesCall& c, bool store_paths) {
    return run_filter(c.spec, c.series, c.vector, c.options, store_paths).out;
}

Ref float_obj(double v) { return Ref::checked(PyFloat_FromDouble(v)); }

// A tuple that takes ownership of its items.
template <class... Items>
Ref tuple(Items&&... items) {
    Ref t = Ref::checked(PyTuple_New(sizeof...(Items)));
    Py_ssize_t i = 0;
    ((PyTuple_SetItem(t.get(), i++, items.release())), ...);
    return t;
}

PyObject* panic_type() {
    static PyObject* type = nullptr;  // created on first use, kept for the process
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("_korvanta_rs.PanicException", docs::panic_exception, PyExc_BaseException,
                                         nullptr);
    }
    return type;
}

// The one wrapper of every entry routine: everything thrown below is translated here. It is
// not noexcept: a thread that the interpreter ends while it waits for the interpreter lock at
// exit is unwound by the C library (a forced unwind, which must go on), and an entry routine
// holds no Python reference across that wait.
template <class F>
PyObject* guarded(F&& body) {
    try {
        return body().release();
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
        translate_exception();
        return nullptr;
    }
}

// The gradient without the interpreter lock: its inputs are copied first, and nothing in
// between touches a Python object.
GradOut gradient_unlocked(const SeriesCall& c, const GradOptions& grad) {
    const std::vector<double> y(c.series.y.begin(), c.series.y.end());
    const std::vector<double> u(c.vector.begin(), c.vector.end());
    std::optional<std::vector<double>> exog;
    if (c.series.exog) exog.emplace(c.series.exog->begin(), c.series.exog->end());
    std::optional<std::span<const double>> exog_view;
    if (exog) exog_view = std::span<const double>(*exog);

    GradOut result;
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    try {
        result = loglike_and_grad(c.spec, Series{y, exog_view}, u, c.options, grad);
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (failure) std::rethrow_exception(failure);
    return result;
}

// transform_params and untransform_params: the model checks come before the vector checks.
template <class Map>
PyObject* reparametrise(const sig::Function& f, const char* vector_name, PyObject* const* argv, Py_ssize_t nargs,
                        PyObject* kwnames, Map map) {
    return guarded([&] {
        Arguments a = args::parse(f, argv, nargs, kwnames);
        const args::Views views = args::view(a);
        const Spec spec = spec_of(a);
        args::require_contiguous(*views.vector);
        args::check_params(spec, views.vector->size, vector_name);
        return npy::new_vector(map(spec, views.vector->span()));
    });
}

}  // namespace

void translate_exception() noexcept {
    try {
        throw;
    } catch (const py::ErrorAlreadySet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, messages::FLAGGED_NOT_SET);
    } catch (const ValueError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        if (PyObject* type = panic_type()) PyErr_SetString(type, e.what());
    } catch (...) {
        if (PyObject* type = panic_type()) PyErr_SetString(type, messages::UNKNOWN_FAILURE);
    }
}

PyObject* loglike(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        Arguments a = args::parse(sig::loglike, argv, nargs, kwnames);
        return float_obj(run(validate_series(a, "params"), false).loglike);
    });
}

PyObject* loglike_u(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        Arguments a = args::parse(sig::loglike_u, argv, nargs, kwnames);
        const SeriesCall c = validate_series(a, "u");
        return float_obj(loglike_unconstrained(c.spec, c.series, c.vector, c.options));
    });
}

PyObject* loglike_grad(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        Arguments a = args::parse(sig::loglike_grad, argv, nargs, kwnames);
        const SeriesCall c = validate_series(a, "u");
        // The pool is made (and the environment read) while the interpreter lock is held.
        const GradOptions grad{a.epsilon, a.parallel ? &shared_pool() : nullptr};
        const GradOut result = gradient_unlocked(c, grad);
        return tuple(float_obj(result.loglike), npy::new_vector(result.gradient));
    });
}

PyObject* filter_paths(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        Arguments a = args::parse(sig::filter_paths, argv, nargs, kwnames);
        const SeriesCall c = validate_series(a, "params");
        FilterOut out = run(c, true);
        apply_scale(c.spec, out, out.forecast_variances);
        return tuple(npy::new_vector(out.forecasts), npy::new_vector(out.forecast_errors),
                     npy::new_vector(out.forecast_variances), float_obj(out.loglike));
    });
}

PyObject* forecast(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        Arguments a = args::parse(sig::forecast, argv, nargs, kwnames);
        const SeriesCall c = validate_series(a, "params");
        const auto exog_future = args::exog_slice(c.views.exog_future, c.spec.k_exog, a.horizon, "exog_future");
        // Rejected before anything is sized from it (this also keeps n + horizon from wrapping).
        if (a.horizon > MAX_HORIZON) throw ValueError(messages::horizon_too_long(a.horizon, MAX_HORIZON));
        const ForecastOut out =
            korvanta::forecast(c.spec, c.series, c.vector, c.options, exog_future, static_cast<std::size_t>(a.horizon));
        return tuple(npy::new_vector(out.forecasts), npy::new_vector(out.forecast_errors), npy::new_vector(out.means),
                     npy::new_vector(out.variances));
    });
}

PyObject* loglikeobs(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        Arguments a = args::parse(sig::loglikeobs, argv, nargs, kwnames);
        return npy::new_vector(run(validate_series(a, "params"), true).loglike_obs);
    });
}

PyObject* transform_params(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    return reparametrise(sig::transform_params, "u", argv, nargs, kwnames,
                         [](const Spec& s, std::span<const double> v) { return s.transform(v); });
}

PyObject* untransform_params(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    return reparametrise(sig::untransform_params, "params", argv, nargs, kwnames,
                         [](const Spec& s, std::span<const double> v) { return s.untransform(v); });
}

PyObject* spec_dims(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        Arguments a = args::parse(sig::spec_dims, argv, nargs, kwnames);
        a.enforce_stationarity = true;
        a.enforce_invertibility = true;
        a.concentrate_scale = false;
        const Spec spec = spec_of(a);
        auto integer = [](std::uint64_t v) { return Ref::checked(PyLong_FromUnsignedLongLong(v)); };
        return tuple(integer(spec.k_states), integer(spec.k_arma_states), integer(spec.k_diff), integer(spec.k_diffuse),
                     integer(spec.n_params()));
    });
}

PyObject* concentrated_scale(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        Arguments a = args::parse(sig::concentrated_scale, argv, nargs, kwnames);
        a.concentrate_scale = true;
        return float_obj(run(validate_series(a, "params"), false).scale);
    });
}

}  // namespace korvanta::functions

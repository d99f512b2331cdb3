#include "module/functions.hpp"

#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "common/errors.hpp"
#include "filter/filter.hpp"
#include "module/args.hpp"
#include "module/docs.hpp"
#include "module/numpy_api.hpp"
#include "objective/objective.hpp"
#include "pool/pool.hpp"

namespace korvanta::functions {
namespace {

using args::Vector;
using py::Ref;

// Parameter lists, in signature order.
constexpr const char* LOGLIKE[] = {"y", "params", "order", "seasonal_order", "trend_powers", "exog", "k_exog",
                                   "enforce_stationarity", "enforce_invertibility", "concentrate_scale",
                                   "trend_offset", "diffuse_variance", "tolerance"};
constexpr const char* LOGLIKE_U[] = {"y", "u", "order", "seasonal_order", "trend_powers", "exog", "k_exog",
                                     "enforce_stationarity", "enforce_invertibility", "concentrate_scale",
                                     "trend_offset", "diffuse_variance", "tolerance"};
constexpr const char* LOGLIKE_GRAD[] = {"y", "u", "order", "seasonal_order", "trend_powers", "exog", "k_exog",
                                        "enforce_stationarity", "enforce_invertibility", "concentrate_scale",
                                        "trend_offset", "diffuse_variance", "tolerance", "parallel", "epsilon"};
constexpr const char* FORECAST[] = {"y", "params", "order", "seasonal_order", "trend_powers", "horizon", "exog",
                                    "exog_future", "k_exog", "enforce_stationarity", "enforce_invertibility",
                                    "concentrate_scale", "trend_offset", "diffuse_variance", "tolerance"};
constexpr const char* TRANSFORM[] = {"u", "order", "seasonal_order", "trend_powers", "k_exog", "enforce_stationarity",
                                     "enforce_invertibility", "concentrate_scale", "trend_offset"};
constexpr const char* UNTRANSFORM[] = {"p", "order", "seasonal_order", "trend_powers", "k_exog", "enforce_stationarity",
                                       "enforce_invertibility", "concentrate_scale", "trend_offset"};
constexpr const char* SPEC_DIMS[] = {"order", "seasonal_order", "trend_powers", "k_exog", "trend_offset"};
constexpr const char* CONCENTRATED[] = {"y", "params", "order", "seasonal_order", "trend_powers", "exog", "k_exog",
                                        "enforce_stationarity", "enforce_invertibility", "trend_offset",
                                        "diffuse_variance", "tolerance"};

/// Every argument any function takes, converted; defaults stand where nothing was passed.
struct Parsed {
    std::optional<Vector> y;
    std::optional<Vector> vec;  ///< params, u or p
    std::uint64_t order[3] = {0, 0, 0};
    std::uint64_t seasonal[4] = {0, 0, 0, 0};
    std::vector<std::uint64_t> powers;
    std::uint64_t horizon = 0;
    std::optional<Vector> exog, exog_future;
    std::uint64_t k_exog = 0;
    bool enforce_stationarity = true, enforce_invertibility = true, concentrate_scale = false;
    bool parallel = true;
    double trend_offset = 1.0, diffuse_variance = 1e6, tolerance = 1e-19;
    std::optional<double> epsilon;
};

// Binds the call, then converts the slots in parameter order (the first failure ends it).
Parsed parse(const args::Signature& sig, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    const args::Bound bound = args::bind(sig, argv, nargs, kwnames);
    Parsed a;
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        const std::string_view name = sig.params[i];
        PyObject* obj = bound[i];
        const char* n = sig.params[i];
        if (name == "y") a.y = args::vector(obj, n);
        else if (name == "params" || name == "u" || name == "p") a.vec = args::vector(obj, n);
        else if (name == "order") args::order(obj, n, a.order);
        else if (name == "seasonal_order") args::seasonal_order(obj, n, a.seasonal);
        else if (name == "trend_powers") a.powers = args::powers(obj, n);
        else if (name == "horizon") a.horizon = args::count(obj, n, 0);
        else if (name == "exog") a.exog = args::optional_vector(obj, n);
        else if (name == "exog_future") a.exog_future = args::optional_vector(obj, n);
        else if (name == "k_exog") a.k_exog = args::count(obj, n, 0);
        else if (name == "enforce_stationarity") a.enforce_stationarity = args::flag(obj, n, true);
        else if (name == "enforce_invertibility") a.enforce_invertibility = args::flag(obj, n, true);
        else if (name == "concentrate_scale") a.concentrate_scale = args::flag(obj, n, false);
        else if (name == "parallel") a.parallel = args::flag(obj, n, true);
        else if (name == "trend_offset") a.trend_offset = args::real(obj, n, 1.0);
        else if (name == "diffuse_variance") a.diffuse_variance = args::real(obj, n, 1e6);
        else if (name == "tolerance") a.tolerance = args::real(obj, n, 1e-19);
        else if (name == "epsilon") a.epsilon = args::optional_real(obj, n);
        else throw Panic("unknown parameter name");
    }
    return a;
}

Spec spec_of(Parsed& a) {
    return make_spec(a.order, a.seasonal, std::move(a.powers), a.k_exog,
                     Flags{a.enforce_stationarity, a.enforce_invertibility, a.concentrate_scale},
                     a.trend_offset);
}

/// The validated inputs of a function that filters a series.
struct SeriesCall {
    Spec spec;
    std::span<const double> y;
    std::span<const double> vec;
    std::optional<std::span<const double>> exog;
};

// Contiguity of y and the parameter vector, the model, the parameter count and the
// regressors, in that order.
SeriesCall validate_series(Parsed& a, const char* vec_name) {
    args::require_contiguous(*a.y);
    args::require_contiguous(*a.vec);
    Spec spec = spec_of(a);
    args::check_params(spec, a.vec->size, vec_name);
    auto exog = args::exog_slice(a.exog, spec.k_exog, a.y->size, "exog");
    return SeriesCall{std::move(spec), a.y->span(), a.vec->span(), exog};
}

FilterOut run_filter(const SeriesCall& c, const Parsed& a, bool store_paths) {
    return korvanta::run_filter(c.spec, Series{c.y, c.exog}, c.vec, FilterOptions{a.diffuse_variance, a.tolerance}, store_paths).out;
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

template <std::size_t N>
constexpr args::Signature signature(const char* name, const char* const (&params)[N], std::size_t required) {
    return args::Signature{name, std::span<const char* const>(params, N), required};
}

PyObject* panic_type() {
    static PyObject* type = nullptr;  // created on first use, kept for the process
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("_korvanta_rs.PanicException", docs::panic_exception,
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

// One noexcept wrapper per entry routine: everything thrown below is translated here.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        translate_exception();
        return nullptr;
    }
}

}  // namespace

void translate_exception() noexcept {
    try {
        throw;
    } catch (const py::ErrorAlreadySet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error flagged but none was set");
    } catch (const ValueError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        if (PyObject* type = panic_type()) PyErr_SetString(type, e.what());
    } catch (...) {
        if (PyObject* type = panic_type()) PyErr_SetString(type, "unknown internal failure");
    }
}

PyObject* loglike(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        Parsed a = parse(signature("loglike", LOGLIKE, 5), argv, nargs, kwnames);
        const SeriesCall c = validate_series(a, "params");
        return float_obj(run_filter(c, a, false).loglike);
    });
}

PyObject* loglike_u(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        Parsed a = parse(signature("loglike_u", LOGLIKE_U, 5), argv, nargs, kwnames);
        const SeriesCall c = validate_series(a, "u");
        return float_obj(loglike_unconstrained(c.spec, Series{c.y, c.exog}, c.vec, FilterOptions{a.diffuse_variance, a.tolerance}));
    });
}

PyObject* loglike_grad(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        Parsed a = parse(signature("loglike_grad", LOGLIKE_GRAD, 5), argv, nargs, kwnames);
        const SeriesCall c = validate_series(a, "u");
        // Own copies of the inputs: nothing below touches a Python object, so the
        // interpreter lock is released for the whole computation.
        const std::vector<double> y(c.y.begin(), c.y.end()), u(c.vec.begin(), c.vec.end());
        std::optional<std::vector<double>> exog;
        if (c.exog) exog.emplace(c.exog->begin(), c.exog->end());
        std::optional<std::span<const double>> exog_view;
        if (exog) exog_view = std::span<const double>(*exog);

        Pool* pool = a.parallel ? &shared_pool() : nullptr;
        GradOut result;
        std::exception_ptr failure;
        PyThreadState* state = PyEval_SaveThread();
        try {
            result = loglike_and_grad(c.spec, Series{y, exog_view}, u, FilterOptions{a.diffuse_variance, a.tolerance},
                                      GradOptions{a.epsilon, pool});
        } catch (...) {
            failure = std::current_exception();
        }
        PyEval_RestoreThread(state);
        if (failure) std::rethrow_exception(failure);
        return tuple(float_obj(result.loglike), npy::new_vector(result.gradient));
    });
}

PyObject* filter_paths(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        Parsed a = parse(signature("filter_paths", LOGLIKE, 5), argv, nargs, kwnames);
        const SeriesCall c = validate_series(a, "params");
        FilterOut out = run_filter(c, a, true);
        apply_scale(c.spec, out, out.forecast_variances);
        return tuple(npy::new_vector(out.forecasts), npy::new_vector(out.forecast_errors),
                     npy::new_vector(out.forecast_variances), float_obj(out.loglike));
    });
}

PyObject* forecast(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        Parsed a = parse(signature("forecast", FORECAST, 6), argv, nargs, kwnames);
        const SeriesCall c = validate_series(a, "params");
        auto exog_future = args::exog_slice(a.exog_future, c.spec.k_exog, a.horizon, "exog_future");
        // Rejected before anything is sized from it (this also keeps n + horizon from wrapping).
        if (a.horizon > MAX_HORIZON) {
            throw ValueError("horizon = " + std::to_string(a.horizon) + " exceeds the supported maximum of " +
                             std::to_string(MAX_HORIZON) + " periods");
        }
        ForecastOut out = korvanta::forecast(c.spec, Series{c.y, c.exog}, c.vec, FilterOptions{a.diffuse_variance, a.tolerance},
                                             exog_future, static_cast<std::size_t>(a.horizon));
        return tuple(npy::new_vector(out.forecasts), npy::new_vector(out.forecast_errors),
                     npy::new_vector(out.means), npy::new_vector(out.variances));
    });
}

PyObject* loglikeobs(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        Parsed a = parse(signature("loglikeobs", LOGLIKE, 5), argv, nargs, kwnames);
        const SeriesCall c = validate_series(a, "params");
        return npy::new_vector(run_filter(c, a, true).loglike_obs);
    });
}

namespace {

// transform_params and untransform_params: the model checks come before the vector checks.
template <class Map>
PyObject* reparametrise(const args::Signature& sig, const char* vec_name, PyObject* const* argv, Py_ssize_t nargs,
                        PyObject* kwnames, Map map) noexcept {
    return guarded([&] {
        Parsed a = parse(sig, argv, nargs, kwnames);
        const Spec spec = spec_of(a);
        args::require_contiguous(*a.vec);
        args::check_params(spec, a.vec->size, vec_name);
        return npy::new_vector(map(spec, a.vec->span()));
    });
}

}  // namespace

PyObject* transform_params(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return reparametrise(signature("transform_params", TRANSFORM, 4), "u", argv, nargs, kwnames,
                         [](const Spec& s, std::span<const double> v) { return s.transform(v); });
}

PyObject* untransform_params(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return reparametrise(signature("untransform_params", UNTRANSFORM, 4), "params", argv, nargs, kwnames,
                         [](const Spec& s, std::span<const double> v) { return s.untransform(v); });
}

PyObject* spec_dims(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        Parsed a = parse(signature("spec_dims", SPEC_DIMS, 3), argv, nargs, kwnames);
        a.enforce_stationarity = true;
        a.enforce_invertibility = true;
        a.concentrate_scale = false;
        const Spec spec = spec_of(a);
        auto integer = [](std::uint64_t v) { return Ref::checked(PyLong_FromUnsignedLongLong(v)); };
        return tuple(integer(spec.k_states), integer(spec.k_arma_states), integer(spec.k_diff),
                     integer(spec.k_diffuse), integer(spec.n_params()));
    });
}

PyObject* concentrated_scale(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        Parsed a = parse(signature("concentrated_scale", CONCENTRATED, 5), argv, nargs, kwnames);
        a.concentrate_scale = true;
        const SeriesCall c = validate_series(a, "params");
        return float_obj(run_filter(c, a, false).scale);
    });
}

}  // namespace korvanta::functions

// Every user-visible documentation text of the module, kept together so that they can be
// read and checked at a glance. A function's docstring is its signature line (derived from
// its parameter list in signatures.hpp), "--", an empty line and the description here.
#pragma once

namespace korvanta::docs {

inline constexpr const char* loglike =
    "Evaluate the loglikelihood at a *constrained* parameter vector.\n"
    "\n"
    "This exists so that single evaluations can be compared one by one against a\n"
    "reference: a fit that lands in the right place can still hide a filter that is\n"
    "wrong elsewhere in the parameter space.";

inline constexpr const char* loglike_u = "Loglikelihood at an unconstrained parameter vector.";

inline constexpr const char* loglike_grad =
    "Loglikelihood and gradient at an unconstrained parameter vector.\n"
    "\n"
    "Returning both together is the point: it removes the `n_params + 1`\n"
    "separate Python round trips that `scipy`'s finite differencing would\n"
    "otherwise make per gradient.";

inline constexpr const char* filter_paths = "One-step-ahead forecasts, prediction errors and their variances.";

inline constexpr const char* forecast =
    "Filter `y`, then forecast `horizon` periods beyond it.\n"
    "\n"
    "Returns the in-sample one-step forecasts and residuals alongside the\n"
    "out-of-sample mean and variance, because `korvanta` callers routinely want\n"
    "both and running the filter twice would be wasteful.";

inline constexpr const char* loglikeobs =
    "Per-observation loglikelihood contributions.\n"
    "\n"
    "Standard errors from the outer product of gradients need the score of every\n"
    "observation, not only the gradient of their sum.";

inline constexpr const char* transform_params = "Apply the stationarity/invertibility reparametrisation.";

inline constexpr const char* untransform_params = "Inverse of [`transform_params`].";

inline constexpr const char* spec_dims =
    "Derived state-space dimensions (k_states, k_arma_states, k_diff, k_diffuse, n_params),\n"
    "so that the state-space representation itself can be checked, not only the answers.";

inline constexpr const char* concentrated_scale =
    "The scale the filter profiles out when `concentrate_scale` is set.\n"
    "\n"
    "A concentrated fit has no `sigma2` parameter; this value is its estimate of the\n"
    "innovation variance.";

inline constexpr const char* panic_exception =
    "Raised when native code called from Python fails internally.\n"
    "\n"
    "It derives from BaseException, not Exception, so it passes through ordinary\n"
    "exception handlers and will usually end the interpreter.";

}  // namespace korvanta::docs

// Filtering followed by the prediction recursion beyond the end of the series.
#include <algorithm>
#include <cstring>

#include "objective/objective.hpp"
#include "ssm/system.hpp"

namespace korvanta {

ForecastOut forecast(const Spec& spec, std::span<const double> params, std::span<const double> y,
                     std::optional<std::span<const double>> exog,
                     std::optional<std::span<const double>> exog_future, std::size_t horizon,
                     double diffuse_variance, double tolerance) {
    const std::size_t n = y.size(), k = spec.k_states, k_diff = spec.k_diff;
    const ParamBlocks blocks = spec.split(params);
    const System sys = build_system(spec, blocks, n + horizon);
    const auto intercept = exog_intercept(spec.k_exog, exog, blocks.beta, n);
    std::optional<std::span<const double>> intercept_view;
    if (intercept) intercept_view = std::span<const double>(*intercept);
    FilterOut filt = kalman_filter(spec, sys, y, intercept_view, true, diffuse_variance, tolerance);

    // Future regression term, laid out regressor by regressor over the horizon.
    std::vector<double> future;
    if (exog_future) {
        future.assign(horizon, 0.0);
        for (std::size_t i = 0; i < spec.k_exog; ++i) {
            const double b = blocks.beta[i];
            const double* x = exog_future->data() + i * horizon;
            for (std::size_t h = 0; h < horizon; ++h) future[h] = future[h] + x[h] * b;
        }
    }

    ForecastOut out;
    out.means.reserve(horizon);
    out.variances.reserve(horizon);
    if (horizon > 0) {
        std::vector<double> a = std::move(filt.state), P = std::move(filt.state_cov);
        std::vector<double> next(k), next_cov(k * k);
        CovariancePrediction prediction(sys.transition, k);
        const std::vector<std::size_t>& design = sys.design;
        const double* trend = sys.trend ? sys.trend->data() : nullptr;
        const std::size_t trend_last = sys.trend && !sys.trend->empty() ? sys.trend->size() - 1 : 0;
        for (std::size_t h = 0;; ++h) {
            double mean = 0.0;
            for (std::size_t i : design) mean = mean + a[i];
            out.means.push_back(mean + (exog_future ? future[h] : 0.0));
            double var = 0.0;
            for (std::size_t i : design) {
                for (std::size_t j : design) var = var + P[i * k + j];
            }
            out.variances.push_back(var);
            if (h + 1 == horizon) break;
            // The step out of period n + h uses that period's intercept.
            for (std::size_t i = 0; i < k; ++i) {
                double acc = (trend != nullptr && i == k_diff) ? trend[std::min(n + h, trend_last)]
                                                               : sys.state_intercept[i];
                for (const Entry& e : sys.transition.row(i)) acc = acc + e.value * a[e.col];
                next[i] = acc;
            }
            a.swap(next);
            t_p_tt_plus_rqr(prediction, P.data(), sys.sigma2, sys.selection.data(), k, next_cov.data());
            P.swap(next_cov);
        }
        if (spec.concentrate_scale) {
            for (double& v : out.variances) v = v * filt.scale;
        }
    }
    out.forecasts = std::move(filt.forecasts);
    out.forecast_errors = std::move(filt.forecast_errors);
    return out;
}

}  // namespace korvanta

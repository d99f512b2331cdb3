// Filtering followed by the prediction recursion beyond the end of the series.
#include <algorithm>

#include "filter/covariance_prediction.hpp"
#include "objective/objective.hpp"

namespace korvanta {
namespace {

// Carries the filter's final state `horizon` periods on: the Kalman prediction step without
// updates. Going from period n + h to n + h + 1 uses the intercept of period n + h.
void propagate(const System& sys, const FilterOut& filt, std::size_t n, std::size_t k_diff,
               const std::optional<std::vector<double>>& future, ForecastOut& out) {
    const std::size_t horizon = out.means.size(), k = sys.transition.rows();
    std::vector<double> a = filt.state, P = filt.state_cov;
    // The covariance prediction may run up to PADDING elements past the matrices' ends.
    P.resize(k * k + CovariancePrediction::PADDING, 0.0);
    std::vector<double> next(k), next_cov(k * k + CovariancePrediction::PADDING);
    CovariancePrediction prediction(sys);
    for (std::size_t h = 0; h < horizon; ++h) {
        double mean = 0.0;
        for (std::size_t i : sys.design) mean = mean + a[i];
        out.means[h] = mean + (future ? (*future)[h] : 0.0);
        double var = 0.0;
        for (std::size_t i : sys.design) {
            for (std::size_t j : sys.design) var = var + P[i * k + j];
        }
        out.variances[h] = var;
        if (h + 1 == horizon) break;
        for (std::size_t i = 0; i < k; ++i) {
            const bool trend = sys.trend && i == k_diff;
            double acc = trend ? (*sys.trend)[std::min(n + h, sys.trend->size() - 1)] : sys.state_intercept[i];
            for (const Entry& e : sys.transition.row(i)) acc = acc + e.value * a[e.col];
            next[i] = acc;
        }
        a.swap(next);
        prediction.predict_full(P.data(), next_cov.data());
        P.swap(next_cov);
    }
}

}  // namespace

ForecastOut forecast(const Spec& spec, const Series& series, std::span<const double> params,
                     const FilterOptions& options, std::optional<std::span<const double>> exog_future,
                     std::size_t horizon) {
    FilterRun run = run_filter(spec, series, params, options, true, horizon);
    const auto future = exog_intercept(spec.k_exog, exog_future, run.blocks.beta, horizon);
    ForecastOut out;
    out.means.resize(horizon);
    out.variances.resize(horizon);
    propagate(run.system, run.out, series.y.size(), spec.k_diff, future, out);
    apply_scale(spec, run.out, out.variances);
    out.forecasts = std::move(run.out.forecasts);
    out.forecast_errors = std::move(run.out.forecast_errors);
    return out;
}

}  // namespace korvanta

// Initial state: the unconditional mean of the ARMA block and its stationary covariance.
#include <cmath>
#include <cstring>

#include "ssm/system.hpp"

namespace korvanta {
namespace {

// out = L·R for r × r row-major matrices, row by row: for each i and each k ascending with
// L[i][k] ≠ 0, out[i][·] += L[i][k]·R[k][·]. Skipping the exact zeros of the left factor is
// part of the definition (a zero never meets an infinity of R).
void mul_skip_zeros(const double* L, const double* R, double* out, std::size_t r) {
    std::memset(out, 0, r * r * sizeof(double));
    for (std::size_t i = 0; i < r; ++i) {
        double* oi = out + i * r;
        for (std::size_t k = 0; k < r; ++k) {
            const double lik = L[i * r + k];
            if (lik == 0.0) continue;
            const double* rk = R + k * r;
            for (std::size_t j = 0; j < r; ++j) oi[j] = oi[j] + lik * rk[j];
        }
    }
}

// N = M·Aᵀ with N[i][j] = Σ_k M[i][k]·A[j][k], summed from 0.0 in ascending k.
// Computed as row updates N[i][·] += M[i][k]·At[k][·] so that every element still sums its
// terms in ascending k. A term with M[i][k] = ±0 is skipped when column k of A is all finite:
// it is then ±0, and adding ±0 to a partial sum that started at +0.0 changes nothing.
void mul_transposed(const double* M, const double* A, double* N, double* At, unsigned char* col_finite, std::size_t r) {
    for (std::size_t j = 0; j < r; ++j) {
        for (std::size_t k = 0; k < r; ++k) At[k * r + j] = A[j * r + k];
    }
    for (std::size_t k = 0; k < r; ++k) {
        bool finite = true;
        for (std::size_t j = 0; j < r; ++j) finite = finite && std::isfinite(At[k * r + j]);
        col_finite[k] = finite;
    }
    std::memset(N, 0, r * r * sizeof(double));
    for (std::size_t i = 0; i < r; ++i) {
        double* ni = N + i * r;
        for (std::size_t k = 0; k < r; ++k) {
            const double mik = M[i * r + k];
            if (mik == 0.0 && col_finite[k]) continue;
            const double* ak = At + k * r;
            for (std::size_t j = 0; j < r; ++j) ni[j] = ni[j] + mik * ak[j];
        }
    }
}

double abs_sum(const double* x, std::size_t len) {
    double sum = 0.0;
    for (std::size_t i = 0; i < len; ++i) sum = sum + std::fabs(x[i]);
    return sum;
}

// Stationary covariance V = A·V·Aᵀ + Q of the ARMA block by the doubling iteration
// V ← V + A·V·Aᵀ, A ← A·A. Stops when the increment is negligible relative to V, when the
// powers of A have vanished or blown up, or after 64 doublings.
std::vector<double> stationary_cov(const Spec& spec, const System& sys) {
    const std::size_t r = spec.k_arma_states, k_diff = spec.k_diff;
    const std::size_t rr = r * r;
    std::vector<double> A(rr, 0.0), V(rr), M(rr), N(rr), At(rr);
    std::vector<unsigned char> col_finite(r);
    for (std::size_t i = 0; i < r; ++i) {
        for (const Entry& e : sys.transition.row(k_diff + i)) {
            if (e.col >= k_diff) A[i * r + (e.col - k_diff)] = e.value;
        }
    }
    const double* R = sys.selection.data() + k_diff;
    for (std::size_t i = 0; i < r; ++i) {
        for (std::size_t j = 0; j < r; ++j) V[i * r + j] = (sys.sigma2 * R[i]) * R[j];
    }
    for (int iteration = 0; iteration < 64; ++iteration) {
        mul_skip_zeros(A.data(), V.data(), M.data(), r);
        mul_transposed(M.data(), A.data(), N.data(), At.data(), col_finite.data(), r);
        double delta = 0.0;
        for (std::size_t i = 0; i < rr; ++i) {
            V[i] = V[i] + N[i];
            delta = delta + std::fabs(N[i]);
        }
        const double vnorm = abs_sum(V.data(), rr);
        const double floor = vnorm > 1e-300 ? vnorm : 1e-300;  // a NaN vnorm counts as 1e-300
        // The squared A of a converged iteration would be discarded, so it is not formed.
        if (delta <= 1e-15 * floor) break;
        mul_skip_zeros(A.data(), A.data(), M.data(), r);
        A.swap(M);
        const double anorm = abs_sum(A.data(), rr);
        if (anorm < 1e-300 || std::isinf(anorm) || std::isnan(anorm)) break;
    }
    for (std::size_t i = 0; i < r; ++i) {
        for (std::size_t j = i + 1; j < r; ++j) {
            const double m = (V[i * r + j] + V[j * r + i]) * 0.5;
            V[i * r + j] = m;
            V[j * r + i] = m;
        }
    }
    return V;
}

}  // namespace

InitialState initial_state(const Spec& spec, const System& sys, double diffuse_variance) {
    const std::size_t k = spec.k_states, k_diff = spec.k_diff, r = spec.k_arma_states;
    InitialState init;
    init.mean.assign(k, 0.0);
    const double c = sys.state_intercept[k_diff];
    if (spec.enforce_stationarity && c != 0.0) {
        // Fixed point of α = T·α + c on the ARMA block: the process mean and its lags.
        double S = 0.0;
        for (double a : sys.ar) S = S + a;
        const double mu = c / (1.0 - S);
        init.mean[k_diff] = mu;
        double running = 0.0;
        for (std::size_t i = 0; i + 1 < r; ++i) {
            running = running + (i < sys.ar.size() ? sys.ar[i] : 0.0);
            init.mean[k_diff + 1 + i] = mu * (1.0 - running) - c;
        }
    }
    init.cov.assign(k * k, 0.0);
    if (!spec.enforce_stationarity) {
        for (std::size_t i = 0; i < k; ++i) init.cov[i * k + i] = diffuse_variance;
        return init;
    }
    for (std::size_t i = 0; i < k_diff; ++i) init.cov[i * k + i] = diffuse_variance;
    const std::vector<double> V = stationary_cov(spec, sys);
    for (std::size_t i = 0; i < r; ++i) {
        std::memcpy(&init.cov[(k_diff + i) * k + k_diff], &V[i * r], r * sizeof(double));
    }
    return init;
}

}  // namespace korvanta

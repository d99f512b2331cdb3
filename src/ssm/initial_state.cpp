// Initial state: the unconditional mean of the ARMA block and its stationary covariance.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <utility>

#include "common/inline.hpp"
#include "ssm/system.hpp"

namespace korvanta {
namespace {

// The entries of an r × r row-major matrix that are not ±0 (NaN included), row by row in
// ascending column order, in storage the caller provides (r² columns and values, r + 1 starts).
struct NonZeros {
    std::size_t* col;
    std::size_t* start;
    double* value;
    std::size_t count = 0;

    // Scans `m` and returns Σ|m[i]| over its entries in row-major order from 0.0.
    double scan(const double* KORVANTA_RESTRICT m, std::size_t r) {
        std::size_t* KORVANTA_RESTRICT c = col;
        double* KORVANTA_RESTRICT v = value;
        double sum = 0.0;
        std::size_t n = 0;
        start[0] = 0;
        for (std::size_t i = 0; i < r; ++i) {
            for (std::size_t j = 0; j < r; ++j) {
                const double x = m[i * r + j];
                sum = sum + std::fabs(x);
                if (x != 0.0) {
                    c[n] = j;
                    v[n] = x;
                    n += 1;
                }
            }
            start[i + 1] = n;
        }
        count = n;
        return sum;
    }
};

// Row i of out = Σ over k ascending of x_k·(row k of R), summed from 0.0: the first term
// is added to 0.0 where it is stored, so no zeroing pass is needed; a row without terms is
// 0.0. `term(n)` gives the n-th (k, x_k) of `count`.
template <class Term>
void add_rows(double* KORVANTA_RESTRICT oi, const double* R, std::size_t r, std::size_t count, Term term) {
    if (count == 0) {
        for (std::size_t j = 0; j < r; ++j) oi[j] = 0.0;
        return;
    }
    {
        const auto [k, x] = term(0);
        const double* KORVANTA_RESTRICT rk = R + k * r;
        for (std::size_t j = 0; j < r; ++j) oi[j] = 0.0 + x * rk[j];
    }
    for (std::size_t n = 1; n < count; ++n) {
        const auto [k, x] = term(n);
        const double* KORVANTA_RESTRICT rk = R + k * r;
        for (std::size_t j = 0; j < r; ++j) oi[j] = oi[j] + x * rk[j];
    }
}

// out = L·R for r × r row-major matrices, row by row: for each i and each k ascending with
// L[i][k] ≠ 0, out[i][·] += L[i][k]·R[k][·] from 0.0. Skipping the exact zeros of the left
// factor is part of the definition (a zero never meets an infinity of R); `L` lists the rest.
void mul_skip_zeros(const NonZeros& L, const double* R, double* out, std::size_t r) {
    for (std::size_t i = 0; i < r; ++i) {
        const std::size_t first = L.start[i];
        add_rows(out + i * r, R, r, L.start[i + 1] - first, [&](std::size_t n) {
            return std::pair{L.col[first + n], L.value[first + n]};
        });
    }
}

// N = M·Aᵀ with N[i][j] = Σ_k M[i][k]·A[j][k], summed from 0.0 in ascending k. A term that
// is ±0 may be left out: adding ±0 to a partial sum that started at +0.0 changes nothing
// (such a sum is never −0.0). Every term with a finite M[i][k] and A[j][k] = ±0 is ±0, so
// with M all finite each element sums over the non-zeros of row j of A only. Otherwise it is
// computed as row updates N[i][·] += M[i][k]·At[k][·], which keep that order too, leaving
// out the terms with M[i][k] = ±0 when column k of A is all finite.
void mul_transposed(const double* M, const double* A, const NonZeros& a, double* N, double* At, std::size_t* col_finite,
                    std::size_t* terms, std::size_t r) {
    // Visiting the non-zeros one by one pays while they are few; a dense A goes by rows.
    bool sparse = 4 * a.count <= r * r;
    for (std::size_t i = 0; sparse && i < r * r; ++i) sparse = std::isfinite(M[i]);
    if (sparse) {
        for (std::size_t i = 0; i < r; ++i) {
            const double* KORVANTA_RESTRICT mi = M + i * r;
            for (std::size_t j = 0; j < r; ++j) {
                double sum = 0.0;
                for (std::size_t n = a.start[j]; n < a.start[j + 1]; ++n) sum = sum + mi[a.col[n]] * a.value[n];
                N[i * r + j] = sum;
            }
        }
        return;
    }
    for (std::size_t j = 0; j < r; ++j) {
        for (std::size_t k = 0; k < r; ++k) At[k * r + j] = A[j * r + k];
    }
    for (std::size_t k = 0; k < r; ++k) {
        bool column_finite = true;
        for (std::size_t j = 0; j < r; ++j) column_finite = column_finite && std::isfinite(At[k * r + j]);
        col_finite[k] = column_finite;
    }
    for (std::size_t i = 0; i < r; ++i) {
        const double* mi = M + i * r;
        std::size_t count = 0;
        for (std::size_t k = 0; k < r; ++k) {
            if (!(mi[k] == 0.0 && col_finite[k])) terms[count++] = k;
        }
        add_rows(N + i * r, At, r, count, [&](std::size_t n) { return std::pair{terms[n], mi[terms[n]]}; });
    }
}

// Stationary covariance V = A·V·Aᵀ + Q of the ARMA block by the doubling iteration
// V ← V + A·V·Aᵀ, A ← A·A. Stops when the increment is negligible relative to V, when the
// powers of A have vanished or blown up, or after 64 doublings.
std::vector<double> stationary_cov(const Spec& spec, const System& sys) {
    const std::size_t r = spec.k_arma_states, k_diff = spec.k_diff;
    const std::size_t rr = r * r;
    // One block for A, its next power M, N = M·Aᵀ, Aᵀ and A's non-zero values; one for the
    // non-zeros' columns and row starts, the columns of a row update and column finiteness.
    // Every one but A is written before it is read, so only A is zeroed.
    std::vector<double> V(rr);
    const std::unique_ptr<double[]> work(new double[5 * rr]);
    const std::unique_ptr<std::size_t[]> index(new std::size_t[rr + 3 * r + 1]);
    double *A = work.get(), *M = A + rr, *N = M + rr, *At = N + rr;
    std::fill(A, A + rr, 0.0);
    NonZeros a{index.get(), index.get() + rr, At + rr};
    std::size_t *terms = a.start + r + 1, *col_finite = terms + r;
    for (std::size_t i = 0; i < r; ++i) {
        for (const Entry& e : sys.transition.row(k_diff + i)) {
            if (e.col >= k_diff) A[i * r + (e.col - k_diff)] = e.value;
        }
    }
    a.scan(A, r);
    const double* R = sys.selection.data() + k_diff;
    for (std::size_t i = 0; i < r; ++i) {
        for (std::size_t j = 0; j < r; ++j) V[i * r + j] = (sys.sigma2 * R[i]) * R[j];
    }
    for (int iteration = 0; iteration < 64; ++iteration) {
        mul_skip_zeros(a, V.data(), M, r);
        mul_transposed(M, A, a, N, At, col_finite, terms, r);
        double delta = 0.0, vnorm = 0.0;
        for (std::size_t i = 0; i < rr; ++i) {
            V[i] = V[i] + N[i];
            delta = delta + std::fabs(N[i]);
            vnorm = vnorm + std::fabs(V[i]);
        }
        const double floor = vnorm > 1e-300 ? vnorm : 1e-300;  // a NaN vnorm counts as 1e-300
        // The squared A of a converged iteration would be discarded, so it is not formed.
        if (delta <= 1e-15 * floor) break;
        mul_skip_zeros(a, A, M, r);
        std::swap(A, M);
        const double anorm = a.scan(A, r);
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

// The finite-difference gradient of the likelihood objective, serial or shared with the
// worker pool.
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>

#include "objective/objective.hpp"
#include "pool/pool.hpp"

namespace korvanta {
namespace {

using Clock = std::chrono::steady_clock;

// Below this much work saved, waking a worker does not pay off. A worker takes tens of
// microseconds to wake on a virtual machine (a whole time slice on a busy one). Woken before
// the base value, it wakes while the caller computes that value, so a smaller saving
// suffices than for a worker woken after it, whose wake-up delays every point it takes.
constexpr double MIN_SAVING_BEFORE_BASE = 50e-6;
constexpr double MIN_SAVING_AFTER_BASE = 100e-6;

/// The evaluation points of a gradient: point 0 is u itself, then per parameter the upward
/// point and, for central differences, the downward one.
struct Points {
    std::span<const double> u;
    std::optional<double> epsilon;  ///< the fixed forward step, when positive

    bool fixed() const { return epsilon && *epsilon > 0.0; }  // NaN, zero, negatives fall through
    std::size_t per_param() const { return fixed() ? 1 : 2; }
    std::size_t count() const { return 1 + per_param() * u.size(); }

    // Magnitude-scaled central step max(|u_i|, 1) times the cube root of 2^-52, written so that
    // a NaN magnitude yields 1.0 as IEEE maxNum does; or the fixed step.
    double step(std::size_t i) const {
        constexpr double CUBE_ROOT_EPSILON = 6.055454452393343e-06;
        if (fixed()) return *epsilon;
        const double mag = std::fabs(u[i]);
        return (mag > 1.0 ? mag : 1.0) * CUBE_ROOT_EPSILON;
    }

    std::vector<double> at(std::size_t point) const {
        std::vector<double> v(u.begin(), u.end());
        if (point > 0) {
            const std::size_t i = (point - 1) / per_param();
            const bool down = (point - 1) % per_param() == 1;
            v[i] = down ? u[i] - step(i) : step(i) + u[i];
        }
        return v;
    }
};

double evaluate(const Spec& spec, const Series& series, const FilterOptions& options, const Points& points,
                std::size_t point) {
    return loglike_unconstrained(spec, series, points.at(point), options);
}

// The difference quotient of parameter i from the values at its evaluation points.
double quotient(const Points& points, const std::vector<double>& values, std::size_t i) {
    const double f0 = values[0], fp = values[1 + points.per_param() * i], h = points.step(i);
    if (points.fixed()) return (std::isfinite(fp) && std::isfinite(f0)) ? (fp - f0) / h : 0.0;
    const double fm = values[2 + points.per_param() * i];
    const bool fp_ok = std::isfinite(fp), fm_ok = std::isfinite(fm);
    if (fp_ok && fm_ok) return (fp - fm) / (h + h);
    if (fm_ok) return (f0 - fm) / h;  // backward difference
    if (fp_ok) return (fp - f0) / h;  // forward difference, whatever f0 is
    return 0.0;                       // neither side finite
}

/// The points of one gradient shared between the calling thread and pool workers. It owns
/// copies of everything an evaluation reads, so a worker that finishes late touches nothing
/// of the caller's. Points are taken in order; each value is published once, by whichever
/// evaluation of it finishes first (the values are the same bits whoever computes them).
class SharedPoints final : public Job {
public:
    SharedPoints(const Spec& spec, const Series& series, const FilterOptions& options, const Points& points)
        : spec_(spec),
          y_(series.y.begin(), series.y.end()),
          u_(points.u.begin(), points.u.end()),
          options_(options),
          points_{u_, points.epsilon},
          slots_(points.count()) {
        if (series.exog) exog_.emplace(series.exog->begin(), series.exog->end());
    }

    void help() noexcept override {
        for (std::size_t p = take(); p < slots_.size(); p = take()) compute(p);
    }

    bool exhausted() const noexcept override { return next_.load() >= slots_.size(); }

    /// The caller's part, after the base value: take points while there are any, then wait
    /// for those a worker is computing, for about as long as an evaluation takes, and
    /// compute any that is still out itself (a worker may have lost its processor).
    std::vector<double> run_as_caller(double base_value, Clock::duration evaluation) {
        publish(0, base_value, nullptr);
        help();
        for (std::size_t p = 1; p < slots_.size(); ++p) {
            if (published(p)) continue;
            const std::int64_t started = slots_[p].started.load();
            const Clock::time_point from = started != 0 ? Clock::time_point(Clock::duration(started)) : Clock::now();
            std::unique_lock lock(mutex_);
            done_.wait_until(lock, from + evaluation + evaluation / 2, [&] { return published(p); });
            lock.unlock();
            if (!published(p)) compute(p);
            // When a worker's evaluation finished first, compute() left the slot to it: the
            // worker has claimed it and is writing it, so wait for that value.
            lock.lock();
            done_.wait(lock, [&] { return published(p); });
        }
        std::vector<double> values(slots_.size());
        for (std::size_t p = 0; p < slots_.size(); ++p) {
            if (slots_[p].error) std::rethrow_exception(slots_[p].error);
            values[p] = slots_[p].value;
        }
        return values;
    }

private:
    struct Slot {
        std::atomic<std::int64_t> started{0};  ///< when it was taken (clock ticks), 0 before
        std::atomic<bool> claimed{false};      ///< an evaluation has finished and writes it
        std::atomic<bool> ready{false};        ///< value or error written
        double value = 0.0;
        std::exception_ptr error;
    };

    std::size_t take() {
        const std::size_t p = next_.fetch_add(1);
        if (p < slots_.size()) slots_[p].started.store(Clock::now().time_since_epoch().count());
        return p;
    }

    bool published(std::size_t p) const { return slots_[p].ready.load(std::memory_order_acquire); }

    // Evaluates point p (skipped once an evaluation has failed) and publishes the result.
    void compute(std::size_t p) noexcept {
        if (failed_.load()) return publish(p, 0.0, nullptr);
        try {
            publish(p, evaluate(spec_, Series{y_, exog_view()}, options_, points_, p), nullptr);
        } catch (...) {
            failed_.store(true);
            publish(p, 0.0, std::current_exception());
        }
    }

    void publish(std::size_t p, double value, std::exception_ptr error) noexcept {
        Slot& slot = slots_[p];
        if (slot.claimed.exchange(true)) return;  // another evaluation of it came first
        slot.value = value;
        slot.error = std::move(error);
        slot.ready.store(true, std::memory_order_release);
        std::lock_guard lock(mutex_);  // the waiter checks `ready` under this lock
        done_.notify_all();
    }

    std::optional<std::span<const double>> exog_view() const {
        if (!exog_) return std::nullopt;
        return std::span<const double>(*exog_);
    }

    const Spec spec_;
    const std::vector<double> y_, u_;
    std::optional<std::vector<double>> exog_;
    const FilterOptions options_;
    const Points points_;
    std::vector<Slot> slots_;
    std::atomic<std::size_t> next_{1};  ///< point 0, the base, is the caller's
    std::atomic<bool> failed_{false};
    std::mutex mutex_;
    std::condition_variable done_;
};

// How many workers to wake for the points after the base, evaluated in about `evaluation`
// each: none unless the evaluations they would take off the caller add up to more than
// waking them costs.
std::size_t helpers_worth_waking(const Pool* pool, std::size_t rest, double evaluation, double min_saving) {
    if (pool == nullptr || rest < 2) return 0;
    const std::size_t helpers = std::min(pool->workers(), rest - 1);
    const double saved =
        evaluation * static_cast<double>(rest) * static_cast<double>(helpers) / static_cast<double>(helpers + 1);
    return saved > min_saving ? helpers : 0;
}

// A rough, low estimate of one evaluation's time from the model's size: the covariance
// recursion's k² work and a fixed cost per observation. When even this says the workers pay
// off, they are woken before the base value is computed, so that they work alongside it.
double estimated_seconds(const Spec& spec, std::size_t n) {
    const double k = static_cast<double>(spec.k_states);
    return static_cast<double>(n) * (k * k * 0.4e-9 + 10e-9);
}

}  // namespace

GradOut loglike_and_grad(const Spec& spec, const Series& series, std::span<const double> u,
                         const FilterOptions& options, const GradOptions& grad) {
    const Points points{u, grad.epsilon};
    std::vector<double> values(points.count());
    const std::size_t rest = u.size() > 1 ? values.size() - 1 : 0;  // one parameter: the caller alone
    auto timed_base = [&] {
        const Clock::time_point start = Clock::now();
        values[0] = evaluate(spec, series, options, points, 0);
        return Clock::now() - start;
    };
    // Every point writes only its own value, so any schedule gives the serial values, bit for bit.
    std::size_t helpers =
        helpers_worth_waking(grad.pool, rest, estimated_seconds(spec, series.y.size()), MIN_SAVING_BEFORE_BASE);
    std::shared_ptr<SharedPoints> shared;
    if (helpers > 0) {
        shared = std::make_shared<SharedPoints>(spec, series, options, points);
        grad.pool->submit(shared, helpers);
    }
    const Clock::duration evaluation = timed_base();
    if (!shared) {
        helpers = helpers_worth_waking(grad.pool, rest, std::chrono::duration<double>(evaluation).count(),
                                       MIN_SAVING_AFTER_BASE);
        if (helpers > 0) {
            shared = std::make_shared<SharedPoints>(spec, series, options, points);
            grad.pool->submit(shared, helpers);
        }
    }
    if (shared) {
        values = shared->run_as_caller(values[0], evaluation);
        grad.pool->withdraw(shared);
    } else {
        for (std::size_t p = 1; p < values.size(); ++p) values[p] = evaluate(spec, series, options, points, p);
    }

    GradOut out;
    out.loglike = values[0];
    out.gradient.resize(u.size());
    for (std::size_t i = 0; i < u.size(); ++i) out.gradient[i] = quotient(points, values, i);
    return out;
}

}  // namespace korvanta

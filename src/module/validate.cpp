// The arrays' views and the checks between conversion and computation.
#include <cstring>
#include <string>

#include "common/errors.hpp"
#include "common/messages.hpp"
#include "module/args.hpp"
#include "module/numpy_api.hpp"

namespace korvanta::args {
namespace {

std::optional<Vector> vector_of(const std::optional<ArrayArg>& arg) {
    if (!arg) return std::nullopt;
    const std::optional<npy::Data> data = npy::float64_vector_data(arg->obj);
    if (!data) {
        // A conversion hook changed the array's shape or dtype after it was converted: the
        // call fails as its conversion would fail now.
        py::raise(PyExc_TypeError, messages::for_argument(
                                       signatures::info(arg->param).name,
                                       messages::cannot_convert(py::type_qualname(arg->obj), messages::TARGET_ARRAY)));
    }
    Vector v;
    v.size = data->size;
    v.contiguous = data->contiguous && data->bytes != nullptr;
    if (!v.contiguous) return v;
    if (reinterpret_cast<std::uintptr_t>(data->bytes) % alignof(double) == 0) {
        v.data = reinterpret_cast<const double*>(data->bytes);
    } else {
        // Misaligned buffer (e.g. frombuffer with an odd offset): read it bytewise.
        v.aligned.resize(v.size);
        if (v.size > 0) std::memcpy(v.aligned.data(), data->bytes, v.size * sizeof(double));
        v.data = v.aligned.data();
    }
    return v;
}

// k_exog × n written in decimal, exactly, although it may not fit in 64 bits.
std::string decimal_product(std::uint64_t a, std::uint64_t b) {
    // 32-bit limbs, least significant first: long multiplication, then repeated division by 10.
    std::uint64_t limbs[4] = {0, 0, 0, 0};
    const std::uint64_t x[2] = {a & 0xffffffffu, a >> 32}, y[2] = {b & 0xffffffffu, b >> 32};
    for (int i = 0; i < 2; ++i) {
        std::uint64_t carry = 0;
        for (int j = 0; j < 2; ++j) {
            const std::uint64_t t = x[i] * y[j] + limbs[i + j] + carry;
            limbs[i + j] = t & 0xffffffffu;
            carry = t >> 32;
        }
        limbs[i + 2] += carry;
    }
    std::string digits;
    do {
        std::uint64_t remainder = 0;
        for (int i = 3; i >= 0; --i) {
            const std::uint64_t cur = (remainder << 32) | limbs[i];
            limbs[i] = cur / 10;
            remainder = cur % 10;
        }
        digits.insert(digits.begin(), static_cast<char>('0' + remainder));
    } while (limbs[0] != 0 || limbs[1] != 0 || limbs[2] != 0 || limbs[3] != 0);
    return digits;
}

}  // namespace

Views view(const Arguments& a) {
    Views v;
    v.y = vector_of(a.y);
    v.vector = vector_of(a.vector);
    v.exog = vector_of(a.exog);
    v.exog_future = vector_of(a.exog_future);
    return v;
}

void require_contiguous(const Vector& v) {
    if (!v.contiguous) py::raise(PyExc_TypeError, messages::NOT_CONTIGUOUS);
}

void check_params(const Spec& spec, std::size_t length, const char* name) {
    if (length != spec.n_params()) throw ValueError(messages::param_count(name, length, spec.n_params()));
}

std::optional<std::span<const double>> exog_slice(const std::optional<Vector>& array, std::uint64_t k_exog,
                                                  std::uint64_t n, const char* name) {
    if (!array) return std::nullopt;
    if (!array->contiguous) throw ValueError(messages::regressors_not_contiguous(name));
    const std::uint64_t m = array->size;
    // An overflowing product cannot match any real array: it is reported as the usual
    // mismatch, with its true value.
    const bool overflow = k_exog != 0 && n > UINT64_MAX / k_exog;
    if (overflow || m != k_exog * n) {
        throw ValueError(messages::regressor_count(name, m, decimal_product(k_exog, n)));
    }
    return array->span();
}

}  // namespace korvanta::args

#include "ops/delta.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "runtime/thread_pool.hpp"

namespace qorva::dsp::ops {

DeltaMode parse_delta_mode(const std::string& name) {
    if (name == "interp") return DeltaMode::interp;
    if (name == "nearest") return DeltaMode::nearest;
    throw std::invalid_argument("mode must be 'interp' or 'nearest'; got '" + name + "'");
}

namespace {

// Solves the small symmetric positive definite system A z = b (n x n, row
// major) in place by Gaussian elimination; n is at most the polynomial degree + 1.
void solve(std::vector<double>& A, std::vector<double>& b, int n) {
    for (int c = 0; c < n; ++c) {
        for (int r = c + 1; r < n; ++r) {
            const double factor = A[r * n + c] / A[c * n + c];
            for (int k = c; k < n; ++k) A[r * n + k] -= factor * A[c * n + k];
            b[r] -= factor * b[c];
        }
    }
    for (int r = n - 1; r >= 0; --r) {
        for (int k = r + 1; k < n; ++k) b[r] -= A[r * n + k] * b[k];
        b[r] /= A[r * n + r];
    }
}

}  // namespace

// The fit through positions u = j - c (c the centre) with powers u^0 .. u^d,
// d = order: weights of sample j for the order-th derivative at position t
// are e(t)^T (V^T V)^-1 V^T, e(t)_k = k! / (k - order)! (t - c)^(k - order).
// Centred positions keep V^T V well conditioned.
template <typename T>
DeltaEngine<T>::DeltaEngine(int32_t width, int32_t order, DeltaMode mode) : width_(width), order_(order), mode_(mode) {
    if (width < 3 || width % 2 == 0) {
        throw std::invalid_argument("width must be an odd integer >= 3, got " + std::to_string(width));
    }
    if (order < 1 || order >= width) {
        throw std::invalid_argument("order must be between 1 and width - 1 (" + std::to_string(width - 1) +
                                    "), got " + std::to_string(order));
    }
    const int d = order + 1;
    const double centre = (width - 1) / 2.0;
    std::vector<double> gram(static_cast<std::size_t>(d) * d, 0.0);
    for (int j = 0; j < width; ++j) {
        for (int a = 0; a < d; ++a) {
            for (int b = 0; b < d; ++b) gram[a * d + b] += std::pow(j - centre, a + b);
        }
    }
    fits_.resize(static_cast<std::size_t>(width) * width);
    for (int t = 0; t < width; ++t) {
        // z = (V^T V)^-1 e(t); weight of sample j = sum_k z_k (j - c)^k.
        std::vector<double> A = gram, z(d, 0.0);
        for (int k = order; k < d; ++k) {
            double coef = 1.0;
            for (int i = 0; i < order; ++i) coef *= (k - i);
            z[k] = coef * std::pow(t - centre, k - order);
        }
        solve(A, z, d);
        for (int j = 0; j < width; ++j) {
            double w = 0.0;
            for (int k = 0; k < d; ++k) w += z[k] * std::pow(j - centre, k);
            fits_[static_cast<std::size_t>(t) * width + j] = static_cast<T>(w);
        }
    }
}

template <typename T>
void DeltaEngine<T>::check_frames(int64_t F) const {
    if (mode_ == DeltaMode::interp && F < width_) {
        throw std::invalid_argument("mode 'interp' needs at least width (" + std::to_string(width_) +
                                    ") frames, got " + std::to_string(F));
    }
}

// "interp": the window is clamped inside the sequence and the position moves;
// "nearest": the window is centred (frames beyond the ends repeat the edges).
template <typename T>
int64_t DeltaEngine<T>::window_start(int64_t f, int64_t F) const {
    const int64_t half = width_ / 2;
    if (mode_ == DeltaMode::nearest) return f - half;
    return std::clamp<int64_t>(f - half, 0, F - width_);
}

template <typename T>
const T* DeltaEngine<T>::coefficients(int64_t f, int64_t F) const {
    return fits_.data() + (f - window_start(f, F)) * width_;
}

template <typename T>
void DeltaEngine<T>::forward(const T* x, int64_t rows, int64_t F, T* out) const {
    check_frames(F);
    parallel_for(rows, 16, [&](int64_t begin, int64_t end) {
        for (int64_t r = begin; r < end; ++r) {
            const T* src = x + r * F;
            for (int64_t f = 0; f < F; ++f) {
                const int64_t s = window_start(f, F);
                const T* c = coefficients(f, F);
                T acc = T(0);
                for (int32_t j = 0; j < width_; ++j) acc += c[j] * src[std::clamp<int64_t>(s + j, 0, F - 1)];
                out[r * F + f] = acc;
            }
        }
    });
}

// The transpose: every output frame hands its weights back to the frames it
// read (the clamped edge frame collects the weights of its repeats).
template <typename T>
void DeltaEngine<T>::backward(const T* grad, int64_t rows, int64_t F, T* grad_x) const {
    check_frames(F);
    parallel_for(rows, 16, [&](int64_t begin, int64_t end) {
        for (int64_t r = begin; r < end; ++r) {
            T* dst = grad_x + r * F;
            std::fill(dst, dst + F, T(0));
            const T* g = grad + r * F;
            for (int64_t f = 0; f < F; ++f) {
                const int64_t s = window_start(f, F);
                const T* c = coefficients(f, F);
                for (int32_t j = 0; j < width_; ++j) dst[std::clamp<int64_t>(s + j, 0, F - 1)] += c[j] * g[f];
            }
        }
    });
}

template class DeltaEngine<float>;
template class DeltaEngine<double>;

}  // namespace qorva::dsp::ops

#include "ops/mfcc.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

#include "runtime/buffer_pool.hpp"
#include "runtime/thread_pool.hpp"

namespace qorva::dsp::ops {

namespace {

constexpr double kPi = 3.14159265358979323846;

// Frames of a call transformed together per task: the basis stays in cache.
constexpr int64_t kFrameGrain = 64;

}  // namespace

template <typename T>
MfccEngine<T>::MfccEngine(const MfccOptions& o) : mel_(o.mel), n_mfcc_(o.n_mfcc), top_db_(o.top_db) {
    const int32_t M = mel_.n_mels;
    if (n_mfcc_ < 1 || n_mfcc_ > M) {
        throw std::invalid_argument("n_mfcc must be between 1 and n_mels (" + std::to_string(M) + "), got " +
                                    std::to_string(n_mfcc_));
    }
    if (std::isnan(o.top_db)) throw std::invalid_argument("top_db must be a number (negative for no floor)");
    if (!(o.lifter >= 0.0)) throw std::invalid_argument("lifter must be non-negative");
    basis_.resize(static_cast<std::size_t>(n_mfcc_) * M);
    for (int32_t k = 0; k < n_mfcc_; ++k) {
        const double scale = std::sqrt((k == 0 ? 1.0 : 2.0) / M);
        const double lift = o.lifter > 0.0 ? 1.0 + 0.5 * o.lifter * std::sin(kPi * (k + 1) / o.lifter) : 1.0;
        for (int32_t m = 0; m < M; ++m) {
            basis_[static_cast<std::size_t>(k) * M + m] =
                static_cast<T>(lift * scale * std::cos(kPi * k * (2.0 * m + 1.0) / (2.0 * M)));
        }
    }
}

template <typename T>
int64_t MfccEngine<T>::db_and_floor(const T* x, int64_t B, int64_t L, T* db, T& floor) const {
    mel_forward(mel_, x, B, L, OutputMode::db, db);
    const int64_t n = B * mel_.n_mels * n_frames(L);
    if (top_db_ < 0.0 || n == 0) return -1;
    int64_t loudest = 0;
    for (int64_t i = 1; i < n; ++i) {
        if (db[i] > db[loudest]) loudest = i;
    }
    floor = static_cast<T>(db[loudest] - static_cast<T>(top_db_));
    return loudest;
}

template <typename T>
void MfccEngine<T>::forward(const T* x, int64_t B, int64_t L, T* out) const {
    const int64_t F = n_frames(L), M = mel_.n_mels, K = n_mfcc_;
    PoolBuffer db_block(static_cast<std::size_t>(B * M * F) * sizeof(T));
    T* db = db_block.as<T>();
    T floor = T(0);
    if (db_and_floor(x, B, L, db, floor) >= 0) {
        const int64_t n = B * M * F;
        for (int64_t i = 0; i < n; ++i) {
            if (db[i] < floor) db[i] = floor;
        }
    }
    // out[b][k][f] = sum_m basis[k][m] db[b][m][f], frames innermost on both sides.
    parallel_for(B * K, 1, [&](int64_t begin, int64_t end) {
        for (int64_t q = begin; q < end; ++q) {
            const int64_t b = q / K, k = q % K;
            T* dst = out + q * F;
            std::fill(dst, dst + F, T(0));
            for (int64_t m = 0; m < M; ++m) {
                const T w = basis_[k * M + m];
                const T* src = db + (b * M + m) * F;
                for (int64_t f = 0; f < F; ++f) dst[f] += w * src[f];
            }
        }
    });
}

// The floored value is max(d, d_max - top_db): a value below the floor passes
// its gradient to the loudest value instead of to itself.
template <typename T>
void MfccEngine<T>::backward(const T* grad, const T* x, int64_t B, int64_t L, T* grad_x) const {
    const int64_t F = n_frames(L), M = mel_.n_mels, K = n_mfcc_;
    const std::size_t bytes = static_cast<std::size_t>(B * M * F) * sizeof(T);
    PoolBuffer db_block(bytes), db_grad_block(bytes);
    T* db = db_block.as<T>();
    T* gdb = db_grad_block.as<T>();
    T floor = T(0);
    const int64_t loudest = db_and_floor(x, B, L, db, floor);
    parallel_for(B * M, 1, [&](int64_t begin, int64_t end) {
        for (int64_t q = begin; q < end; ++q) {
            const int64_t b = q / M, m = q % M;
            T* dst = gdb + q * F;
            std::fill(dst, dst + F, T(0));
            for (int64_t k = 0; k < K; ++k) {
                const T w = basis_[k * M + m];
                const T* src = grad + (b * K + k) * F;
                for (int64_t f = 0; f < F; ++f) dst[f] += w * src[f];
            }
        }
    });
    if (loudest >= 0) {
        double moved = 0.0;
        const int64_t n = B * M * F;
        for (int64_t i = 0; i < n; ++i) {
            if (db[i] < floor) {  // floored in the forward pass, as it tests
                moved += gdb[i];
                gdb[i] = T(0);
            }
        }
        gdb[loudest] += static_cast<T>(moved);
    }
    mel_backward(mel_, gdb, x, B, L, OutputMode::db, grad_x);
}

template class MfccEngine<float>;
template class MfccEngine<double>;

}  // namespace qorva::dsp::ops

#include "ops/mfcc.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "runtime/buffer_pool.hpp"
#include "runtime/thread_pool.hpp"

namespace qorva::dsp::ops {

namespace {

constexpr double kPi = 3.14159265358979323846;

// dst[b][i][f] = sum_j weight(i, j) src[b][j][f] for i < rows_out, j < rows_in:
// the DCT of every frame (and its transpose), frames innermost on both sides.
template <typename T, typename Weight>
void combine_rows(const T* src, int64_t rows_in, T* dst, int64_t rows_out, int64_t B, int64_t F, Weight weight) {
    parallel_for(B * rows_out, 1, [&](int64_t begin, int64_t end) {
        for (int64_t q = begin; q < end; ++q) {
            const int64_t b = q / rows_out, i = q % rows_out;
            T* out = dst + q * F;
            std::fill(out, out + F, T(0));
            for (int64_t j = 0; j < rows_in; ++j) {
                const T w = weight(i, j);
                const T* in = src + (b * rows_in + j) * F;
                for (int64_t f = 0; f < F; ++f) out[f] += w * in[f];
            }
        }
    });
}

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
    combine_rows(db, M, out, K, B, F, [&](int64_t k, int64_t m) { return basis_[k * M + m]; });
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
    // The dB values matter only to find what the floor held; mel_backward
    // recomputes the spectrum itself.
    const int64_t loudest = top_db_ >= 0.0 ? db_and_floor(x, B, L, db, floor) : -1;
    combine_rows(grad, K, gdb, M, B, F, [&](int64_t m, int64_t k) { return basis_[k * M + m]; });
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

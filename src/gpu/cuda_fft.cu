// The batched GPU FFT: Stockham autosort passes for 2,3,5,7,11,13-smooth
// lengths (one kernel with the whole row in shared memory while it fits,
// otherwise one kernel per pass ping-ponging through a work buffer), and
// Bluestein's chirp-z transform on top of it for every other length.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include <cuda_fp16.h>
#include <cuda_runtime.h>

#include "gpu/cuda_device.hpp"
#include "gpu/cuda_fft_math.cuh"
#include "gpu/device.hpp"

namespace qorva::dsp::gpu {

namespace {

using cuda::cuda_check;
using cuda::DeviceBuffer;

// Kernel parameters.  fft_stage: stride = product of the earlier radices,
// radix = this pass's radix.  fft_shared: stride unused, radix = 1 when
// radix 16 is allowed.
struct FftParams {
    int n;
    int stride;
    int radix;
    float sign;
};

// Largest grid extents the launches below use per call.
constexpr int64_t kMaxGridX = std::numeric_limits<int32_t>::max();
constexpr int64_t kMaxGridY = 65535;

// Arithmetic type of each storage type.
template <typename S>
struct Compute {
    using type = S;
};
template <>
struct Compute<__half2> {
    using type = float2;
};

// Values a thread of the shared-memory kernel holds across a barrier; with
// the engine's block sizes every length within the shared-memory bound needs
// at most 16 (radix 16, or 4 x radix 4) in single and at most 13 in double
// precision (the C++ tests check it), which keeps the 1024-thread blocks
// within their 64 registers.
template <typename C>
constexpr int kSharedItems = sizeof(C) == sizeof(double2) ? 13 : 16;

// --- kernels: thin wrappers around the per-thread bodies in cuda_fft_math.cuh ----------

// One row per block: load (widened) into shared memory, all passes there,
// store back.
template <typename S>
__global__ void __launch_bounds__(1024) fft_shared(S* data, const typename Compute<S>::type* __restrict__ tw,
                                                   FftParams p) {
    using C = typename Compute<S>::type;
    using T = typename cuda::real_of<C>::type;
    extern __shared__ __align__(16) unsigned char smem_raw[];
    C* s = reinterpret_cast<C*>(smem_raw);
    S* row = data + cuda::row_offset(blockIdx.x, p.n);
    const int tid = static_cast<int>(threadIdx.x), threads = static_cast<int>(blockDim.x);
    cuda::shared_row_load(row, s, p.n, tid, threads);
    __syncthreads();
    cuda::shared_fft<kSharedItems<C>>(s, tw, p.n, static_cast<T>(p.sign), p.radix != 0);
    cuda::shared_row_store(row, s, p.n, tid, threads);
}

// One Stockham pass of radix R: x = butterfly, y = row.
template <typename S, int R>
__global__ void __launch_bounds__(256) fft_stage(const S* __restrict__ src, S* __restrict__ dst,
                                                 const typename Compute<S>::type* __restrict__ tw, FftParams p) {
    using T = typename cuda::real_of<typename Compute<S>::type>::type;
    cuda::fft_stage_butterfly<R>(src, dst, tw, p.n, p.stride, static_cast<T>(p.sign), blockIdx.y,
                                 static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x));
}

// Real float32 values to complex (x, 0).
__global__ void r2c_widen(const float* __restrict__ in, float2* __restrict__ out, int64_t count) {
    cuda::grid_stride(count, blockIdx.x, gridDim.x, threadIdx.x, blockDim.x,
                      [=](int64_t i) { cuda::r2c_element(in, out, i); });
}

// Bluestein's three pointwise steps: x = element, y = row.
__device__ inline int64_t element_index() { return static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x; }

template <typename T>
__global__ void blue_pre(const T* __restrict__ data, T* __restrict__ work, const T* __restrict__ chirp, int n, int m,
                         float sign) {
    cuda::blue_pre_element(data, work, chirp, n, m, sign, blockIdx.y, element_index());
}

template <typename T>
__global__ void blue_mul(T* __restrict__ work, const T* __restrict__ kernel_fft, int m) {
    cuda::blue_mul_element(work, kernel_fft, m, blockIdx.y, element_index());
}

template <typename T>
__global__ void blue_post(const T* __restrict__ work, T* __restrict__ data, const T* __restrict__ chirp, int n, int m,
                          float sign) {
    cuda::blue_post_element(work, data, chirp, n, m, sign, blockIdx.y, element_index());
}

// --- helpers -------------------------------------------------------------------------------

std::size_t byte_count(int64_t elements, std::size_t elem) {
    if (elements < 0 || static_cast<uint64_t>(elements) > std::numeric_limits<std::size_t>::max() / elem) {
        throw std::length_error("GPU FFT: batch too large");
    }
    return static_cast<std::size_t>(elements) * elem;
}

using cuda::for_row_chunks;

std::size_t storage_bytes(GpuPrecision p) {
    switch (p) {
        case GpuPrecision::f16: return 4;
        case GpuPrecision::f32: return 8;
        default: return 16;
    }
}

bool valid_precision(GpuPrecision p) {
    return p == GpuPrecision::f16 || p == GpuPrecision::f32 || p == GpuPrecision::f64;
}

// e^(-2 pi i k / n) for k < n.
template <typename C>
std::vector<C> twiddle_table(int32_t n) {
    return cuda::twiddle_table<C>(n, n);
}

// --- Stockham engine -------------------------------------------------------------------

class CudaFft final : public FftGpu {
public:
    CudaFft(int32_t n, GpuPrecision precision) : n_(n), precision_(precision) {
        allow16_ = precision == GpuPrecision::f16;
        if (precision == GpuPrecision::f64) {
            const auto tw = twiddle_table<double2>(n);
            twiddles_ = cuda::upload(tw.data(), tw.size() * sizeof(double2));
        } else {
            const auto tw = twiddle_table<float2>(n);
            twiddles_ = cuda::upload(tw.data(), tw.size() * sizeof(float2));
        }
        int64_t widest = 1;
        for (int64_t L = 1; L < n;) {
            const int r = fft_radix(n / L, allow16_);
            widest = std::max<int64_t>(widest, n / r);
            L *= r;
        }
        threads_ = static_cast<int>(std::clamp<int64_t>(widest, 32, 1024));
        const bool dbl = precision == GpuPrecision::f64;
        const int64_t element = dbl ? 16 : 8;
        const int64_t limit = dbl ? 40960 : 49152;
        use_shared_ = element * n <= limit &&
                      cuda::shared_fft_fits(n, threads_, allow16_,
                                            dbl ? kSharedItems<double2> : kSharedItems<float2>);
    }

    int32_t size() const override { return n_; }
    GpuPrecision precision() const override { return precision_; }
    const char* name() const override { return "stockham-cuda"; }

    void execute_staged(const void* in, void* out, int64_t batch, bool inverse) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (batch <= 0) return;
        const cuda::CallOrder::Scope ordered(order_, cudaStream_t{});
        const std::size_t bytes = byte_count(batch, byte_count(n_, storage_bytes(precision_)));
        staging_.ensure(bytes);
        cuda::stage_h2d(staging_.get(), in, bytes);
        transform(staging_.get(), batch, inverse, cudaStream_t{});
        cuda_check(cudaStreamSynchronize(cudaStream_t{}), "fft sync");
        cuda::stage_d2h(out, staging_.get(), bytes);
    }

    void rfft_staged(const float* in, void* out, int64_t batch) override {
        if (precision_ != GpuPrecision::f32) {
            throw std::logic_error("CudaFft r2c is f32-only; other precisions route to CPU");
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (batch <= 0) return;
        const cuda::CallOrder::Scope ordered(order_, cudaStream_t{});
        const int64_t count = batch * static_cast<int64_t>(n_);
        real_.ensure(byte_count(count, sizeof(float)));
        staging_.ensure(byte_count(count, sizeof(float2)));
        cuda::stage_h2d(real_.get(), in, static_cast<std::size_t>(count) * sizeof(float));
        const unsigned blocks = static_cast<unsigned>(std::min<int64_t>(cuda::blocks_for(count), kMaxGridX));
        r2c_widen<<<blocks, cuda::kBlock>>>(real_.as<float>(), staging_.as<float2>(), count);
        cuda_check(cudaGetLastError(), "r2c_widen");
        transform(staging_.get(), batch, false, cudaStream_t{});
        cuda_check(cudaStreamSynchronize(cudaStream_t{}), "rfft sync");
        const std::size_t bins_bytes = (static_cast<std::size_t>(n_) / 2 + 1) * sizeof(float2);
        cuda_check(cudaMemcpy2D(out, bins_bytes, staging_.get(), static_cast<std::size_t>(n_) * sizeof(float2),
                                bins_bytes, static_cast<std::size_t>(batch), cudaMemcpyDeviceToHost),
                   "rfft d2h");
    }

    void irfft_staged(const void*, float*, int64_t) override {
        throw std::logic_error("CudaFft is complex-only; real FFT routes to CPU on NVIDIA");
    }

    bool execute_device(void* data, int64_t batch, bool inverse, uint64_t stream) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const cuda::CallOrder::Scope ordered(order_, cuda::to_stream(stream));
        transform(data, batch, inverse, cuda::to_stream(stream));
        return true;
    }

private:
    // Enqueues the transform of `batch` rows at data on stream (lock held).
    void transform(void* data, int64_t batch, bool inverse, cudaStream_t stream) {
        if (batch <= 0) return;
        switch (precision_) {
            case GpuPrecision::f16: run<__half2>(static_cast<__half2*>(data), batch, inverse, stream); break;
            case GpuPrecision::f32: run<float2>(static_cast<float2*>(data), batch, inverse, stream); break;
            default: run<double2>(static_cast<double2*>(data), batch, inverse, stream); break;
        }
    }

    template <typename S>
    void run(S* data, int64_t batch, bool inverse, cudaStream_t stream) {
        using C = typename Compute<S>::type;
        const float sign = inverse ? -1.0f : 1.0f;
        const C* tw = twiddles_.as<C>();
        if (use_shared_) {
            const FftParams params{n_, 0, allow16_ ? 1 : 0, sign};
            const std::size_t smem = static_cast<std::size_t>(n_) * sizeof(C);
            for_row_chunks(batch, kMaxGridX, [&](int64_t first, int64_t rows) {
                fft_shared<S><<<static_cast<unsigned>(rows), threads_, smem, stream>>>(data + first * n_, tw, params);
            });
            cuda_check(cudaGetLastError(), "fft_shared");
            return;
        }
        const std::size_t bytes = byte_count(batch, byte_count(n_, sizeof(S)));
        work_.ensure(bytes);
        S* src = data;
        S* dst = work_.as<S>();
        for (int64_t L = 1; L < n_;) {
            const int r = fft_radix(n_ / L, allow16_);
            const int butterflies = n_ / r;
            const int block = std::min(butterflies, 256);
            const unsigned grid_x = static_cast<unsigned>((butterflies + block - 1) / block);
            const FftParams params{n_, static_cast<int>(L), r, sign};
            cuda::with_radix(r, [&](auto tag) {
                constexpr int R = decltype(tag)::value;
                for_row_chunks(batch, kMaxGridY, [&](int64_t first, int64_t rows) {
                    const dim3 grid(grid_x, static_cast<unsigned>(rows));
                    fft_stage<S, R><<<grid, block, 0, stream>>>(src + first * n_, dst + first * n_, tw, params);
                });
            });
            cuda_check(cudaGetLastError(), "fft_stage");
            std::swap(src, dst);
            L *= r;
        }
        if (src != data) cuda_check(cudaMemcpyAsync(data, src, bytes, cudaMemcpyDeviceToDevice, stream), "fft d2d");
    }

    int32_t n_;
    GpuPrecision precision_;
    bool allow16_ = false;
    bool use_shared_ = false;
    int threads_ = 32;
    DeviceBuffer twiddles_;
    DeviceBuffer staging_;
    DeviceBuffer work_;
    DeviceBuffer real_;
    std::mutex mutex_;
    cuda::CallOrder order_;
};

// --- Bluestein engine --------------------------------------------------------------------

// X[k] = w[k] sum_j (x[j] w[j]) conj(w[k - j]) with w[k] = e^(-i pi k^2 / n):
// a circular convolution of length m >= 2n - 1 done by the inner FFT.
template <typename T>
class BluesteinFftT final : public FftGpu {
    using R = typename cuda::real_of<T>::type;

public:
    BluesteinFftT(int32_t n, int32_t m, std::unique_ptr<FftGpu> inner) : n_(n), m_(m), inner_(std::move(inner)) {
        std::vector<T> w(static_cast<std::size_t>(n));
        const int64_t period = 2 * static_cast<int64_t>(n);
        for (int64_t k = 0; k < n; ++k) {
            const int64_t k2 = (k * k) % period;  // k^2 < 2^62
            const double phase = -cuda::detail::kPi * static_cast<double>(k2) / n;
            w[k] = cuda::cmake<T>(static_cast<R>(std::cos(phase)), static_cast<R>(std::sin(phase)));
        }
        std::vector<T> b(static_cast<std::size_t>(m), cuda::cmake<T>(R(0), R(0)));
        const double inv_m = 1.0 / m;
        for (int64_t k = 0; k < n; ++k) {
            const int64_t k2 = (k * k) % period;
            const double phase = cuda::detail::kPi * static_cast<double>(k2) / n;  // conj(w[k])
            b[k] = cuda::cmake<T>(static_cast<R>(std::cos(phase) * inv_m), static_cast<R>(std::sin(phase) * inv_m));
            if (k >= 1) b[m - k] = b[k];
        }
        inner_->execute_staged(b.data(), b.data(), 1, false);
        chirp_ = cuda::upload(w.data(), w.size() * sizeof(T));
        kernel_fft_ = cuda::upload(b.data(), b.size() * sizeof(T));
    }

    int32_t size() const override { return n_; }
    GpuPrecision precision() const override {
        return sizeof(T) == sizeof(double2) ? GpuPrecision::f64 : GpuPrecision::f32;
    }
    const char* name() const override { return "bluestein-cuda"; }

    void execute_staged(const void* in, void* out, int64_t batch, bool inverse) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (batch <= 0) return;
        const cuda::CallOrder::Scope ordered(order_, cudaStream_t{});
        const std::size_t bytes = byte_count(batch, byte_count(n_, sizeof(T)));
        staging_.ensure(bytes);
        cuda::stage_h2d(staging_.get(), in, bytes);
        transform(staging_.as<T>(), batch, inverse, cudaStream_t{});
        cuda_check(cudaStreamSynchronize(cudaStream_t{}), "bluestein sync");
        cuda::stage_d2h(out, staging_.get(), bytes);
    }

    void rfft_staged(const float*, void*, int64_t) override {
        throw std::logic_error("BluesteinFft is complex-only; real FFT routes to CPU");
    }
    void irfft_staged(const void*, float*, int64_t) override {
        throw std::logic_error("BluesteinFft is complex-only; real FFT routes to CPU");
    }

    bool execute_device(void* data, int64_t batch, bool inverse, uint64_t stream) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const cuda::CallOrder::Scope ordered(order_, cuda::to_stream(stream));
        transform(static_cast<T*>(data), batch, inverse, cuda::to_stream(stream));
        return true;
    }

private:
    void transform(T* data, int64_t batch, bool inverse, cudaStream_t stream) {
        if (batch <= 0) return;
        work_.ensure(byte_count(batch, byte_count(m_, sizeof(T))));
        T* work = work_.as<T>();
        const T* chirp = chirp_.as<T>();
        const float sign = inverse ? -1.0f : 1.0f;
        const unsigned grid_m = cuda::blocks_for(m_);
        const unsigned grid_n = cuda::blocks_for(n_);
        for_row_chunks(batch, kMaxGridY, [&](int64_t first, int64_t rows) {
            const dim3 grid(grid_m, static_cast<unsigned>(rows));
            blue_pre<T><<<grid, cuda::kBlock, 0, stream>>>(data + first * n_, work + first * m_, chirp, n_, m_, sign);
        });
        cuda_check(cudaGetLastError(), "bluestein");
        inner_->execute_device(work, batch, false, reinterpret_cast<uint64_t>(stream));
        for_row_chunks(batch, kMaxGridY, [&](int64_t first, int64_t rows) {
            const dim3 grid(grid_m, static_cast<unsigned>(rows));
            blue_mul<T><<<grid, cuda::kBlock, 0, stream>>>(work + first * m_, kernel_fft_.as<T>(), m_);
        });
        cuda_check(cudaGetLastError(), "bluestein");
        inner_->execute_device(work, batch, true, reinterpret_cast<uint64_t>(stream));
        for_row_chunks(batch, kMaxGridY, [&](int64_t first, int64_t rows) {
            const dim3 grid(grid_n, static_cast<unsigned>(rows));
            blue_post<T><<<grid, cuda::kBlock, 0, stream>>>(work + first * m_, data + first * n_, chirp, n_, m_, sign);
        });
        cuda_check(cudaGetLastError(), "bluestein");
    }

    int32_t n_;
    int32_t m_;
    std::unique_ptr<FftGpu> inner_;
    DeviceBuffer chirp_;
    DeviceBuffer kernel_fft_;
    DeviceBuffer work_;
    DeviceBuffer staging_;
    std::mutex mutex_;
    cuda::CallOrder order_;
};

// The padded length when the chirp-z transform of n fits the 32-bit lengths
// of the inner transform, else 0.
int32_t bluestein_inner_length(int32_t n) {
    const int64_t m = bluestein_length(n);
    return m <= std::numeric_limits<int32_t>::max() ? static_cast<int32_t>(m) : 0;
}

}  // namespace

std::unique_ptr<FftGpu> make_fft_gpu(int32_t n, GpuPrecision precision) {
    if (!gpu_available() || !valid_precision(precision)) return nullptr;
    const cuda::OnDevice0 device;
    if (fft_length_smooth(n)) return std::make_unique<CudaFft>(n, precision);
    if ((precision != GpuPrecision::f32 && precision != GpuPrecision::f64) || n < 4) return nullptr;
    const int32_t m = bluestein_inner_length(n);
    if (m == 0) return nullptr;
    std::unique_ptr<FftGpu> inner = make_fft_gpu(m, precision);
    if (!inner) return nullptr;
    if (precision == GpuPrecision::f32) return std::make_unique<BluesteinFftT<float2>>(n, m, std::move(inner));
    return std::make_unique<BluesteinFftT<double2>>(n, m, std::move(inner));
}

bool fft_gpu_supported(int32_t n, GpuPrecision precision) {
    if (!gpu_available() || !valid_precision(precision)) return false;
    if (fft_length_smooth(n)) return true;
    return (precision == GpuPrecision::f32 || precision == GpuPrecision::f64) && n >= 4 &&
           bluestein_inner_length(n) != 0;
}

}  // namespace qorva::dsp::gpu

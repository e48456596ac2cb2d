// The GPU device layer as the rest of the library sees it: whether a usable
// GPU is present, the device arena that owns the memory of tensors handed to
// Python, the description of a device tensor passed to a resident call, and
// the batched GPU FFT.  Nothing here needs the CUDA headers; a build without
// CUDA answers every query with "no GPU".
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qorva::dsp::gpu {

// Element precision of GPU FFT data.
enum class GpuPrecision : int32_t { f16 = 0, f32 = 1, f64 = 2 };

// True when device 0 exists and has compute capability 7.5 or newer (probed
// once per process; a missing driver only makes it false).
bool gpu_available();
// "cuda" when available, else "none".
const char* gpu_backend_name();
// The runtime's name of device 0, or "" when no usable GPU exists.
std::string gpu_device_name();
// Compute capability of device 0 as major * 10 + minor, 0 without a device.
int gpu_compute_capability();
// Whether this build contains the CUDA backend at all.
bool gpu_compiled();
// The DLPack device type of this build's GPU backend (2, CUDA).
inline constexpr int32_t kDlpackDeviceType = 2;

// Process-wide cache of device blocks for results handed to Python.  A block
// allocated for `stream` (a cudaStream_t as an integer; 0 and 1 mean the
// legacy default stream) is reused only for that stream, where later work is
// ordered after every earlier reader; a consumer on another stream orders
// itself.  A free block is reused for a request of at least half its size; at
// most 1 GiB of free blocks is kept, the smallest evicted first.  When the
// device is out of memory the cache is emptied and the allocation retried.
void* arena_alloc(std::size_t bytes, uint64_t stream);
// Returns a block to the cache without touching the device (it may run in a
// tensor deleter); evicted blocks are freed by a later arena_alloc.  Never
// throws.
void arena_release(void* ptr) noexcept;
// Bytes held in free blocks (for tests and diagnostics).
std::size_t arena_cached_bytes();

// One device tensor given to a resident call: reads start at data + byte_offset.
struct DeviceTensorRef {
    const void* data = nullptr;
    uint64_t byte_offset = 0;
    bool half = false;   // half-width elements (float16 / complex32)
    bool dbl = false;    // double-width elements (float64 / complex128)

    const void* ptr() const { return static_cast<const char*>(data) + byte_offset; }
};

// Batched unnormalised complex FFT of interleaved rows of n elements.
class FftGpu {
public:
    virtual ~FftGpu() = default;
    virtual int32_t size() const = 0;
    virtual GpuPrecision precision() const = 0;
    virtual const char* name() const = 0;
    // Host arrays in the engine's precision; in and out may be the same.
    virtual void execute_staged(const void* in, void* out, int64_t batch, bool inverse) = 0;
    // Real float32 rows in, n/2 + 1 complex64 bins per row out.
    virtual void rfft_staged(const float* in, void* out, int64_t batch) = 0;
    // Not offered by any implementation; throws std::logic_error.
    virtual void irfft_staged(const void* in, float* out, int64_t batch) = 0;
    // In place on device data, enqueued on `stream` (values below 2 mean the
    // legacy default stream).  The caller keeps the engine for the duration.
    virtual bool execute_device(void* data, int64_t batch, bool inverse, uint64_t stream) = 0;
};

// A GPU FFT of length n, or empty when no GPU is available or the length and
// precision have no GPU transform (f16 needs a 2,3,5,7,11,13-smooth n; f32 and
// f64 take any n >= 4 through Bluestein).
std::unique_ptr<FftGpu> make_fft_gpu(int32_t n, GpuPrecision precision);
bool fft_gpu_supported(int32_t n, GpuPrecision precision);

// Host-side planning rules, also used where no GPU exists.
// True when n >= 4 and every prime factor of n is 2, 3, 5, 7, 11 or 13.
bool fft_length_smooth(int64_t n);
// Number of Stockham passes the radix rule takes for n (radix 16 allowed or not).
int fft_passes(int64_t n, bool allow16 = false);
// Padded length of the Bluestein transform of n: the 2^i 3^j 5^k length of at
// least 2n - 1 with the fewest passes x length.
int64_t bluestein_length(int64_t n);

}  // namespace qorva::dsp::gpu

#include "fft/fftw_adapters.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "fft/packed_real.hpp"
#include "runtime/fork_guard.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace qorva::dsp::fft {

namespace {

// The two FFTW libraries (fftwf_* and fftw_*) behind one name per call, so the
// adapters are written once for both precisions.
template <typename T>
struct Fftw;

template <>
struct Fftw<float> {
    using cpx = fftwf_complex;
    static constexpr const char* tag = "f32";
    static constexpr auto import_wisdom = &fftwf_import_wisdom_from_filename;
    static constexpr auto export_wisdom = &fftwf_export_wisdom_to_filename;
    static constexpr auto alignment_of = &fftwf_alignment_of;
    static constexpr auto plan_r2c = &fftwf_plan_dft_r2c_1d;
    static constexpr auto plan_c2r = &fftwf_plan_dft_c2r_1d;
    static constexpr auto plan_dft = &fftwf_plan_dft_1d;
    static constexpr auto destroy = &fftwf_destroy_plan;
    static constexpr auto exec_r2c = &fftwf_execute_dft_r2c;
    static constexpr auto exec_c2r = &fftwf_execute_dft_c2r;
    static constexpr auto exec_dft = &fftwf_execute_dft;
};

template <>
struct Fftw<double> {
    using cpx = fftw_complex;
    static constexpr const char* tag = "f64";
    static constexpr auto import_wisdom = &fftw_import_wisdom_from_filename;
    static constexpr auto export_wisdom = &fftw_export_wisdom_to_filename;
    static constexpr auto alignment_of = &fftw_alignment_of;
    static constexpr auto plan_r2c = &fftw_plan_dft_r2c_1d;
    static constexpr auto plan_c2r = &fftw_plan_dft_c2r_1d;
    static constexpr auto plan_dft = &fftw_plan_dft_1d;
    static constexpr auto destroy = &fftw_destroy_plan;
    static constexpr auto exec_r2c = &fftw_execute_dft_r2c;
    static constexpr auto exec_c2r = &fftw_execute_dft_c2r;
    static constexpr auto exec_dft = &fftw_execute_dft;
};

template <typename T>
inline typename Fftw<T>::cpx* as_fftw(std::complex<T>* p) {
    return reinterpret_cast<typename Fftw<T>::cpx*>(p);
}

template <typename T>
inline bool simd_aligned(const T* p) {
    return Fftw<T>::alignment_of(const_cast<T*>(p)) == 0;
}

template <typename T>
inline bool simd_aligned(const std::complex<T>* p) {
    return simd_aligned(reinterpret_cast<const T*>(p));
}

// FFTW_MEASURE finds plans 1.3-1.5x faster than FFTW_ESTIMATE but costs about
// 0.1-0.6 s per plan on a small machine, and a time limit only makes it fall back
// to estimated plans.  Power-of-two lengths in this range are the frame sizes
// (and Bluestein convolution sizes) that are transformed millions of times, so
// they are measured; every other length is estimated, which plans in about 1 ms.
// What was measured is kept as FFTW wisdom in the user's cache directory, so a
// later process makes the same plans in about a millisecond.
constexpr int32_t kMeasureMin = 128;
constexpr int32_t kMeasureMax = 16384;

bool measured_length(int32_t n) { return (n & (n - 1)) == 0 && n >= kMeasureMin && n <= kMeasureMax; }

template <typename T>
FftwPlans<T> make_plans(int32_t n, bool real, bool may_pack, unsigned flags) {
    using F = Fftw<T>;
    const bool packed = real && may_pack && packs_real_length(n, sizeof(T));
    // Measuring overwrites the arrays it plans on, so it gets its own.
    const std::size_t count = real ? static_cast<std::size_t>(n) / 2 + 1 : static_cast<std::size_t>(n);
    AlignedBuffer<std::complex<T>> a(count), b(count);
    AlignedBuffer<T> r(n);
    FftwPlans<T> p{};
    if (packed) {
        p.forward = F::plan_dft(n / 2, as_fftw(a.data()), as_fftw(b.data()), FFTW_FORWARD, flags);
        p.inverse = F::plan_dft(n / 2, as_fftw(a.data()), as_fftw(b.data()), FFTW_BACKWARD, flags);
        if (p.forward != nullptr) p.twiddles = packed_real_twiddles(n);
    } else if (real) {
        p.forward = F::plan_r2c(n, r.data(), as_fftw(a.data()), flags);
        p.inverse = F::plan_c2r(n, as_fftw(a.data()), r.data(), flags);
    } else {
        p.forward = F::plan_dft(n, as_fftw(a.data()), as_fftw(b.data()), FFTW_FORWARD, flags);
        p.inverse = F::plan_dft(n, as_fftw(a.data()), as_fftw(b.data()), FFTW_BACKWARD, flags);
    }
    if (p.forward == nullptr || p.inverse == nullptr) {
        if (p.forward) F::destroy(p.forward);
        if (p.inverse) F::destroy(p.inverse);
        p = FftwPlans<T>{};
    }
    return p;
}

// True when the arrays [a, a + na) and [b, b + nb) share a byte.
inline bool overlaps(const void* a, std::size_t na, const void* b, std::size_t nb) {
    auto pa = reinterpret_cast<uintptr_t>(a), pb = reinterpret_cast<uintptr_t>(b);
    return pa < pb + nb && pb < pa + na;
}

}  // namespace

bool packs_real_length(int32_t n, std::size_t real_bytes) {
    return real_bytes == sizeof(float) && n % 2 == 0 && n >= 32;
}

template <typename T>
PlanCache<T>& PlanCache<T>::instance() {
    // Leaked on purpose: plans stay valid for adapters alive during exit.  A
    // fork waits for a plan being made, so a child never finds the lock taken
    // or FFTW's planner half-way.
    static PlanCache* cache = [] {
        auto* c = new PlanCache();
        hold_across_fork<PlanCache>(c->mutex_);
        return c;
    }();
    return *cache;
}

template <typename T>
PlanCache<T>::PlanCache() : planning_(planning_from_environment()) {
    if (planning_ == Planning::estimate) return;
    wisdom_path_ = wisdom_file(Fftw<T>::tag);
    // A missing, unreadable or foreign file imports nothing; it is rewritten
    // by the next measured plan.
    if (!wisdom_path_.empty()) Fftw<T>::import_wisdom(wisdom_path_.c_str());
}

template <typename T>
const FftwPlans<T>& PlanCache<T>::get(int32_t n, bool real, bool packed) {
    const uint64_t kind = real ? (packed ? 0u : 2u) : 1u;
    const uint64_t key = (static_cast<uint64_t>(static_cast<uint32_t>(n)) << 2) | kind;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = plans_.find(key);
    if (it != plans_.end()) return it->second;
    FftwPlans<T> plans{};
    if (planning_ != Planning::estimate && measured_length(n)) {
        const unsigned rigour = planning_ == Planning::patient ? FFTW_PATIENT : FFTW_MEASURE;
        plans = make_plans<T>(n, real, packed, rigour | FFTW_WISDOM_ONLY);
        if (plans.forward == nullptr && !wisdom_path_.empty()) {
            // Another process may have measured this size since this one
            // started: its plan gives the same results as here.
            Fftw<T>::import_wisdom(wisdom_path_.c_str());
            plans = make_plans<T>(n, real, packed, rigour | FFTW_WISDOM_ONLY);
        }
        if (plans.forward == nullptr) {
            plans = make_plans<T>(n, real, packed, rigour);
            if (plans.forward != nullptr) save_wisdom();
        }
    } else {
        plans = make_plans<T>(n, real, packed, FFTW_ESTIMATE);
    }
    if (plans.forward == nullptr) throw std::bad_alloc();
    // References into an unordered_map stay valid across later insertions.
    return plans_.emplace(key, std::move(plans)).first->second;
}

// Merges what another process may have saved meanwhile, then replaces the
// file atomically: readers see the old file or the new one, never a part.
template <typename T>
void PlanCache<T>::save_wisdom() {
    if (wisdom_path_.empty()) return;
    Fftw<T>::import_wisdom(wisdom_path_.c_str());
    const std::string temporary = wisdom_path_ + ".tmp" + std::to_string(::getpid());
    if (Fftw<T>::export_wisdom(temporary.c_str()) == 0 || std::rename(temporary.c_str(), wisdom_path_.c_str()) != 0) {
        std::remove(temporary.c_str());
    }
}

template <typename T>
std::size_t PlanCache<T>::size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return plans_.size();
}

template <typename T>
FftwReal<T>::FftwReal(int32_t n, bool packed)
    : n_(n),
      bins_(n / 2 + 1),
      plans_(&PlanCache<T>::instance().get(n, true, packed)),
      in_buf_(n),
      spec_buf_(n / 2 + 1),
      out_buf_(n) {}

template <typename T>
const T* FftwReal<T>::aligned_input(const T* in) {
    // The plans were made on 64-byte-aligned arrays; FFTW may run a caller's
    // array directly only when it has the same SIMD alignment.
    if (simd_aligned(in)) return in;
    std::memcpy(in_buf_.data(), in, sizeof(T) * static_cast<std::size_t>(n_));
    return in_buf_.data();
}

template <typename T>
void FftwReal<T>::forward_aligned(const T* in, std::complex<T>* out) {
    // Out-of-place plans leave their input untouched.
    if constexpr (std::is_same_v<T, float>) {
        if (!plans_->twiddles.empty()) {
            Fftw<T>::exec_dft(plans_->forward, reinterpret_cast<typename Fftw<T>::cpx*>(const_cast<T*>(in)),
                              as_fftw(out));
            real_spectrum_from_packed(reinterpret_cast<T*>(out), plans_->twiddles.data(), n_ / 2);
            return;
        }
    }
    Fftw<T>::exec_r2c(plans_->forward, const_cast<T*>(in), as_fftw(out));
}

template <typename T>
void FftwReal<T>::forward(const T* in, T* re, T* im) {
    forward_aligned(aligned_input(in), spec_buf_.data());
    const std::complex<T>* s = spec_buf_.data();
    for (int32_t k = 0; k < bins_; ++k) {
        re[k] = s[k].real();
        im[k] = s[k].imag();
    }
    im[0] = T(0);
    if (n_ % 2 == 0) im[bins_ - 1] = T(0);
}

template <typename T>
void FftwReal<T>::forward_complex(const T* in, std::complex<T>* out) {
    const T* src = aligned_input(in);
    const std::size_t out_bytes = sizeof(std::complex<T>) * static_cast<std::size_t>(bins_);
    if (simd_aligned(out) && !overlaps(src, sizeof(T) * n_, out, out_bytes)) {
        forward_aligned(src, out);
    } else {
        forward_aligned(src, spec_buf_.data());
        std::memcpy(out, spec_buf_.data(), out_bytes);
    }
    out[0].imag(T(0));
    if (n_ % 2 == 0) out[bins_ - 1].imag(T(0));
}

template <typename T>
void FftwReal<T>::inverse(const T* re, const T* im, T* out) {
    // c2r overwrites its input, so the spectrum is always packed into our own
    // buffer; that also drops the imaginary parts that must not matter.
    std::complex<T>* s = spec_buf_.data();
    for (int32_t k = 0; k < bins_; ++k) s[k] = std::complex<T>(re[k], im[k]);
    inverse_in_place(s, out);
}

template <typename T>
void FftwReal<T>::inverse_interleaved(std::complex<T>* spectrum, T* out) {
    if (!simd_aligned(spectrum)) {
        std::memcpy(spec_buf_.data(), spectrum, sizeof(std::complex<T>) * static_cast<std::size_t>(bins_));
        spectrum = spec_buf_.data();
    }
    inverse_in_place(spectrum, out);
}

template <typename T>
void FftwReal<T>::inverse_in_place(std::complex<T>* spectrum, T* out) {
    T* dst = simd_aligned(out) ? out : out_buf_.data();
    bool packed = false;
    if constexpr (std::is_same_v<T, float>) {
        if (!plans_->twiddles.empty()) {
            packed_from_real_spectrum(reinterpret_cast<T*>(spectrum), plans_->twiddles.data(), n_ / 2);
            Fftw<T>::exec_dft(plans_->inverse, as_fftw(spectrum), reinterpret_cast<typename Fftw<T>::cpx*>(dst));
            packed = true;
        }
    }
    if (!packed) {
        spectrum[0].imag(T(0));
        if (n_ % 2 == 0) spectrum[bins_ - 1].imag(T(0));
        Fftw<T>::exec_c2r(plans_->inverse, as_fftw(spectrum), dst);
    }
    if (dst != out) std::memcpy(out, dst, sizeof(T) * static_cast<std::size_t>(n_));
}

template <typename T>
FftwComplex<T>::FftwComplex(int32_t n)
    : n_(n), plans_(&PlanCache<T>::instance().get(n, false)), in_buf_(n), out_buf_(n) {}

template <typename T>
void FftwComplex<T>::run(typename FftwApi<T>::plan plan, const std::complex<T>* in,
                         std::complex<T>* out) {
    const std::size_t bytes = sizeof(std::complex<T>) * static_cast<std::size_t>(n_);
    const std::complex<T>* src = in;
    if (!simd_aligned(in)) {
        std::memcpy(in_buf_.data(), in, bytes);
        src = in_buf_.data();
    }
    if (simd_aligned(out) && !overlaps(src, bytes, out, bytes)) {
        Fftw<T>::exec_dft(plan, as_fftw(const_cast<std::complex<T>*>(src)), as_fftw(out));
    } else {
        Fftw<T>::exec_dft(plan, as_fftw(const_cast<std::complex<T>*>(src)), as_fftw(out_buf_.data()));
        std::memcpy(out, out_buf_.data(), bytes);
    }
}

template <typename T>
void FftwComplex<T>::forward(const std::complex<T>* in, std::complex<T>* out) {
    run(plans_->forward, in, out);
}

template <typename T>
void FftwComplex<T>::inverse(const std::complex<T>* in, std::complex<T>* out) {
    run(plans_->inverse, in, out);
}

std::string fftw_version_string() { return fftw_version; }

Planning parse_planning(const char* value) {
    if (value == nullptr || *value == '\0') return Planning::measure;
    const std::string v(value);
    if (v == "estimate") return Planning::estimate;
    if (v == "measure") return Planning::measure;
    if (v == "patient") return Planning::patient;
    throw std::invalid_argument("QORVA_FFT_PLANNING must be 'estimate', 'measure' or 'patient'; got '" + v + "'");
}

Planning planning_from_environment() { return parse_planning(std::getenv("QORVA_FFT_PLANNING")); }

std::string wisdom_file(const char* precision) {
    std::string dir;
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg != nullptr && *xdg == '/') {
        dir = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
        dir = std::string(home) + "/.cache";
    } else {
        return {};
    }
    ::mkdir(dir.c_str(), 0700);
    dir += "/qorva";
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
    // The FFTW build is part of the name: wisdom of another build would be
    // refused on import anyway, and each build keeps its own.
    std::string version = fftw_version;
    for (char& c : version) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') c = '_';
    }
    return dir + "/fftw-wisdom-" + precision + "-" + version + ".txt";
}

template class PlanCache<float>;
template class PlanCache<double>;
template class FftwReal<float>;
template class FftwReal<double>;
template class FftwComplex<float>;
template class FftwComplex<double>;

}  // namespace qorva::dsp::fft

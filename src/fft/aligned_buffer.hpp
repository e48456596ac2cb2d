// Fixed-size, zero-initialised, 64-byte-aligned array owned by one transform.
// The alignment lets FFTW run its SIMD codelets on these buffers in place of
// the caller's arrays.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace qorva::dsp::fft {

template <typename T>
class AlignedBuffer {
public:
    static constexpr std::size_t kAlignment = 64;

    AlignedBuffer() = default;
    explicit AlignedBuffer(std::size_t count) : size_(count) {
        if (count == 0) return;
        if (count > (~std::size_t{0} - kAlignment) / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = (count * sizeof(T) + kAlignment - 1) / kAlignment * kAlignment;
        data_ = static_cast<T*>(std::aligned_alloc(kAlignment, bytes));
        if (data_ == nullptr) throw std::bad_alloc();
        std::memset(static_cast<void*>(data_), 0, bytes);
    }
    ~AlignedBuffer() { std::free(data_); }
    AlignedBuffer(AlignedBuffer&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
    AlignedBuffer& operator=(AlignedBuffer&& o) noexcept {
        if (this != &o) {
            std::free(data_);
            data_ = std::exchange(o.data_, nullptr);
            size_ = std::exchange(o.size_, 0);
        }
        return *this;
    }
    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace qorva::dsp::fft

// A growable array in a pointer and two 32-bit counts, where a vector takes
// three pointers, so that the arrays a running expression reads share a line.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <utility>

template <class T> class CompactArray {
  public:
    CompactArray() = default;
    CompactArray(const CompactArray& other) : data_(room(other.size_)), size_(other.size_), capacity_(size_) {
        std::copy(other.begin(), other.end(), data_.get());
    }
    CompactArray(CompactArray&& other) noexcept
        : data_(std::move(other.data_)), size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    CompactArray& operator=(CompactArray other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        return *this;
    }

    const T* data() const { return data_.get(); }
    size_t size() const { return size_; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }
    T* begin() { return data_.get(); }
    T* end() { return data_.get() + size_; }
    const T* begin() const { return data_.get(); }
    const T* end() const { return data_.get() + size_; }
    const T& back() const { return data_[size_ - 1]; }

    void push_back(T value) {
        if (size_ == capacity_) {
            const size_t capacity = capacity_ ? 2 * size_t{capacity_} : 1;
            if (capacity > UINT32_MAX) throw std::length_error("Expression too large");
            std::unique_ptr<T[]> grown = room(capacity);
            std::move(begin(), end(), grown.get());
            data_ = std::move(grown);
            capacity_ = static_cast<uint32_t>(capacity);
        }
        data_[size_++] = std::move(value);
    }
    template <class It> void append(It first, It last) {
        for (; first != last; ++first) push_back(*first);
    }
    void clear() {
        data_.reset();
        size_ = capacity_ = 0;
    }

  private:
    static std::unique_ptr<T[]> room(size_t count) { return count ? std::make_unique<T[]>(count) : nullptr; }

    std::unique_ptr<T[]> data_;
    uint32_t size_ = 0;
    uint32_t capacity_ = 0;
};

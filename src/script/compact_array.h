// A growable array in one pointer and two 32-bit counts, where a vector takes
// three pointers: a compiled expression holds six of them, and a running
// expression reads where each starts, so they fit one cache line together.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

template <class T> class CompactArray {
  public:
    CompactArray() = default;
    CompactArray(const CompactArray& other) { append(other.begin(), other.end()); }
    CompactArray(CompactArray&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    CompactArray& operator=(CompactArray other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        return *this;
    }
    ~CompactArray() {
        clear();
        if (data_) std::allocator<T>().deallocate(data_, capacity_);
    }

    T* data() { return data_; }
    const T* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    T& back() { return data_[size_ - 1]; }
    const T& back() const { return data_[size_ - 1]; }

    template <class... Args> T& emplace_back(Args&&... args) {
        if (size_ == capacity_) {
            // Made first: the arguments may be elements that growing moves.
            T value(std::forward<Args>(args)...);
            reallocate(capacity_ ? 2 * size_t{capacity_} : 1);
            return *std::construct_at(data_ + size_++, std::move(value));
        }
        return *std::construct_at(data_ + size_++, std::forward<Args>(args)...);
    }
    void push_back(const T& value) { emplace_back(value); }
    void push_back(T&& value) { emplace_back(std::move(value)); }
    template <class It> void append(It first, It last) {
        for (; first != last; ++first) emplace_back(*first);
    }
    void clear() {
        std::destroy_n(data_, size_);
        size_ = 0;
    }

  private:
    void reallocate(size_t capacity) {
        if (capacity > UINT32_MAX) throw std::length_error("Expression too large");
        T* data = std::allocator<T>().allocate(capacity);
        std::uninitialized_move_n(data_, size_, data);
        std::destroy_n(data_, size_);
        if (data_) std::allocator<T>().deallocate(data_, capacity_);
        data_ = data;
        capacity_ = static_cast<uint32_t>(capacity);
    }

    T* data_ = nullptr;
    uint32_t size_ = 0;
    uint32_t capacity_ = 0;
};

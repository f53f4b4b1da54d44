// A growable array of trivially copyable values. The node log's columns reach hundreds of
// megabytes, so a large array lives in pages of its own (an anonymous mapping, Linux): it
// grows by remapping them, never by a copy. Left to malloc, a block below glibc's mmap
// threshold (which rises to 32 MiB once mapped blocks are freed) sits on the heap, where
// realloc copies it into fresh memory at every doubling: 10-50 ms for one batch of a
// million nodes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include "pages.hpp"

namespace orrin {

template <class T>
class PodVector {
    static_assert(std::is_trivially_copyable_v<T>, "PodVector holds plain values only");

public:
    PodVector() = default;
    PodVector(const PodVector& other) { assign(other.begin(), other.end()); }
    PodVector(PodVector&& other) noexcept { swap(other); }
    PodVector& operator=(PodVector other) noexcept {
        swap(other);
        return *this;
    }
    ~PodVector() { release(); }

    template <class It>
    void assign(It first, It last) {
        size_ = 0;
        for (; first != last; ++first) push_back(*first);
    }
    void swap(PodVector& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        std::swap(mapped_, other.mapped_);
    }

    T* data() { return data_; }
    const T* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    size_t capacity() const { return capacity_; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    T& back() { return data_[size_ - 1]; }
    const T& back() const { return data_[size_ - 1]; }
    const T& front() const { return data_[0]; }

    void reserve(size_t n) {
        if (n <= capacity_) return;
        if (mapped_ || n * sizeof(T) >= pages::kMapFrom) {
            map(n * sizeof(T));
            return;
        }
        void* grown = std::realloc(data_, n * sizeof(T));
        if (!grown) throw std::bad_alloc();
        data_ = static_cast<T*>(grown);
        capacity_ = n;
    }
    // Room for `more` values beyond the size, growing geometrically.
    void reserve_more(size_t more) {
        if (size_ + more > capacity_) reserve(std::max(size_ + more, 2 * capacity_));
    }
    void resize(size_t n) {
        reserve_more(n > size_ ? n - size_ : 0);
        size_ = n;
    }
    void push_back(T value) {
        if (size_ == capacity_) reserve(capacity_ ? 2 * capacity_ : 16);
        data_[size_++] = value;
    }
    template <class It>
    void insert_end(It first, It last) {
        for (; first != last; ++first) push_back(*first);
    }
    void shrink_to_fit() {
        if (size_ == capacity_) return;
        if (size_ == 0) {
            release();
            return;
        }
        if (mapped_) {
            map(size_ * sizeof(T));
            return;
        }
        void* kept = std::realloc(data_, size_ * sizeof(T));
        if (kept) {
            data_ = static_cast<T*>(kept);
            capacity_ = size_;
        }
    }
    void clear() { size_ = 0; }

private:
    // The values in a mapping of at least `bytes` (made, grown or cut back; moved from a
    // malloc block the first time).
    void map(size_t bytes) {
        void* moved = mapped_ ? pages::remap(data_, mapped_, bytes) : pages::map(bytes);
        if (!moved) throw std::bad_alloc();
        if (!mapped_ && data_) {
            std::memcpy(moved, data_, size_ * sizeof(T));
            std::free(data_);
        }
        data_ = static_cast<T*>(moved);
        mapped_ = pages::rounded(bytes);
        capacity_ = mapped_ / sizeof(T);
    }
    void release() {
        if (mapped_)
            pages::unmap(data_, mapped_);
        else
            std::free(data_);
        data_ = nullptr;
        capacity_ = mapped_ = 0;
    }

    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    size_t mapped_ = 0;  // bytes of the mapping that holds the values, 0 for a malloc block
};

}  // namespace orrin

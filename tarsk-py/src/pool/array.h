#pragma once
// The contiguous array behind VecList and the result of par_map_collect: a
// growable array of trivially copyable values that either owns its memory or
// borrows someone else's.
//
// An owned array allocates through `allocate` below and frees with
// `deallocate`. A borrowed array (made by `borrow`) reads and writes memory it
// does not own: it never frees it, and its capacity is 0, so the first
// operation that grows it copies the elements into memory of its own first.
// `release` hands an owned array's memory over to whoever frees it later
// with `deallocate`, leaving the array empty.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tarsk::py::pool {

template <class T>
class Array {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "Array holds plain values only");

public:
    using value_type = T;
    using size_type = std::size_t;
    using iterator = T*;
    using const_iterator = const T*;

    // Memory handed over by `release`: `size` elements written, room for
    // `capacity`; free it with deallocate(data, capacity).
    struct Block {
        T* data;
        std::size_t size;
        std::size_t capacity;
    };

    // Very large arrays are aligned to 2 MiB and offered to the kernel for
    // transparent huge pages. The C library maps such blocks afresh for every
    // allocation (they are above its largest mmap threshold, 32 MiB), so the
    // workers fault a new array in as they write it, and with 4 KiB pages
    // those faults, not the arithmetic, would dominate the pass. Smaller
    // arrays keep the ordinary path, where freed memory is reused without
    // any fault at all.
    static constexpr std::size_t kHugeThreshold = std::size_t{32} << 20;
    static constexpr std::size_t kHugeAlign = std::size_t{2} << 20;

    // Uninitialised room for n elements; throws std::bad_alloc (or
    // std::bad_array_new_length) when it cannot be had.
    static T* allocate(std::size_t n) {
        if (n == 0) return nullptr;
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kHugeThreshold) return static_cast<T*>(::operator new(bytes));
        void* p = ::operator new(bytes, std::align_val_t{kHugeAlign});
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        ::madvise(p, bytes, MADV_HUGEPAGE);  // advice only; failure changes nothing
#endif
        return static_cast<T*>(p);
    }

    static void deallocate(T* p, std::size_t n) noexcept {
        if (!p || n == 0) return;  // n == 0: borrowed memory, or none
        // The unsized forms: sized deallocation is not declared by every
        // compiler's default settings.
        if (n * sizeof(T) < kHugeThreshold) {
            ::operator delete(p);
        } else {
            ::operator delete(p, std::align_val_t{kHugeAlign});
        }
    }

    Array() noexcept = default;
    ~Array() { deallocate(data_, capacity_); }

    Array(const Array& o) : Array() { assign(o.data_, o.size_); }
    Array(Array&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)),
          size_(std::exchange(o.size_, 0)),
          capacity_(std::exchange(o.capacity_, 0)) {}

    Array& operator=(const Array& o) {
        if (this != &o) {
            Array copy(o);
            swap(copy);
        }
        return *this;
    }
    Array& operator=(Array&& o) noexcept {
        Array moved(std::move(o));
        swap(moved);
        return *this;
    }

    void swap(Array& o) noexcept {
        std::swap(data_, o.data_);
        std::swap(size_, o.size_);
        std::swap(capacity_, o.capacity_);
    }

    // An array over n elements at p that it does not own. The memory must
    // outlive the array (or its first growth, which copies the elements out).
    static Array borrow(T* p, std::size_t n) noexcept {
        Array a;
        a.data_ = p;
        a.size_ = n;
        return a;
    }

    bool borrowed() const noexcept { return data_ != nullptr && capacity_ == 0; }

    // Hands the memory of an owned array to the caller and leaves this one
    // empty. A borrowed array is first copied into memory of its own.
    Block release() {
        if (borrowed()) reallocate(size_);
        Block b{data_, size_, capacity_};
        data_ = nullptr;
        size_ = 0;
        capacity_ = 0;
        return b;
    }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }

    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }

    iterator begin() noexcept { return data_; }
    iterator end() noexcept { return data_ + size_; }
    const_iterator begin() const noexcept { return data_; }
    const_iterator end() const noexcept { return data_ + size_; }

    void reserve(std::size_t n) {
        if (n > capacity_) reallocate(n);
    }

    // New elements are left unwritten (they are plain values).
    void resize(std::size_t n) {
        if (n > capacity_) reallocate(n);
        size_ = n;
    }

    void clear() noexcept { size_ = 0; }

    // Grows into memory of its own when full, and always when borrowed
    // (capacity 0 with elements): borrowed memory is never written past.
    void push_back(const T& v) {
        if (size_ >= capacity_) {
            const T copy = v;  // v may live in this array
            reallocate(grown(size_ + 1));
            data_[size_++] = copy;
            return;
        }
        data_[size_++] = v;
    }

    // Appends the elements [first, last) at the end; the range may lie in
    // this array.
    void insert(const_iterator pos, const T* first, const T* last) {
        if (pos != end()) throw std::logic_error("Array inserts only at the end");
        const std::size_t count = static_cast<std::size_t>(last - first);
        if (count == 0) return;
        if (size_ + count > capacity_) {
            Array grown_array;
            grown_array.reallocate_from(data_, size_, grown(size_ + count));
            std::memcpy(static_cast<void*>(grown_array.data_ + size_), first, count * sizeof(T));
            grown_array.size_ = size_ + count;
            swap(grown_array);
            return;
        }
        std::memmove(static_cast<void*>(data_ + size_), first, count * sizeof(T));
        size_ += count;
    }

private:
    std::size_t grown(std::size_t needed) const {
        return std::max(needed, capacity_ > static_cast<std::size_t>(-1) / 2 ? needed : capacity_ * 2);
    }

    void assign(const T* p, std::size_t n) {
        reallocate_from(p, n, n);
        size_ = n;
    }

    // Moves the elements into new owned memory of `n` elements (n >= size).
    void reallocate(std::size_t n) {
        Array fresh;
        fresh.reallocate_from(data_, size_, n);
        fresh.size_ = size_;
        swap(fresh);
    }

    // Allocates room for `n` and copies `count` elements from `p` into it;
    // this array must be empty and own nothing.
    void reallocate_from(const T* p, std::size_t count, std::size_t n) {
        T* fresh = allocate(n);
        if (count) std::memcpy(static_cast<void*>(fresh), p, count * sizeof(T));
        data_ = fresh;
        capacity_ = n;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;  // 0 for an array that owns nothing
};

}  // namespace tarsk::py::pool

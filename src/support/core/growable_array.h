#pragma once

#include "support/core/memory_guard.h"
#include "support/core/parallel_ranges.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

namespace morvex {

// What newly allocated elements start as.
enum class ArrayFill {
    Zero,   // vectors, texture coordinates, records
    Colour, // colours: 0xFF000000
    None,   // index arrays: left as they come
};

// A growable array of trivially copyable elements with a 32-bit count.
//
// allocate(n) and resize(n) grow the capacity to max(2 * capacity, n) when
// needed; allocate discards the old contents, resize keeps the first
// min(count, n) elements. Every large request passes the allocation guard.
// A failed growth leaves the array without storage (count and capacity 0):
// callers check the returned flag and report out of memory. Shrinking never
// releases storage; shrinkToFit does.
template <typename T, ArrayFill Fill = ArrayFill::Zero>
class GrowableArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    GrowableArray() = default;
    ~GrowableArray() { guardedFree(storage_); }

    GrowableArray(const GrowableArray&) = delete;
    GrowableArray& operator=(const GrowableArray&) = delete;
    GrowableArray(GrowableArray&& other) noexcept { swap(other); }
    GrowableArray& operator=(GrowableArray&& other) noexcept
    {
        if (this != &other) {
            release();
            swap(other);
        }
        return *this;
    }

    [[nodiscard]] bool allocate(std::uint32_t n) { return grow(n, false); }
    [[nodiscard]] bool resize(std::uint32_t n) { return grow(n, true); }
    // Like allocate, but the elements are left as they come: for a caller
    // that writes every one itself, possibly on several threads, so that
    // each page is first touched by the thread that fills it rather than
    // zeroed here on one.
    [[nodiscard]] bool allocateUnfilled(std::uint32_t n) { return grow(n, false, false); }
    // Like resize, but the new elements are left as they come, for a caller
    // that writes them all at once.
    [[nodiscard]] bool resizeUnfilled(std::uint32_t n) { return grow(n, true, false); }

    // Appends one element, growing by doubling; false when memory ran out
    // (the array is then empty, as after any failed growth).
    [[nodiscard]] bool append(const T& value)
    {
        if (count_ == UINT32_MAX || !resize(count_ + 1))
            return false;
        storage_[count_ - 1] = value;
        return true;
    }

    // Appends `count` elements copied from `values`, which must not lie in
    // this array. False when the count would pass 32 bits (the array is left
    // as it was) or memory ran out (the array is then empty, as after any
    // failed growth).
    [[nodiscard]] bool append(const T* values, std::uint32_t count)
    {
        const std::uint32_t before = count_;
        if (count > UINT32_MAX - before || !grow(before + count, true, false))
            return false;
        if (count != 0)
            std::memcpy(static_cast<void*>(storage_ + before), values, sizeof(T) * count);
        return true;
    }

    // Sets the count to 0 and keeps the storage.
    void clear() { count_ = 0; }

    // Gives the storage back; the array is as newly constructed.
    void release()
    {
        guardedFree(storage_);
        storage_ = nullptr;
        count_ = 0;
        capacity_ = 0;
    }

    // Gives back the storage beyond the count. A reader that grew an array
    // ahead of what it read calls this when the array is complete, so that
    // many small arrays hold no more than they use.
    void shrinkToFit()
    {
        if (storage_ == nullptr || capacity_ == count_)
            return;
        if (count_ == 0) {
            release();
            return;
        }
        T* fitted = static_cast<T*>(guardedReallocate(storage_, std::uint64_t(count_) * sizeof(T), sizeof(T)));
        if (fitted == nullptr)
            return; // the larger block stays valid
        storage_ = fitted;
        capacity_ = count_;
    }

    // Exact copy of another array's elements; false when memory ran out.
    [[nodiscard]] bool assign(const GrowableArray& other)
    {
        if (!allocate(other.count_))
            return false;
        if (other.count_ != 0)
            std::memcpy(storage_, other.storage_, sizeof(T) * other.count_);
        return true;
    }

    void swap(GrowableArray& other) noexcept
    {
        std::swap(storage_, other.storage_);
        std::swap(count_, other.count_);
        std::swap(capacity_, other.capacity_);
    }

    std::uint32_t count() const { return count_; }
    std::uint32_t capacity() const { return capacity_; }
    bool empty() const { return count_ == 0; }
    bool hasStorage() const { return storage_ != nullptr; }

    T* data() { return storage_; }
    const T* data() const { return storage_; }
    T& operator[](std::uint32_t i) { return storage_[i]; }
    const T& operator[](std::uint32_t i) const { return storage_[i]; }
    T* begin() { return storage_; }
    T* end() { return storage_ + count_; }
    const T* begin() const { return storage_; }
    const T* end() const { return storage_ + count_; }

private:
    bool grow(std::uint32_t n, bool keep, bool fill = true)
    {
        if (n <= capacity_ && storage_ != nullptr) {
            if (n > count_ && fill)
                fillNew(count_, n);
            count_ = n;
            return true;
        }
        std::uint64_t newCapacity = std::max<std::uint64_t>(2ull * capacity_, n);
        newCapacity = std::min<std::uint64_t>(newCapacity, UINT32_MAX);
        const std::uint64_t bytes = newCapacity * sizeof(T);
        std::uint32_t kept = keep ? std::min(count_, n) : 0;
        T* fresh = nullptr;
        if (keep && storage_ != nullptr) {
            fresh = static_cast<T*>(guardedReallocate(storage_, bytes, sizeof(T)));
            if (fresh == nullptr)
                guardedFree(storage_);
        } else {
            guardedFree(storage_);
            fresh = static_cast<T*>(guardedAllocate(bytes, sizeof(T)));
        }
        storage_ = fresh;
        if (fresh == nullptr) {
            count_ = 0;
            capacity_ = 0;
            return false;
        }
        capacity_ = static_cast<std::uint32_t>(newCapacity);
        if (fill)
            fillNew(kept, n);
        count_ = n;
        return true;
    }

    void fillNew(std::uint32_t from, std::uint32_t to)
    {
        if constexpr (Fill == ArrayFill::Zero) {
            std::memset(static_cast<void*>(storage_ + from), 0, sizeof(T) * (to - from));
        } else if constexpr (Fill == ArrayFill::Colour) {
            std::fill(storage_ + from, storage_ + to, T(0xFF000000u));
        }
    }

    T* storage_ = nullptr;
    std::uint32_t count_ = 0;
    std::uint32_t capacity_ = 0;
};

// Appends the elements of `from` to `to` and gives back the storage of
// `from`; an empty `to` takes that storage over instead. Readers that fill
// arrays in pieces join them this way, so that no piece's array is held
// twice. The pages a large copy lands on are fresh, and touching them costs
// more than the copy: the file's threads share it. False when memory ran
// out or the count would pass 32 bits.
template <typename T, ArrayFill Fill>
[[nodiscard]] bool appendReleasing(GrowableArray<T, Fill>& to, GrowableArray<T, Fill>& from)
{
    if (to.empty()) {
        to = std::move(from);
        return true;
    }
    const std::uint32_t before = to.count();
    if (std::uint64_t{before} + from.count() > UINT32_MAX || !to.resizeUnfilled(before + from.count()))
        return false;
    constexpr std::uint64_t MinimumBytesPerThread = 8u << 20;
    const T* source = from.data();
    T* target = to.data() + before;
    forEachRange(from.count(), threadsFor(std::uint64_t{from.count()} * sizeof(T), MinimumBytesPerThread),
                 [&](unsigned, std::uint64_t begin, std::uint64_t end) {
                     std::copy_n(source + begin, end - begin, target + begin);
                 });
    from.release();
    return true;
}

} // namespace morvex

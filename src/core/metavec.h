// A growable array of trivially copyable records in the caller's meta
// context.  Growing never throws: push answers false when memory runs out
// and leaves the array as it was.
#pragma once

#include <cstring>
#include <type_traits>

#include "core/alloc.h"

template <class T>
class MetaVec {
    static_assert(std::is_trivially_copyable_v<T>, "records are moved with memcpy");

  public:
    explicit MetaVec(prop_metactx *meta) : meta_(meta) {}
    ~MetaVec() { reset(); }
    MetaVec(const MetaVec &) = delete;
    MetaVec &operator=(const MetaVec &) = delete;

    bool push(const T &v)
    {
        if (size_ == cap_ && !reserve(cap_ == 0 ? 64 : cap_ * 2)) return false;
        data_[size_++] = v;
        return true;
    }
    // Appends n records copied from src.
    bool append(const T *src, size_t n)
    {
        if (size_ + n > cap_) {
            size_t want = cap_ == 0 ? 64 : cap_;
            while (want < size_ + n) want *= 2;
            if (!reserve(want)) return false;
        }
        if (n != 0) std::memcpy(data_ + size_, src, n * sizeof(T));
        size_ += n;
        return true;
    }
    bool reserve(size_t cap)
    {
        if (cap <= cap_) return true;
        T *bigger = u_alloc_array<T>(meta_, cap);
        if (bigger == nullptr) return false;
        if (size_ != 0) std::memcpy(bigger, data_, size_ * sizeof(T));
        if (data_ != nullptr) u_freem(meta_, data_);
        data_ = bigger;
        cap_ = cap;
        return true;
    }
    void clear() { size_ = 0; }
    void reset()
    {
        if (data_ != nullptr) u_freem(meta_, data_);
        data_ = nullptr;
        size_ = cap_ = 0;
    }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T *data() const { return data_; }
    T &operator[](size_t i) const { return data_[i]; }
    T &back() const { return data_[size_ - 1]; }
    void pop() { size_--; }

  private:
    prop_metactx *meta_;
    T *data_ = nullptr;
    size_t size_ = 0;
    size_t cap_ = 0;
};

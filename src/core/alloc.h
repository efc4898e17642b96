// Tagged memory: every block the library holds is taken from the caller's
// meta context through u_allocm and given back through u_freem.  A block is
// laid out as: u64 begin tag, u64 requested size, the area (size rounded up
// to 8), u64 end tag; the caller receives the area.
#pragma once

#include <cstdint>
#include <new>
#include <utility>

#include "core/types.h"

constexpr u64 PROU_BEGIN_MEMTAG = 0x5072426d;
constexpr u64 PROU_END_MEMTAG = 0x456d5072;

void *u_allocm(prop_metactx *meta, size_t size);
void u_freem(prop_metactx *meta, void *area);

// Allocation callbacks handed to hash tables: meta is the prop_metactx.
void *prou_htalloc(void *meta, size_t size);
int prou_htfree(void *meta, void *block);  // always 1

// Typed helpers: zero-filled arrays of trivially constructible records.
template <class T>
T *u_alloc_array(prop_metactx *meta, size_t count)
{
    if (count > SIZE_MAX / sizeof(T)) return nullptr;
    return static_cast<T *>(u_allocm(meta, sizeof(T) * count));
}

// Owns one tagged block; frees it on scope exit unless released.
template <class T>
class MetaPtr {
  public:
    MetaPtr() = default;
    MetaPtr(prop_metactx *meta, T *p) : meta_(meta), p_(p) {}
    static MetaPtr alloc(prop_metactx *meta, size_t count = 1)
    {
        return MetaPtr(meta, u_alloc_array<T>(meta, count));
    }
    ~MetaPtr() { reset(); }
    MetaPtr(MetaPtr &&o) noexcept : meta_(o.meta_), p_(std::exchange(o.p_, nullptr)) {}
    MetaPtr &operator=(MetaPtr &&o) noexcept
    {
        if (this != &o) {
            reset();
            meta_ = o.meta_;
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    MetaPtr(const MetaPtr &) = delete;
    MetaPtr &operator=(const MetaPtr &) = delete;

    T *get() const { return p_; }
    T *operator->() const { return p_; }
    T &operator*() const { return *p_; }
    T &operator[](size_t i) const { return p_[i]; }
    explicit operator bool() const { return p_ != nullptr; }
    T *release() { return std::exchange(p_, nullptr); }
    void reset()
    {
        if (p_ != nullptr) u_freem(meta_, p_);
        p_ = nullptr;
    }

  private:
    prop_metactx *meta_ = nullptr;
    T *p_ = nullptr;
};

// n records for one call, almost always few: in the object itself up to
// N, from the meta context beyond.  get() is nullptr when that ran out;
// the caller then does without the list.
template <class T, size_t N>
class ShortList {
  public:
    ShortList(prop_metactx *meta, size_t n)
        : heap_(n > N ? MetaPtr<T>::alloc(meta, n) : MetaPtr<T>()), p_(n > N ? heap_.get() : own_)
    {
    }
    ShortList(const ShortList &) = delete;
    ShortList &operator=(const ShortList &) = delete;

    T *get() const { return p_; }
    T &operator[](size_t i) const { return p_[i]; }

  private:
    T own_[N];
    MetaPtr<T> heap_;
    T *p_;
};

// A 4096-aligned area of at least size bytes from the meta context, for
// unbuffered transfers; given back on scope exit.  get() is nullptr when
// memory ran out.
class MetaAligned {
  public:
    static constexpr size_t kAlign = 4096;
    MetaAligned(prop_metactx *meta, size_t size)
        : raw_(meta, size <= SIZE_MAX - kAlign ? static_cast<u8 *>(u_allocm(meta, size + kAlign)) : nullptr)
    {
    }
    u8 *get() const
    {
        if (!raw_) return nullptr;
        auto at = reinterpret_cast<uintptr_t>(raw_.get());
        return reinterpret_cast<u8 *>((at + kAlign - 1) & ~uintptr_t{kAlign - 1});
    }

  private:
    MetaPtr<u8> raw_;
};

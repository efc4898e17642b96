// The path of a depth-first walk down a key's subtree, kept in an explicit
// stack of frames taken from the meta context rather than in C++
// recursion, so that no depth of store can exhaust the thread's stack.
// Frames are kept for reuse until the walk ends.  Frame needs a member
// `page` (the key's tnode) so that a child entry leading back onto the
// path (a corrupt store) can be recognised instead of looping.
#pragma once

#include <cstring>
#include <new>

#include "core/alloc.h"
#include "core/types.h"

namespace propreg {

template <class Frame>
class path_stack {
  public:
    explicit path_stack(prop_metactx *meta) : meta_(meta) {}
    ~path_stack()
    {
        for (u32 i = 0; i < made_; i++) {
            frames_[i]->~Frame();
            u_freem(meta_, frames_[i]);
        }
        if (frames_ != nullptr) u_freem(meta_, frames_);
    }
    path_stack(const path_stack &) = delete;
    path_stack &operator=(const path_stack &) = delete;

    // The next frame, or null when memory runs out.
    Frame *push()
    {
        if (depth_ == made_ && !grow()) return nullptr;
        return frames_[depth_++];
    }
    void pop() { depth_--; }
    Frame *top() const { return frames_[depth_ - 1]; }
    u32 depth() const { return depth_; }
    bool on_path(u32 page) const
    {
        for (u32 i = 0; i < depth_; i++)
            if (frames_[i]->page == page) return true;
        return false;
    }

  private:
    bool grow()
    {
        if (made_ == cap_) {
            u32 cap = cap_ == 0 ? 8 : cap_ * 2;
            auto **bigger = u_alloc_array<Frame *>(meta_, cap);
            if (bigger == nullptr) return false;
            if (frames_ != nullptr) {
                std::memcpy(bigger, frames_, sizeof(Frame *) * made_);
                u_freem(meta_, frames_);
            }
            frames_ = bigger;
            cap_ = cap;
        }
        void *mem = u_allocm(meta_, sizeof(Frame));
        if (mem == nullptr) return false;
        frames_[made_++] = new (mem) Frame{};
        return true;
    }

    prop_metactx *meta_;
    Frame **frames_ = nullptr;
    u32 depth_ = 0;
    u32 made_ = 0;
    u32 cap_ = 0;
};

}  // namespace propreg

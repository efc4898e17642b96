#include "backup/move.h"

#include <atomic>

#include "platform/thread.h"

namespace propreg {

namespace {

u32 step_of(u32 count, u32 first)
{
    return count - first < BKP_STEP_PAGES ? count - first : BKP_STEP_PAGES;
}

u32 move_in_turn(u8 *buf, u32 count, const bkp_step_fn &read, const bkp_step_fn &write)
{
    for (u32 first = 0; first < count;) {
        const u32 n = step_of(count, first);
        if (u32 rc = read(buf, first, n); rc != 0) return rc;
        if (u32 rc = write(buf, first, n); rc != 0) return rc;
        first += n;
    }
    return 0;
}

// Two slots handed between the reader and the writer: `empty` counts the
// slots the reader may fill, `full` those the writer may store.  A slot
// of no pages tells the writer to stop.
struct Pipe {
    const bkp_step_fn *write = nullptr;
    u8 *buf[2] = {};
    u32 first[2] = {};
    u32 n[2] = {};
    plat_sem empty{};
    plat_sem full{};
    // The first failed write's code; the writer skips the rest.  The reader
    // looks at it while the writer may be storing it (both slots start
    // empty), so it is atomic.
    std::atomic<u32> rc{0};

    void wait(plat_sem *s)
    {
        while (plat_sem_wait(s) != 0) {
        }
    }
};

void *writer(void *arg)
{
    auto *p = static_cast<Pipe *>(arg);
    for (u32 step = 0;; step++) {
        p->wait(&p->full);
        const u32 s = step % 2;
        if (p->n[s] == 0) return nullptr;
        if (p->rc.load() == 0) p->rc.store((*p->write)(p->buf[s], p->first[s], p->n[s]));
        plat_sem_post(&p->empty);
    }
}

u32 move_overlapped(Pipe &p, u32 count, const bkp_step_fn &read)
{
    u32 rc = 0;
    u32 step = 0;
    for (u32 first = 0; first < count && rc == 0; step++) {
        p.wait(&p.empty);
        if ((rc = p.rc.load()) != 0) break;
        const u32 s = step % 2;
        p.first[s] = first;
        p.n[s] = step_of(count, first);
        if ((rc = read(p.buf[s], first, p.n[s])) != 0) break;
        first += p.n[s];
        plat_sem_post(&p.full);
    }
    if (rc == 0) p.wait(&p.empty);
    p.n[step % 2] = 0;
    plat_sem_post(&p.full);
    return rc;
}

}  // namespace

u32 bkp_move_pages(prop_metactx *meta, u32 count, const bkp_step_fn &read, const bkp_step_fn &write)
{
    const size_t bytes = size_t{BKP_STEP_PAGES} * PROP_PAGE_SIZE;
    MetaAligned one(meta, bytes);
    if (one.get() == nullptr) return PROP_E_NOMEM;
    if (count <= BKP_STEP_PAGES) return move_in_turn(one.get(), count, read, write);
    MetaAligned two(meta, bytes);
    Pipe p;
    p.write = &write;
    p.buf[0] = one.get();
    p.buf[1] = two.get();
    if (p.buf[1] == nullptr || plat_sem_init(&p.empty, 2) != 0) return move_in_turn(one.get(), count, read, write);
    if (plat_sem_init(&p.full, 0) != 0) {
        plat_sem_destroy(&p.empty);
        return move_in_turn(one.get(), count, read, write);
    }
    plat_thread th{};
    u32 rc;
    if (plat_thread_spawn(&th, writer, &p) != 0) {
        rc = move_in_turn(one.get(), count, read, write);
    } else {
        rc = move_overlapped(p, count, read);
        plat_thread_join(&th);
        if (rc == 0) rc = p.rc.load();
    }
    plat_sem_destroy(&p.full);
    plat_sem_destroy(&p.empty);
    return rc;
}

}  // namespace propreg

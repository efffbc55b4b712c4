// The row store: rows of one result in blocks mapped from the system (the first ones, small,
// from malloc) and released as they are read. Layout of a row: per column a 4-byte length (-1: NULL), then, unless NULL, the value's
// bytes and a zero byte. Rows never straddle blocks.
#include "rowstore.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace zt {

namespace {

// A block holds many rows; a row larger than this gets a block of its own size. The blocks
// are mapped directly rather than taken from malloc: freed heap memory in the middle of the
// heap would stay with the process, and the point of releasing a block is that the pages go
// back while the caller builds its own objects.
constexpr size_t kBlockSize = size_t(1) << 20;
constexpr size_t kPage = 4096;
// The first two blocks of a result come from malloc and are small: most results are a few rows,
// and mapping (and unmapping) a block of its own for each would cost two system calls and a page
// fault per statement. The first fits malloc's per-thread cache (up to about 1 KiB), which takes
// and gives back a chunk in a few instructions; larger chunks go through its bins.
constexpr size_t kFirstBlockSize = 1000;
constexpr size_t kSecondBlockSize = 8192;

}  // namespace

RowStore::~RowStore()
{
    for (Block &b : blocks_)
        release(b);
}

void RowStore::release(Block &b)
{
    if (b.data && b.mapped)
        munmap(b.data, b.size);
    else
        std::free(b.data);
    b.data = nullptr;
}

char *RowStore::room_for(size_t n)
{
    if (blocks_.empty() || blocks_.back().size - blocks_.back().used < n) {
        Block b;
        size_t small = 0;  // the size of a block from malloc, when the next one may be
        if (blocks_.empty())
            small = n <= kFirstBlockSize ? kFirstBlockSize : kSecondBlockSize;
        else if (blocks_.size() == 1 && blocks_[0].size == kFirstBlockSize)
            small = kSecondBlockSize;
        if (n <= small) {
            b.data = static_cast<char *>(std::malloc(small));
            if (!b.data)
                throw std::bad_alloc();
            b.size = small;
        } else {
            size_t size = n <= kBlockSize ? kBlockSize : (n + kPage - 1) / kPage * kPage;
            void *p =
                mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED)
                throw std::bad_alloc();
            b.data = static_cast<char *>(p);
            b.size = size;
            b.mapped = true;
        }
        try {
            blocks_.push_back(b);
        } catch (...) {
            release(b);
            throw;
        }
    }
    Block &b = blocks_.back();
    char *out = b.data + b.used;
    b.used += n;
    return out;
}

void RowStore::append(const PGresult *r)
{
    const int ncols = PQnfields(r);
    if (columns_ < 0)
        columns_ = ncols;
    // Each libpq accessor checks its arguments, so every value's length and address are
    // asked for once; NULL is asked about only for an empty value (libpq gives a NULL
    // length 0).
    values_.resize(static_cast<size_t>(ncols));
    size_t need = 0;
    for (int c = 0; c < ncols; ++c) {
        int len = PQgetlength(r, 0, c);
        if (len == 0 && PQgetisnull(r, 0, c))
            len = -1;
        values_[c] = {len, PQgetvalue(r, 0, c)};
        need += 4 + (len < 0 ? 0 : static_cast<size_t>(len) + 1);
    }
    char *p = room_for(need);
    for (int c = 0; c < ncols; ++c) {
        const int32_t len = values_[c].first;
        std::memcpy(p, &len, 4);
        p += 4;
        if (len >= 0) {
            std::memcpy(p, values_[c].second, static_cast<size_t>(len));
            p += len;
            *p++ = '\0';
        }
    }
    ++rows_;
}

bool RowStore::next(std::vector<Cell> &cells)
{
    if (read_rows_ >= rows_)
        return false;
    ++read_rows_;
    cells.resize(static_cast<size_t>(columns_ > 0 ? columns_ : 0));
    if (columns_ <= 0)
        return true;  // rows without columns take no bytes
    while (read_block_ < blocks_.size() && read_offset_ >= blocks_[read_block_].used) {
        release(blocks_[read_block_]);
        ++read_block_;
        read_offset_ = 0;
    }
    const char *p = blocks_[read_block_].data + read_offset_;
    const char *start = p;
    for (int c = 0; c < columns_; ++c) {
        int32_t len;
        std::memcpy(&len, p, 4);
        p += 4;
        if (len < 0) {
            cells[c] = Cell{};
        } else {
            cells[c] = Cell{p, len};
            p += len + 1;
        }
    }
    read_offset_ += static_cast<size_t>(p - start);
    return true;
}

}  // namespace zt

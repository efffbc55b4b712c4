// The rows of one query result, copied out of libpq's single-row results as they arrive and
// kept in large blocks that are handed back to the system as the reader moves past them.
//
// libpq would otherwise build one PGresult for the whole result: a pointer pair for every value
// and every byte of text, all held until the result is freed, while the caller builds its own
// copy of every row. Here the rows take about half that space, arrive while the server is still
// sending, and a forward reader (ZTC_ReadNext) releases each block once its rows are read, so
// the rows and the caller's copy of them are never both held whole.
#ifndef ZT_ROWSTORE_H
#define ZT_ROWSTORE_H

#include <libpq-fe.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace zt {

// One value of a row: its bytes (zero-terminated) and length; length -1 (text null) for NULL.
struct Cell {
    const char *text = nullptr;
    int length = -1;
};

class RowStore {
public:
    RowStore() = default;
    RowStore(const RowStore &) = delete;
    RowStore &operator=(const RowStore &) = delete;
    ~RowStore();

    // Appends row 0 of a single-row result (its columns must match the earlier rows'). Throws
    // std::bad_alloc when no memory can be had.
    void append(const PGresult *r);
    int64_t rows() const { return rows_; }

    // Moves to the next row and points cells[0..columns) at its values; false after the last
    // row. The block of the previous row is released once the reader leaves it, so earlier
    // rows can never be read again.
    bool next(std::vector<Cell> &cells);

private:
    struct Block {
        char *data = nullptr;
        size_t size = 0;      // bytes held
        size_t used = 0;      // bytes of rows written
        bool mapped = false;  // mmap'd (else malloc'd)
    };
    char *room_for(size_t n);
    static void release(Block &b);

    std::vector<Block> blocks_;
    // Scratch of append: each value's length (-1: NULL) and address.
    std::vector<std::pair<int32_t, const char *>> values_;
    int64_t rows_ = 0;
    int columns_ = -1;
    // Reading position: rows read, the block and the offset of the next row in it.
    int64_t read_rows_ = 0;
    size_t read_block_ = 0;
    size_t read_offset_ = 0;
};

}  // namespace zt

#endif

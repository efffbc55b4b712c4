// Columns: a block of rows of a result decoded straight into per-column arrays
// (ZTC_ReadColumns), for callers that build column arrays (NumPy, DataFrames) instead of rows.
// Each value goes through the row view (fill_view), so a binary value is decoded from its bytes
// and a text value parsed once, as ZTC_GetRowValues would; nothing is written as text and read
// back except where only the text tells the value (numeric, intervals, text-form dates).
#include <cmath>
#include <cstring>

#include "binaryvalue.h"
#include "codec.h"
#include "decode.h"
#include "internal.h"

namespace zt {

namespace {

bool is_infinity(const char *text, size_t len)
{
    return (len == 8 && std::memcmp(text, "infinity", 8) == 0) ||
           (len == 9 && std::memcmp(text, "-infinity", 9) == 0);
}

const char *form_name(int form)
{
    switch (form) {
    case ZTC_FORM_BOOL: return "a boolean";
    case ZTC_FORM_INT16: return "a 16-bit integer";
    case ZTC_FORM_INT32: return "a 32-bit integer";
    case ZTC_FORM_INT64: return "a 64-bit integer";
    case ZTC_FORM_FLOAT32:
    case ZTC_FORM_FLOAT64: return "a number";
    case ZTC_FORM_DAYS: return "a date";
    case ZTC_FORM_MICROS: return "a timestamp";
    case ZTC_FORM_INTERVAL: return "an interval";
    default: return "text";
    }
}

// Reads the values of one row into the block's arrays. One instance per call: it keeps the
// scratch texts so that no value allocates once the arena has grown.
class BlockReader {
public:
    explicit BlockReader(Result &r) : r_(r) {}

    // Reads column c of the current row into row i of col. False with `err` set when the value
    // does not read in the column's form.
    bool read(int c, ZTC_COLUMNBUF &col, int i, std::string &arena, std::string &err)
    {
        const Cell &cell = r_.cells[c];
        col.nulls[i] = 0;
        if (!cell.text)
            return set_null(col, i, arena);
        fill_view(r_, c, v_);
        switch (col.form) {
        case ZTC_FORM_BOOL:
            return read_bool(c, col, i, err);
        case ZTC_FORM_INT16:
        case ZTC_FORM_INT32:
        case ZTC_FORM_INT64:
            return read_integer(c, col, i, err);
        case ZTC_FORM_FLOAT32:
        case ZTC_FORM_FLOAT64:
            return read_real(c, col, i, err);
        case ZTC_FORM_DAYS:
        case ZTC_FORM_MICROS:
            return read_instant(c, col, i, arena, err);
        case ZTC_FORM_INTERVAL:
            return read_interval(c, col, i, err);
        case ZTC_FORM_TEXT:
            return read_text(c, col, i, arena, err);
        default:
            return true;
        }
    }

private:
    // The value's text: the view's, or the text of a binary value written into scratch_.
    bool text_of(int c, const char *&text, size_t &len)
    {
        if (v_.text) {
            text = v_.text;
            len = static_cast<size_t>(v_.length);
            return true;
        }
        const Cell &cell = r_.cells[c];
        if (!r_.binary) {
            text = cell.text;
            len = static_cast<size_t>(cell.length);
            return true;
        }
        if (!binary_text(r_.columns[c].oid, cell.text, static_cast<size_t>(cell.length),
                         scratch_))
            return false;
        text = scratch_.data();
        len = scratch_.size();
        return true;
    }

    bool refuse(int c, int form, std::string &err)
    {
        const char *text = nullptr;
        size_t len = 0;
        std::string shown = text_of(c, text, len) ? std::string(text, utf8_cut(text, len, 40))
                                                  : std::string("(binary)");
        set_error(err, "22023", "row " + std::to_string(r_.row + 1) + ", column " +
                                    std::to_string(c + 1) + ": the value \"" + shown +
                                    "\" does not read as " + form_name(form));
        return false;
    }

    bool set_null(ZTC_COLUMNBUF &col, int i, const std::string &arena)
    {
        col.nulls[i] = 1;
        switch (col.form) {
        case ZTC_FORM_BOOL: static_cast<uint8_t *>(col.values)[i] = 0; break;
        case ZTC_FORM_INT16: static_cast<int16_t *>(col.values)[i] = 0; break;
        case ZTC_FORM_INT32: static_cast<int32_t *>(col.values)[i] = 0; break;
        case ZTC_FORM_FLOAT32: static_cast<float *>(col.values)[i] = 0; break;
        case ZTC_FORM_FLOAT64: static_cast<double *>(col.values)[i] = 0; break;
        case ZTC_FORM_INT64:
        case ZTC_FORM_DAYS:
        case ZTC_FORM_MICROS:
        case ZTC_FORM_INTERVAL: static_cast<int64_t *>(col.values)[i] = 0; break;
        case ZTC_FORM_TEXT: col.offsets[i + 1] = static_cast<int64_t>(arena.size()); break;
        default: break;
        }
        return true;
    }

    // Whether the view holds the column's number in its own code (integers and booleans).
    bool integer_view(int c) const
    {
        const int code = r_.columns[c].code;
        return v_.decoded && (code == ZTC_TYPE_BOOLEAN ||
                              (code >= ZTC_TYPE_TINYINT && code <= ZTC_TYPE_BIGINT));
    }

    bool read_bool(int c, ZTC_COLUMNBUF &col, int i, std::string &err)
    {
        int64_t n = 0;
        const char *text;
        size_t len;
        if (integer_view(c)) {
            n = v_.integer != 0;
        } else if (text_of(c, text, len) && len == 1 && (*text == 't' || *text == 'f')) {
            n = *text == 't';
        } else {
            return refuse(c, col.form, err);
        }
        static_cast<uint8_t *>(col.values)[i] = static_cast<uint8_t>(n);
        return true;
    }

    bool read_integer(int c, ZTC_COLUMNBUF &col, int i, std::string &err)
    {
        int64_t n = 0;
        const char *text;
        size_t len;
        if (integer_view(c))
            n = v_.integer;
        else if (!text_of(c, text, len) || !decode_int64(text, len, n))
            return refuse(c, col.form, err);
        switch (col.form) {
        case ZTC_FORM_INT16:
            if (!integer_fits(ZTC_TYPE_SMALLINT, n))
                return refuse(c, col.form, err);
            static_cast<int16_t *>(col.values)[i] = static_cast<int16_t>(n);
            return true;
        case ZTC_FORM_INT32:
            if (!integer_fits(ZTC_TYPE_INTEGER, n))
                return refuse(c, col.form, err);
            static_cast<int32_t *>(col.values)[i] = static_cast<int32_t>(n);
            return true;
        default:
            static_cast<int64_t *>(col.values)[i] = n;
            return true;
        }
    }

    bool read_real(int c, ZTC_COLUMNBUF &col, int i, std::string &err)
    {
        const int code = r_.columns[c].code;
        double d = 0;
        const char *text;
        size_t len;
        if (v_.decoded && (code == ZTC_TYPE_FLOAT || code == ZTC_TYPE_DOUBLE))
            d = v_.real;
        else if (integer_view(c))
            d = static_cast<double>(v_.integer);
        else if (!text_of(c, text, len) || !parse_double(text, len, d, nullptr))
            return refuse(c, col.form, err);
        if (col.form == ZTC_FORM_FLOAT32)
            static_cast<float *>(col.values)[i] = static_cast<float>(d);
        else
            static_cast<double *>(col.values)[i] = d;
        return true;
    }

    // Dates and timestamps: the view's day or microsecond count when it has one, otherwise the
    // text (any date or timestamp text, BC and offsets included); infinity reads as NULL.
    bool read_instant(int c, ZTC_COLUMNBUF &col, int i, const std::string &arena,
                      std::string &err)
    {
        const int code = r_.columns[c].code;
        int64_t us = 0, out = 0;
        const char *text;
        size_t len;
        if (v_.decoded && code == ZTC_TYPE_DATE) {
            // A binary date's day count.
            us = v_.integer * kMicrosPerDay;
        } else if (v_.decoded && code == ZTC_TYPE_DATETIME_MS) {
            us = v_.integer;
        } else if (!text_of(c, text, len)) {
            return refuse(c, col.form, err);
        } else if (is_infinity(text, len)) {
            return set_null(col, i, arena);
        } else if (!decode_timestamp_us(text, len, us)) {
            return refuse(c, col.form, err);
        }
        if (col.form == ZTC_FORM_DAYS)
            out = us / kMicrosPerDay - (us % kMicrosPerDay < 0 ? 1 : 0);
        else
            out = us;
        static_cast<int64_t *>(col.values)[i] = out;
        return true;
    }

    bool read_interval(int c, ZTC_COLUMNBUF &col, int i, std::string &err)
    {
        const char *text;
        size_t len;
        int32_t months = 0;
        int64_t micros = 0, total = 0;
        if (!text_of(c, text, len) || !decode_interval(text, len, months, micros) ||
            !interval_total_micros(months, micros, total))
            return refuse(c, col.form, err);
        static_cast<int64_t *>(col.values)[i] = total;
        return true;
    }

    bool read_text(int c, ZTC_COLUMNBUF &col, int i, std::string &arena, std::string &err)
    {
        const char *text;
        size_t len;
        if (!text_of(c, text, len))
            return refuse(c, col.form, err);
        if (r_.columns[c].codec->bytea_text && !r_.binary) {
            if (!decode_bytea(text, len, scratch_))
                return refuse(c, col.form, err);
            text = scratch_.data();
            len = scratch_.size();
        }
        arena.append(text, len);
        col.offsets[i + 1] = static_cast<int64_t>(arena.size());
        return true;
    }

    Result &r_;
    ZTC_ROWVALUE v_{};
    std::string scratch_;
};

}  // namespace

}  // namespace zt

using namespace zt;

ZTC_API int ZTC_ReadColumns(ZTC_HANDLE *R, ZTC_COLUMNBUF *columns, int count, int maxrows,
                            int *rows)
{
    Result *r = result_of(R);
    if (!r)
        return -1;
    if (rows)
        *rows = 0;
    return guarded(r->error.get(), [&]() -> int {
        if (!rows || count < 0 || count > r->ncols || maxrows < 0 || (count > 0 && !columns)) {
            set_error(*r->error, "HY000", "ZTC_ReadColumns: bad arguments");
            return -1;
        }
        for (int c = 0; c < count; ++c) {
            const ZTC_COLUMNBUF &col = columns[c];
            const bool text = col.form == ZTC_FORM_TEXT;
            if (col.form < ZTC_FORM_SKIP || col.form > ZTC_FORM_TEXT ||
                (col.form != ZTC_FORM_SKIP &&
                 (!col.nulls || (text ? !col.offsets : !col.values)))) {
                set_error(*r->error, "HY000",
                          "ZTC_ReadColumns: column " + std::to_string(c + 1) +
                              " has an unknown form or lacks its buffers");
                return -1;
            }
        }
        r->column_texts.resize(static_cast<size_t>(r->ncols));
        for (int c = 0; c < count; ++c) {
            r->column_texts[c].clear();
            if (columns[c].form == ZTC_FORM_TEXT)
                columns[c].offsets[0] = 0;
        }
        BlockReader reader(*r);
        std::string err;
        int n = 0;
        int rc = 0;
        while (n < maxrows && rc == 0) {
            const int next = ZTC_ReadNext(R);
            if (next < 0) {
                err = *r->error;  // a row that cannot be read: its message
                rc = -1;
                break;
            }
            if (next != 0)
                break;
            for (int c = 0; c < count && rc == 0; ++c)
                if (columns[c].form != ZTC_FORM_SKIP &&
                    !reader.read(c, columns[c], n, r->column_texts[c], err))
                    rc = -1;
            if (rc == 0)
                ++n;
        }
        for (int c = 0; c < count; ++c)
            columns[c].text = columns[c].form == ZTC_FORM_TEXT ? r->column_texts[c].data()
                                                                : nullptr;
        *rows = n;
        if (rc < 0)
            *r->error = std::move(err);
        return rc;
    });
}

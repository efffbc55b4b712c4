/* zt_placeholders.cpp - the package's second marker style: %s and %(name)s placeholders
 * (and %% for a percent sign) turned into the library's ? markers, beside statements
 * written with ? markers, which pass unchanged. The analysis of a text is kept per
 * statement text, so a statement run again costs one dictionary look-up.
 *
 * A % is read anywhere in the text, also inside literals and comments, as the
 * psycopg family reads it. A ? keeps the library's reading: it is a marker only outside
 * literals, quoted identifiers, comments and dollar-quoted bodies, and "??" stands for
 * one literal "?". In a statement with % placeholders every such ? is an operator (jsonb
 * has ?, ?| and ?&), so it is doubled for the library to send it as it was written. */
#include "pyzt_util.h"
#include "zt_face.h"
#include "zt_lexchars.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

namespace {

/* ---- where the library reads a ? as a marker ---- */

/* The library's character classes (zt_lexchars.h, which it includes too). */
using zt_lexchars::is_blank;
using zt_lexchars::is_ident_char;
using zt_lexchars::is_ident_start;

bool zt_digit(char c)
{
    return c >= '0' && c <= '9';
}

/* Walks a text token by token as the library's statement reader does, and records the
 * offset of every ? (and, when asked, every %) that stands outside literals, quoted
 * identifiers, comments and dollar-quoted bodies. The rules (E'' escapes, nested block comments, $tag$ bodies,
 * $ inside identifiers) are the library's: a ? is taken for a marker here exactly
 * where the library takes it for one. */
class ZtQuestionScan {
public:
    ZtQuestionScan(const std::string &text, std::vector<size_t> &at,
                   std::vector<size_t> *percents = nullptr)
        : s_(text), at_(at), percents_(percents) {}

    void run()
    {
        const size_t n = s_.size();
        while (pos_ < n) {
            const unsigned char c = static_cast<unsigned char>(s_[pos_]);
            if (is_blank(c)) {
                ++pos_;
                continue;
            }
            if (c == '-' && next_is('-')) {
                while (pos_ < n && s_[pos_] != '\n')
                    ++pos_;
                continue;
            }
            if (c == '/' && next_is('*')) {
                skip_block_comment();
                continue;
            }
            const size_t begin = pos_;
            bool word = false;
            if (c == '\'') {
                scan_string(prev_is_e_prefix());
            } else if (c == '"') {
                scan_quoted('"');
            } else if (c == '$' && dollar_quote()) {
            } else if (c == '$' && pos_ + 1 < n && zt_digit(s_[pos_ + 1])) {
                ++pos_;
                while (pos_ < n && zt_digit(s_[pos_]))
                    ++pos_;
            } else if (is_ident_start(c)) {
                while (pos_ < n && is_ident_char(static_cast<unsigned char>(s_[pos_])))
                    ++pos_;
                word = true;
            } else if (zt_digit(static_cast<char>(c))) {
                scan_number();
            } else {
                if (c == '?')
                    at_.push_back(pos_);
                else if (c == '%' && percents_ != nullptr)
                    percents_->push_back(pos_);
                ++pos_;
            }
            last_word_ = word;
            last_begin_ = begin;
            last_end_ = pos_;
        }
    }

private:
    bool next_is(char c) const { return pos_ + 1 < s_.size() && s_[pos_ + 1] == c; }

    /* A quote opens an escape string when a lone E (or e) is written right against it. */
    bool prev_is_e_prefix() const
    {
        return last_word_ && last_end_ == pos_ && last_end_ - last_begin_ == 1 &&
               (s_[last_begin_] == 'E' || s_[last_begin_] == 'e');
    }

    void skip_block_comment()
    {
        int level = 0;
        while (pos_ < s_.size()) {
            if (s_[pos_] == '/' && next_is('*')) {
                ++level;
                pos_ += 2;
            } else if (s_[pos_] == '*' && next_is('/')) {
                pos_ += 2;
                if (--level == 0)
                    return;
            } else {
                ++pos_;
            }
        }
    }

    void scan_string(bool escapes)
    {
        ++pos_;
        while (pos_ < s_.size()) {
            const char c = s_[pos_];
            if (escapes && c == '\\') {
                pos_ += 2;
            } else if (c == '\'') {
                if (!next_is('\'')) {
                    ++pos_;
                    return;
                }
                pos_ += 2;
            } else {
                ++pos_;
            }
        }
        pos_ = s_.size();
    }

    void scan_quoted(char quote)
    {
        ++pos_;
        while (pos_ < s_.size()) {
            if (s_[pos_] == quote) {
                if (!next_is(quote)) {
                    ++pos_;
                    return;
                }
                pos_ += 2;
            } else {
                ++pos_;
            }
        }
    }

    /* At a '$' that opens $tag$ (tag empty or identifier-like without '$'): moves past the
     * matching closing delimiter (or to the end) and says so. */
    bool dollar_quote()
    {
        size_t p = pos_ + 1;
        const size_t n = s_.size();
        if (p < n && is_ident_start(static_cast<unsigned char>(s_[p]))) {
            while (p < n && is_ident_char(static_cast<unsigned char>(s_[p])) && s_[p] != '$')
                ++p;
        }
        if (p >= n || s_[p] != '$')
            return false;
        const std::string tag = s_.substr(pos_, p + 1 - pos_);
        const size_t close = s_.find(tag, p + 1);
        pos_ = close == std::string::npos ? n : close + tag.size();
        return true;
    }

    void scan_number()
    {
        while (pos_ < s_.size()) {
            const unsigned char c = static_cast<unsigned char>(s_[pos_]);
            if (zt_digit(static_cast<char>(c)) || c == '.' || c == '_' ||
                (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
                ++pos_;
            else if ((c == '+' || c == '-') && (s_[pos_ - 1] == 'e' || s_[pos_ - 1] == 'E'))
                ++pos_;
            else
                break;
        }
    }

    const std::string &s_;
    std::vector<size_t> &at_;
    std::vector<size_t> *percents_;
    size_t pos_ = 0;
    bool last_word_ = false;
    size_t last_begin_ = 0, last_end_ = 0;
};

/* The markers the library counts among the ?s at `at` (sorted offsets): in each run of
 * adjacent ones, pairs are literal question marks and an odd last one is a marker. */
int zt_marker_count(const std::vector<size_t> &at)
{
    int markers = 0;
    for (size_t i = 0; i < at.size();) {
        size_t run = 1;
        while (i + run < at.size() && at[i + run] == at[i] + run)
            ++run;
        markers += static_cast<int>(run % 2);
        i += run;
    }
    return markers;
}

/* ---- the % placeholders of a text ---- */

struct ZtPercentScan {
    std::string text;                  /* placeholders as ?, %% as %, the rest as written */
    std::vector<size_t> placeholders;  /* offsets in `text` of the ?s that placeholders became */
    std::vector<size_t> sources;       /* the offset in the original text of each one's % */
    std::vector<std::string> names;    /* the name of each %(name)s, in order */
    int positional = 0;                /* %s, %b and %t placeholders */
    bool percent_pair = false;         /* the text has %% */
    std::string bad;                   /* the message about the first malformed %, or empty */
};

/* Reads the % sequences of a text: %s, %b, %t (positional), %(name)s (named; b and t
 * too) and %%. Anything else after a % is recorded as malformed and copied as it is. */
void zt_scan_percents(const char *s, size_t n, ZtPercentScan &out)
{
    out.text.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        if (s[i] != '%') {
            out.text.push_back(s[i]);
            continue;
        }
        if (i + 1 < n && s[i + 1] == '%') {
            out.text.push_back('%');
            out.percent_pair = true;
            ++i;
            continue;
        }
        size_t j = i + 1;
        std::string name;
        bool named = false;
        if (j < n && s[j] == '(') {
            const char *close = static_cast<const char *>(std::memchr(s + j, ')', n - j));
            if (close != nullptr) {
                name.assign(s + j + 1, close);
                named = true;
                j = static_cast<size_t>(close - s) + 1;
            }
        }
        if (j < n && (s[j] == 's' || s[j] == 'b' || s[j] == 't') && !(named && name.empty())) {
            out.placeholders.push_back(out.text.size());
            out.sources.push_back(i);
            out.text.push_back('?');
            if (named)
                out.names.push_back(name);
            else
                ++out.positional;
            i = j;
            continue;
        }
        if (out.bad.empty()) {
            size_t end = i + 1;
            while (end < n && !is_blank(static_cast<unsigned char>(s[end])) && end < i + 24)
                ++end;
            out.bad = j >= n
                ? "incomplete placeholder: '" + std::string(s + i, end - i) +
                      "'; write a % meant as a character as %%"
                : "only '%s', '%b', '%t' and '%(name)s' are placeholders, got '" +
                      std::string(s + i, end - i) + "'; write a % meant as a character as %%";
        }
        out.text.push_back('%');
    }
}

/* The text to hand the library for a statement with % placeholders: each placeholder a
 * ? marker, each ? the library would read as a marker doubled (so that it reaches the
 * server as written). A blank keeps a marker apart from a ? written right after it,
 * which the library would otherwise pair with it. */
std::string zt_library_text(const ZtPercentScan &scan)
{
    std::vector<size_t> questions;
    ZtQuestionScan(scan.text, questions).run();
    std::string out;
    out.reserve(scan.text.size() + questions.size() + 8);
    size_t next_placeholder = 0, next_question = 0;
    bool after_marker = false;
    for (size_t i = 0; i < scan.text.size(); ++i) {
        const bool placeholder =
            next_placeholder < scan.placeholders.size() && scan.placeholders[next_placeholder] == i;
        while (next_question < questions.size() && questions[next_question] < i)
            ++next_question;
        const bool question = !placeholder && next_question < questions.size() &&
                              questions[next_question] == i;
        if ((placeholder || question) && after_marker)
            out.push_back(' ');
        if (placeholder) {
            ++next_placeholder;
            out.push_back('?');
        } else if (question) {
            out.append("??");
        } else {
            out.push_back(scan.text[i]);
        }
        after_marker = placeholder;
    }
    return out;
}

/* ---- the per-text analysis, kept ---- */

/* What a statement text holds, as a tuple kept in the cache:
 * (library text for % placeholders, positional count, names tuple, has %%, malformed
 * message or None, ? markers as the library reads the original text, placeholders
 * outside literals and comments). */
enum { ZT_P_TEXT, ZT_P_POSITIONAL, ZT_P_NAMES, ZT_P_PAIR, ZT_P_BAD, ZT_P_QUESTIONS, ZT_P_CODE,
       ZT_P_SIZE };

/* Texts analysed so far. At ZT_CACHE_LIMIT entries the cache starts afresh, so that a
 * program building statement texts on the fly does not grow it without end. */
PyObject *zt_placeholder_cache = nullptr;
const Py_ssize_t ZT_CACHE_LIMIT = 1024;

PyObject *zt_analyse(PyObject *text)
{
    Py_ssize_t len = 0;
    const char *s = PyUnicode_AsUTF8AndSize(text, &len);
    if (s == nullptr)
        return nullptr;
    ZtPercentScan scan;
    zt_scan_percents(s, static_cast<size_t>(len), scan);
    std::vector<size_t> questions, percents;
    const std::string original(s, static_cast<size_t>(len));
    ZtQuestionScan(original, questions, &percents).run();
    const std::string library = zt_library_text(scan);
    Py_ssize_t code = 0;
    for (size_t source : scan.sources)
        code += std::binary_search(percents.begin(), percents.end(), source) ? 1 : 0;

    PyRef names(PyTuple_New(static_cast<Py_ssize_t>(scan.names.size())));
    if (!names)
        return nullptr;
    for (size_t i = 0; i < scan.names.size(); ++i) {
        PyObject *name = PyUnicode_DecodeUTF8(scan.names[i].data(),
                                              static_cast<Py_ssize_t>(scan.names[i].size()),
                                              "surrogatepass");
        if (name == nullptr)
            return nullptr;
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
    }
    PyRef bad(scan.bad.empty() ? PyRef::borrow(Py_None)
                               : PyRef(PyUnicode_DecodeUTF8(scan.bad.data(),
                                                            static_cast<Py_ssize_t>(scan.bad.size()),
                                                            "replace")));
    PyRef library_text(PyUnicode_DecodeUTF8(library.data(), static_cast<Py_ssize_t>(library.size()),
                                            "surrogatepass"));
    if (!bad || !library_text)
        return nullptr;
    return Py_BuildValue("(OnOOOin)", library_text.get(), static_cast<Py_ssize_t>(scan.positional),
                         names.get(), scan.percent_pair ? Py_True : Py_False, bad.get(),
                         zt_marker_count(questions), code);
}

/* The analysis of `text` (borrowed from the cache), or null with an error set. */
PyObject *zt_analysis(PyObject *text)
{
    if (zt_placeholder_cache == nullptr) {
        zt_placeholder_cache = PyDict_New();
        if (zt_placeholder_cache == nullptr)
            return nullptr;
    }
    PyObject *found = PyDict_GetItemWithError(zt_placeholder_cache, text);
    if (found != nullptr || PyErr_Occurred())
        return found;
    PyRef entry(zt_analyse(text));
    if (!entry)
        return nullptr;
    if (PyDict_GET_SIZE(zt_placeholder_cache) >= ZT_CACHE_LIMIT)
        PyDict_Clear(zt_placeholder_cache);
    if (PyDict_SetItem(zt_placeholder_cache, text, entry.get()) < 0)
        return nullptr;
    return entry.get();  /* the cache holds it */
}

enum ZtParamsShape { ZT_SEQUENCE, ZT_MAPPING, ZT_OTHER };

/* Whether the parameters are a mapping (dict or any collections.abc.Mapping), a
 * sequence whose length counts (list, tuple or another sequence but text), or neither
 * (left for the binding code to judge). -1 with an error set. */
int zt_params_shape(PyObject *params)
{
    if (PyTuple_Check(params) || PyList_Check(params))
        return ZT_SEQUENCE;
    if (PyDict_Check(params))
        return ZT_MAPPING;
    PyRef abc(PyImport_ImportModule("collections.abc"));
    if (!abc)
        return -1;
    PyRef mapping(PyObject_GetAttrString(abc.get(), "Mapping"));
    if (!mapping)
        return -1;
    const int is_mapping = PyObject_IsInstance(params, mapping.get());
    if (is_mapping < 0)
        return -1;
    if (is_mapping)
        return ZT_MAPPING;
    if (PyUnicode_Check(params) || PyBytes_Check(params) || PyByteArray_Check(params) ||
        !PySequence_Check(params))
        return ZT_OTHER;
    return ZT_SEQUENCE;
}

PyObject *zt_refuse(const char *format, ...)
{
    va_list va;
    va_start(va, format);
    PyErr_FormatV(ProgrammingError, format, va);
    va_end(va);
    return nullptr;
}

const char *zt_plural(Py_ssize_t n, const char *one, const char *many)
{
    return n == 1 ? one : many;
}

/* ProgrammingError "[07001] the statement has <expected> <style> but <given> parameters
 * are bound", with sqlstate 07001 as the library's own count refusal carries it. */
PyObject *zt_refuse_count(Py_ssize_t expected, const char *style, Py_ssize_t given)
{
    PyRef text(PyUnicode_FromFormat("[07001] the statement has %zd %s but %zd %s", expected,
                                    style, given,
                                    zt_plural(given, "parameter is bound", "parameters are bound")));
    if (!text)
        return nullptr;
    PyRef exc(PyObject_CallOneArg(ProgrammingError, text.get()));
    if (!exc)
        return nullptr;
    PyRef code(PyUnicode_FromString("07001"));
    if (!code || PyObject_SetAttrString(exc.get(), "sqlstate", code.get()) < 0)
        return nullptr;
    PyErr_SetObject(ProgrammingError, exc.get());
    return nullptr;
}

/* The values of the named placeholders, in their order, read from the mapping. */
PyObject *zt_named_values(PyObject *names, PyObject *mapping)
{
    const Py_ssize_t n = PyTuple_GET_SIZE(names);
    PyRef values(PyTuple_New(n));
    if (!values)
        return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *name = PyTuple_GET_ITEM(names, i);
        PyObject *value = PyObject_GetItem(mapping, name);
        if (value == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError))
                return nullptr;
            PyErr_Clear();
            return zt_refuse("the placeholder %%(%U)s has no value: the parameters mapping "
                             "has no key '%U'", name, name);
        }
        PyTuple_SET_ITEM(values.get(), i, value);
    }
    return values.release();
}

}  // namespace

/* See zt_face.h. */
PyObject *zt_convert_placeholders(PyObject *text, PyObject *params)
{
    if (!PyUnicode_Check(text))
        return Py_BuildValue("(OO)", text, params);   /* the module's execute refuses it */
    /* Held: reading the parameters runs Python code, which may start the cache afresh. */
    PyRef held = PyRef::borrow(zt_analysis(text));
    if (!held)
        return nullptr;
    PyObject *entry = held.get();
    PyObject *library = PyTuple_GET_ITEM(entry, ZT_P_TEXT);
    const Py_ssize_t positional = PyLong_AsSsize_t(PyTuple_GET_ITEM(entry, ZT_P_POSITIONAL));
    PyObject *names = PyTuple_GET_ITEM(entry, ZT_P_NAMES);
    const bool pair = PyTuple_GET_ITEM(entry, ZT_P_PAIR) == Py_True;
    PyObject *bad = PyTuple_GET_ITEM(entry, ZT_P_BAD);
    const Py_ssize_t questions = PyLong_AsSsize_t(PyTuple_GET_ITEM(entry, ZT_P_QUESTIONS));
    const Py_ssize_t named = PyTuple_GET_SIZE(names);
    const Py_ssize_t code = PyLong_AsSsize_t(PyTuple_GET_ITEM(entry, ZT_P_CODE));

    const int shape = zt_params_shape(params);
    if (shape < 0)
        return nullptr;
    /* ? markers and no placeholder outside literals and comments: the ? style, whatever
     * a literal holds ("like '%smith%'"). */
    if (questions > 0 && code == 0) {
        if (shape == ZT_MAPPING)
            return zt_refuse("execute: parameters must be a sequence, not %s (the markers are "
                             "?, by position)", Py_TYPE(params)->tp_name);
        if (shape == ZT_SEQUENCE) {
            const Py_ssize_t given = PySequence_Size(params);
            if (given < 0)
                return nullptr;
            if (given != questions)
                return zt_refuse_count(questions, zt_plural(questions, "parameter marker (?)",
                                                            "parameter markers (?)"), given);
        }
        return Py_BuildValue("(OO)", text, params);
    }
    if (positional > 0 && named > 0)
        return zt_refuse("the statement mixes %%s and %%(name)s placeholders: use one style");
    if (shape == ZT_MAPPING) {
        if (positional > 0)
            return zt_refuse("the statement's %%s placeholders take a sequence of parameters, "
                             "not a mapping (a mapping goes with %%(name)s placeholders)");
        if (bad != Py_None)
            return zt_refuse("%U", bad);
        PyRef values(zt_named_values(names, params));
        if (!values)
            return nullptr;
        return Py_BuildValue("(OO)", library, values.get());
    }
    if (named > 0)
        return zt_refuse("the statement's %%(name)s placeholders take a mapping of "
                         "parameters, not %s", Py_TYPE(params)->tp_name);
    if (shape == ZT_OTHER)
        return Py_BuildValue("(OO)", text, params);
    const Py_ssize_t given = PySequence_Size(params);
    if (given < 0)
        return nullptr;
    if (positional > 0 || (pair && questions == 0)) {
        if (bad != Py_None)
            return zt_refuse("%U", bad);
        if (given == positional)
            return Py_BuildValue("(OO)", library, params);
        if (questions > 0 && given == positional + questions)
            return zt_refuse("the statement mixes %%s placeholders and ? markers: use one "
                             "style (beside %%s a ? is read as the operator ?)");
        return zt_refuse_count(positional,
                               zt_plural(positional, "%s placeholder", "%s placeholders"), given);
    }
    if (given != questions)
        return zt_refuse_count(questions,
                               zt_plural(questions, "parameter marker (?)", "parameter markers (?)"),
                               given);
    return Py_BuildValue("(OO)", text, params);
}

/* _pyztdb.convert_placeholders(text, params) -> (text, params). */
static PyObject *pyzt_convert_placeholders(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "convert_placeholders takes (text, params)");
        return nullptr;
    }
    try {
        return zt_convert_placeholders(args[0], args[1]);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

/* _pyztdb.convert_placeholders_many(text, rows) -> (text, rows): one conversion for a
 * batch; rows of named placeholders become tuples in the placeholders' order. */
static PyObject *pyzt_convert_placeholders_many(PyObject *, PyObject *const *args,
                                                Py_ssize_t nargs)
{
    if (nargs != 2 || !PyList_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "convert_placeholders_many takes (text, list of rows)");
        return nullptr;
    }
    PyObject *text = args[0], *rows = args[1];
    const Py_ssize_t n = PyList_GET_SIZE(rows);
    if (n == 0)
        return Py_BuildValue("(OO)", text, rows);
    try {
        PyRef first(zt_convert_placeholders(text, PyList_GET_ITEM(rows, 0)));
        if (!first)
            return nullptr;
        /* Only named placeholders change the rows: each becomes the tuple of its values. */
        PyObject *entry = PyUnicode_Check(text) ? zt_analysis(text) : nullptr;
        if (entry == nullptr && PyErr_Occurred())
            return nullptr;
        if (entry == nullptr || PyTuple_GET_SIZE(PyTuple_GET_ITEM(entry, ZT_P_NAMES)) == 0)
            return Py_BuildValue("(OO)", PyTuple_GET_ITEM(first.get(), 0), rows);
        PyRef converted(PyList_New(n));
        if (!converted)
            return nullptr;
        PyList_SET_ITEM(converted.get(), 0, PyRef::borrow(PyTuple_GET_ITEM(first.get(), 1)).release());
        for (Py_ssize_t i = 1; i < n; ++i) {
            /* A mapping's __getitem__ may change the list: the batch must stay as given. */
            if (PyList_GET_SIZE(rows) != n)
                return zt_refuse("executemany: the list of rows changed while it was read");
            PyRef row = PyRef::borrow(PyList_GET_ITEM(rows, i));
            PyRef one(zt_convert_placeholders(text, row.get()));
            if (!one)
                return nullptr;
            PyList_SET_ITEM(converted.get(), i, PyRef::borrow(PyTuple_GET_ITEM(one.get(), 1)).release());
        }
        return Py_BuildValue("(ON)", PyTuple_GET_ITEM(first.get(), 0), converted.release());
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

/* The pieces of a statement with ? markers around its markers (one more than there are
 * markers), as the library reads it; each ?? is kept as it is with `keep_pairs`,
 * otherwise written as the one ? the server receives. */
static std::vector<std::string> zt_marker_pieces(const std::string &text, bool keep_pairs)
{
    std::vector<size_t> at;
    ZtQuestionScan(text, at).run();
    std::vector<std::string> pieces(1);
    size_t copied = 0;
    for (size_t i = 0; i < at.size(); ++i) {
        pieces.back().append(text, copied, at[i] - copied);
        if (i + 1 < at.size() && at[i + 1] == at[i] + 1) {
            pieces.back().append(keep_pairs ? "??" : "?");
            copied = at[i + 1] + 1;
            ++i;
        } else {
            pieces.emplace_back();
            copied = at[i] + 1;
        }
    }
    pieces.back().append(text, copied, std::string::npos);
    return pieces;
}

static PyObject *zt_str(const std::string &text)
{
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
}

/* The UTF-8 text of a str argument, or false with TypeError. */
static bool zt_text_arg(PyObject *arg, const char *function, std::string &out)
{
    Py_ssize_t len = 0;
    const char *s = PyUnicode_Check(arg) ? PyUnicode_AsUTF8AndSize(arg, &len) : nullptr;
    if (s == nullptr) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "%s takes a str, not %s", function, Py_TYPE(arg)->tp_name);
        return false;
    }
    out.assign(s, static_cast<size_t>(len));
    return true;
}

/* _pyztdb.numbered_markers(text) -> str: the text as the library sends it to the server,
 * its ? markers numbered $1, $2, ... and each ?? one ?. */
static PyObject *pyzt_numbered_markers(PyObject *, PyObject *text)
{
    try {
        std::string original;
        if (!zt_text_arg(text, "numbered_markers", original))
            return nullptr;
        const std::vector<std::string> pieces = zt_marker_pieces(original, false);
        std::string out = pieces[0];
        for (size_t i = 1; i < pieces.size(); ++i)
            out.append("$" + std::to_string(i)).append(pieces[i]);
        return zt_str(out);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

/* _pyztdb.marker_pieces(text, keep_pairs) -> list of str: the text cut at its ? markers
 * (the library's reading), for values to be written in between. */
static PyObject *pyzt_marker_pieces(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "marker_pieces takes (text, keep_pairs)");
        return nullptr;
    }
    try {
        std::string original;
        if (!zt_text_arg(args[0], "marker_pieces", original))
            return nullptr;
        const int keep = PyObject_IsTrue(args[1]);
        if (keep < 0)
            return nullptr;
        const std::vector<std::string> pieces = zt_marker_pieces(original, keep != 0);
        PyRef list(PyList_New(static_cast<Py_ssize_t>(pieces.size())));
        if (!list)
            return nullptr;
        for (size_t i = 0; i < pieces.size(); ++i) {
            PyObject *piece = zt_str(pieces[i]);
            if (piece == nullptr)
                return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), piece);
        }
        return list.release();
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

PyMethodDef zt_placeholder_methods[] = {
    ZT_METHD("_convert_placeholders", pyzt_convert_placeholders, METH_FASTCALL,
             "_convert_placeholders(text, params, /)\n--\n\n"
             "(text, params) for the library: %s / %(name)s placeholders become ? markers "
             "(a mapping's values taken in order), a text with ? markers passes unchanged."),
    ZT_METHD("_convert_placeholders_many", pyzt_convert_placeholders_many, METH_FASTCALL,
             "_convert_placeholders_many(text, rows, /)\n--\n\n"
             "convert_placeholders for a list of parameter rows."),
    ZT_METHD("_numbered_markers", pyzt_numbered_markers, METH_O,
             "_numbered_markers(text, /)\n--\n\n"
             "The text as the server receives it: ? markers numbered $1, $2, ..."),
    ZT_METHD("_marker_pieces", pyzt_marker_pieces, METH_FASTCALL,
             "_marker_pieces(text, keep_pairs, /)\n--\n\n"
             "The text cut at its ? markers (?? kept as such with keep_pairs, else ?)."),
    {nullptr, nullptr, 0, nullptr},
};

/* zt_lexchars.h - the character classes of PostgreSQL's SQL text and the value of a hex
 * digit: a pure utility (no Python, no library, no allocation) that both the driver and
 * libzotusql include, so that the driver's reading of a statement text (where a ? is a
 * marker) and of COPY's \x escapes is the library's to the character. */
#ifndef ZT_LEXCHARS_H
#define ZT_LEXCHARS_H

namespace zt_lexchars {

/* A character that may begin an unquoted identifier or keyword (any byte of a
 * multibyte character counts as a letter). */
inline bool is_ident_start(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80;
}

/* A character that may continue one: also digits and '$'. */
inline bool is_ident_char(unsigned char c)
{
    return is_ident_start(c) || (c >= '0' && c <= '9') || c == '$';
}

/* White space between tokens. */
inline bool is_blank(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

/* The value of one hexadecimal digit, either case; -1 for any other character. */
inline int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace zt_lexchars

#endif

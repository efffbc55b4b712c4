// Server-free analysis and rewriting of SQL texts: parameter markers, statement classes,
// the driver's control texts, plain INSERT batches and procedure call texts.
#ifndef ZT_SQLTEXT_H
#define ZT_SQLTEXT_H

#include <string>

namespace zt {

// Rewrites ? markers to $1..$n, skipping '...' literals (with '' escapes), E'...' literals (with
// backslash escapes), "quoted identifiers", -- and /* */ comments (nested), and $tag$...$tag$
// bodies; "??" becomes a literal "?". Returns the number of markers written.
int rewrite_markers(const char *sql, std::string &out);

// Statement class (1, 2, 3, 9, 10): first keyword after blanks, comments and opening
// parentheses; 10 when two or more non-empty top-level statements.
//   1  INSERT ... VALUES (one row) without RETURNING / ON CONFLICT
//   2  other data-changing statements without RETURNING (also WITH ... <one of them>)
//   3  statements without result rows (DDL, SET, transaction control, CALL, DO, ...)
//   9  statements returning rows (queries, and data-changing statements with RETURNING)
// A text without any statement (blank, comments, lone ';') is 3. ';' inside the
// BEGIN ATOMIC ... END body of CREATE FUNCTION / PROCEDURE does not separate statements.
// SELECT ... INTO (which creates a table and returns no rows) is 3.
int classify_statement(const char *sql);

// True for a text that is one COPY statement and nothing else (blanks, comments and one
// final ';' aside): what ZTC_CopyStart may send.
bool is_single_copy(const char *sql);

// Control texts, case-insensitive, optional surrounding blanks and one final ';':
enum ControlText { CONTROL_NONE = 0, CONTROL_AUTOCOMMIT_OFF, CONTROL_AUTOCOMMIT_ON, CONTROL_COMMIT, CONTROL_ROLLBACK };
ControlText control_text(const char *sql);  // "set auto commit off|on", "commit", "rollback"

// A plain "INSERT INTO table [(columns)] VALUES (?, ..., ?)" (markers only in VALUES, one row, no
// RETURNING / ON CONFLICT / SELECT, optional final ';'): true, with target = the table text as
// written (possibly schema-qualified, quoted) and columns = "(a, b)" as written or "" ; markers =
// number of ? in VALUES. A column list must hold plain or quoted names only, as many as
// there are markers.
bool plain_insert_target(const char *sql, std::string &target, std::string &columns, int &markers);

// An identifier or dot-qualified identifier, each part plain ([A-Za-z_][A-Za-z0-9_$]*, also
// non-ASCII UTF-8 letters) or double-quoted ("" escapes inside).
bool valid_procedure_name(const std::string &name);

// Splits the driver's procedure text "execute NAME" or "execute NAME(?,?,...,?);" (keyword any
// case, blanks tolerated): name and number of markers. false when it is not of that shape.
// "()" counts as no markers. The name is taken as written (quoted parts may hold blanks
// and brackets); check it with valid_procedure_name before using it in SQL.
bool parse_procedure_text(const char *sql, std::string &name, int &markers);

}  // namespace zt

#endif

// The statement_timeout read from a session's server options, from which the wait limit
// comes: every unit the server accepts, the spellings of the option, the last one
// counting, and what is not a timeout at all (0: no limit).
#include "internal.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(WaitLimit, StatementTimeoutFromOptions)
{
    static const struct {
        const char *options;
        int64_t ms;
    } cases[] = {
        {"-c statement_timeout=5000", 5000},
        {"-c statement_timeout=1", 1},
        {"-c statement_timeout=250ms", 250},
        {"-c statement_timeout=1s", 1000},
        {"-c statement_timeout=7s", 7000},
        {"-c statement_timeout=2min", 120000},
        {"-c statement_timeout=1h", 3600000},
        {"-c statement_timeout=3 S", 3000},
        {"--statement-timeout=5s", 5000},
        {"-cstatement_timeout=9s", 9000},
        {"-c statement_timeout=1s -c statement_timeout=2s", 2000},
        {"-c statement_timeout=5s -c statement_timeout=1s", 1000},
        {"-c statement_timeout=2s -c work_mem=64MB", 2000},
        {"-c statement_timeout=0", 0},
        {"-c statement_timeout=-5", 0},
        {"-c statement_timeout=5d", 0},
        {"-c statement_timeout=abc", 0},
        {"-c lock_timeout=5s", 0},
        {"", 0},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.options);
        EXPECT_EQ(zt::statement_timeout_in(k.options), k.ms);
    }
}

}  // namespace

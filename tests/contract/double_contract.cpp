// The contract table (contract_table.h) against the test double: each query's result is
// scripted into the double with its columns and rows instead of being run.
#include <gtest/gtest.h>

#include <cstring>

#include "contract_table.h"

// The double's scripting calls (ztd_control.cpp).
extern "C" {
void ztd_reset(void);
void ztd_result_begin(int sql_type, int has_rowcount, int64_t rowcount, int affected);
void ztd_result_column(const char *name, int namelen, int type, int modi);
void ztd_result_row(void);
void ztd_result_cell(int kind, int64_t ival, double fval, const char *data, int datalen,
                     int length);
void ztd_queue_execution(void);
}

namespace {

// The double's value kinds (ztd_state.h).
enum { kNull = 0, kInt = 3, kFloat = 4, kBool = 5, kStr = 6 };

class DoubleBackend : public zt_contract::Backend {
public:
    DoubleBackend()
    {
        ztd_reset();
        EXPECT_EQ(0, ZTC_OpenConn("IP=double; DB=d; USER=u; PWD=; PORT=1; CHAR_SET=UTF8", &s_));
    }
    ~DoubleBackend() override
    {
        ZTC_CloseConn(&s_);
        ztd_reset();
    }
    ZTC_HANDLE *session() override { return &s_; }
    void expect_query(const zt_contract::Query &q) override
    {
        ztd_result_begin(ZTC_SQL_QUERY, 0, 0, 0);
        for (const auto &c : q.columns)
            ztd_result_column(c.name, static_cast<int>(std::strlen(c.name)), c.code, c.modifier);
        for (const auto &row : q.rows) {
            ztd_result_row();
            for (const auto &cell : row)
                stage(cell);
        }
        ztd_queue_execution();
    }

private:
    static void stage(const zt_contract::Cell &c)
    {
        const int n = static_cast<int>(std::strlen(c.text));
        switch (c.kind) {
        case zt_contract::Cell::Null: ztd_result_cell(kNull, 0, 0, "", 0, -1); break;
        case zt_contract::Cell::Int: ztd_result_cell(kInt, c.i, 0, "", 0, 0); break;
        case zt_contract::Cell::Real: ztd_result_cell(kFloat, 0, c.d, "", 0, 0); break;
        case zt_contract::Cell::Bool: ztd_result_cell(kBool, c.i, 0, "", 0, 1); break;
        case zt_contract::Cell::Text: ztd_result_cell(kStr, 0, 0, c.text, n, n); break;
        }
    }
    ZTC_HANDLE s_ = nullptr;
};

class DoubleContract : public ::testing::Test {
protected:
    DoubleBackend backend;
};

ZT_CONTRACT_TESTS(DoubleContract)

}  // namespace

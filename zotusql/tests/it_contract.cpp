// The contract table (tests/contract/contract_table.h) against the library and a throwaway
// server: each query's SQL runs, and gives what the double is scripted with.
#include "contract_table.h"
#include "it_common.h"

namespace {

class LibraryBackend : public zt_contract::Backend {
public:
    ZTC_HANDLE *session() override { return &session_.s; }
    void expect_query(const zt_contract::Query &) override {}

private:
    zt_it::Session session_;
};

class LibraryContract : public ::testing::Test {
protected:
    LibraryBackend backend;
};

ZT_CONTRACT_TESTS(LibraryContract)

}  // namespace

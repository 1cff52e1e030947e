#pragma once

#include "tests/common/DbServer.h"
#include "tests/common/OdbcTestEnv.h"

#include <gtest/gtest.h>

// A suite whose tests share one private PostgreSQL server, started before its first test and
// stopped after its last. A suite with set-up of its own calls this one's first.
class SharedPostgresSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        OdbcTestEnv::Install();
        s_server = new DbServer(DbServer::Kind::Postgres);
        ASSERT_TRUE(s_server->Start());
    }
    static void TearDownTestSuite() {
        delete s_server;
        s_server = nullptr;
    }

    static inline DbServer* s_server = nullptr;
};

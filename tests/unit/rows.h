// What the unit tests share: tables whose rows are tests of their own, each
// under the name its row gives (cases that differ only in data share one body,
// and each keeps the name the test runner lists it by), and the trace.
#pragma once

#include <gtest/gtest.h>

#include <string>

// What the code under test traced while steps() ran.
template <typename run_steps> std::string traced(run_steps steps)
{
    testing::internal::CaptureStdout();
    steps();
    return testing::internal::GetCapturedStdout();
}

template <typename row, typename result> struct row_test : testing::Test {
    const row *data;
    result (*body)(const row &);
    void TestBody() override { body(*data); }
};

// Registers suite.name for every row; called at namespace scope, before the
// runner lists the tests. The rows must outlive the run; what the body
// returns is not looked at.
template <typename row, size_t n, typename result>
bool test_rows(const char *suite, const row (&rows)[n], result (*body)(const row &))
{
    for (const row &r : rows)
        testing::RegisterTest(suite, r.name, nullptr, nullptr, __FILE__, __LINE__, [&r, body]() -> testing::Test * {
            row_test<row, result> *test = new row_test<row, result>;
            test->data = &r;
            test->body = body;
            return test;
        });
    return true;
}

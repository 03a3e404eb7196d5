#pragma once

#include <QString>

namespace korvane::test {

// What scripts/test started for the tests, read from the environment it exports.
struct TestEnvironment {
    static QString value(const char* name);
    static int port(const char* name);
    // Skips the calling test when scripts/test did not provide the named server.
    static bool has(const char* name);
};

#define KORVANE_REQUIRE_ENV(name)                                                    \
    do {                                                                             \
        if (!korvane::test::TestEnvironment::has(name)) {                            \
            if (qEnvironmentVariableIsSet("KORVANE_TEST_STRICT"))                    \
                QFAIL("missing " name);                                              \
            QSKIP("needs " name ": run through scripts/test, which starts servers"); \
        }                                                                            \
    } while (false)

}  // namespace korvane::test

#include "support/TestEnvironment.h"

namespace korvane::test {

QString TestEnvironment::value(const char* name) {
    return qEnvironmentVariable(name);
}

int TestEnvironment::port(const char* name) {
    return qEnvironmentVariableIntValue(name);
}

bool TestEnvironment::has(const char* name) {
    return !qEnvironmentVariableIsEmpty(name);
}

}  // namespace korvane::test

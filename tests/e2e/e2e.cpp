// Ties the harness to GoogleTest: its failures become test failures, and
// the temporary directories stay for inspection when a test failed.  Linked
// into every end-to-end test as an object, so that this runs before main.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

void add_failure(const std::string &what)
{
    ADD_FAILURE() << what;
}

bool some_test_failed()
{
    return !testing::UnitTest::GetInstance()->Passed();
}

[[maybe_unused]] const bool hooked = (e2e::harness_hooks(add_failure, some_test_failed), true);

}  // namespace

// Entry point of velmo's C++ tests: one embedded interpreter for the process.
#include <gtest/gtest.h>

#include "tests/embedded_python.h"

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    velmo_test::start_embedded_python(VELMO_PYTHON_HOME);
    // The interpreter is never finalised: velmo's state is process-wide and
    // outlives it by design, and tests leave allocators and registries in
    // states a finalisation need not cope with.
    return RUN_ALL_TESTS();
}

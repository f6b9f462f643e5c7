// The version check: which run-time version texts count as the built-for
// major.minor, the warning's text and category, and the warning made an error.
#include <string>
#include <vector>

#include "module/module.h"
#include "test_support.h"

namespace {

using velmo::check_binary_version_against;
using velmo_test::eval;
using velmo_test::Ref;
using velmo_test::run;

// Records every warning issued while it lives (filter "always", or "error"
// when asked), and puts the previous filters back at the end.
class WarningLog {
  public:
    explicit WarningLog(const char *action = "always") {
        std::string source =
            "import warnings\n"
            "_velmo_cm = warnings.catch_warnings(record=True)\n"
            "_velmo_log = _velmo_cm.__enter__()\n"
            "warnings.simplefilter('" +
            std::string(action) + "')\n";
        EXPECT_TRUE(run(source.c_str())) << velmo_test::take_error_text();
    }
    ~WarningLog() {
        EXPECT_TRUE(run("_velmo_cm.__exit__(None, None, None)\n")) << velmo_test::take_error_text();
    }

    struct Entry {
        std::string message;
        bool runtime_warning;
    };
    std::vector<Entry> entries() const {
        std::vector<Entry> result;
        Ref log = eval("[(str(w.message), w.category is RuntimeWarning) for w in _velmo_log]");
        for (Py_ssize_t i = 0; log && i < PyList_GET_SIZE(log.get()); ++i) {
            PyObject *item = PyList_GET_ITEM(log.get(), i);
            result.push_back(
                {velmo_test::text_of(PyTuple_GET_ITEM(item, 0)), PyTuple_GET_ITEM(item, 1) == Py_True});
        }
        return result;
    }
};

std::string mismatch(const char *built, const char *runtime) {
    return std::string("compiletime version ") + built +
           " of module 'velmo' does not match runtime version " + runtime;
}

class VersionCheck : public velmo_test::PythonTest {};

TEST_F(VersionCheck, SameMajorMinorIssuesNoWarning) {
    const char *same[] = {
        "3.10.13 (main, Sep 10 2023, 00:00:00) [GCC 12.2.0]", "3.10.0",
        "3.10",      // the text ends right after the minor number
        "3.10rc1+",  // anything but a digit may follow
    };
    WarningLog log;
    for (const char *runtime : same) {
        EXPECT_EQ(check_binary_version_against(3, 10, runtime), 0) << runtime;
    }
    EXPECT_TRUE(log.entries().empty());
}

TEST_F(VersionCheck, OtherVersionsWarnWithTheRunTimeMajorMinor) {
    struct Case {
        int major;
        int minor;
        const char *runtime;
        const char *expected_message;
    };
    // The minor number is compared in full: 3.100 and 3.1 differ from 3.10,
    // and a module built for 3.1 does not accept 3.10.
    const Case cases[] = {
        {3, 10, "3.11.4 (main)", "3.11"}, {3, 10, "3.9.7", "3.9"},
        {3, 10, "3.100.1", "3.100"},      {3, 10, "3.1", "3.1"},
        {3, 10, "3.1.2", "3.1"},          {3, 1, "3.10.13", "3.10"},
        {3, 10, "4.10", "4.10"},          {3, 10, "", ""},
    };
    for (const Case &c : cases) {
        WarningLog log;
        EXPECT_EQ(check_binary_version_against(c.major, c.minor, c.runtime), 0) << c.runtime;
        std::vector<WarningLog::Entry> entries = log.entries();
        ASSERT_EQ(entries.size(), 1u) << c.runtime;
        std::string built = std::to_string(c.major) + "." + std::to_string(c.minor);
        EXPECT_EQ(entries[0].message, mismatch(built.c_str(), c.expected_message));
        EXPECT_TRUE(entries[0].runtime_warning) << "the default category";
    }
}

TEST_F(VersionCheck, WarningMadeAnErrorReturnsMinusOneWithItPending) {
    WarningLog log("error");
    EXPECT_EQ(check_binary_version_against(3, 10, "3.11.4"), -1);
    ASSERT_NE(PyErr_Occurred(), nullptr);
    velmo_test::PendingError error = velmo_test::take_error();
    EXPECT_TRUE(error.is(PyExc_RuntimeWarning));
    EXPECT_EQ(error.message(), mismatch("3.10", "3.11"));

    // A matching version never consults the filters.
    EXPECT_EQ(check_binary_version_against(3, 10, "3.10.13"), 0);
}

TEST_F(VersionCheck, TheRunningInterpreterMatchesTheBuild) {
    WarningLog log;
    EXPECT_EQ(velmo::check_binary_version(), 0);
    EXPECT_TRUE(log.entries().empty()) << Py_GetVersion();
}

}  // namespace

// CodeObjectCache: the bisection search, sorted insertion as the array grows,
// replacement under an existing key, and running out of memory.
// Each test case works on a cache of its own, which starts empty.
#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"
#include "traceback/traceback.h"

namespace {

using velmo::bisect_code_objects;
using velmo::CodeCacheEntry;
using velmo::find_code_object;
using velmo::insert_code_object;
using velmo_test::AllocatorFailure;
using velmo_test::Ref;
using velmo_test::refcount;

// The cache under test; each test case starts with it empty and TearDown
// releases what the case left in it.
velmo::CodeObjectCache g_cache{};

velmo::CodeObjectCache &cache() { return g_cache; }

PyCodeObject *new_code(int line) { return PyCode_NewEmpty("velmo.py", "site", line); }

// Checks the cache's invariants: sorted, no duplicate and no zero key, count
// within capacity, capacity a multiple of the growth step.
void expect_well_formed() {
    const velmo::CodeObjectCache &c = cache();
    ASSERT_NE(c.entries, nullptr);
    EXPECT_GE(c.count, 1);
    EXPECT_LE(c.count, c.capacity);
    EXPECT_EQ(c.capacity % velmo::kCodeCacheStep, 0);
    for (int i = 0; i < c.count; ++i) {
        EXPECT_NE(c.entries[i].key, 0);
        if (i > 0) {
            EXPECT_LT(c.entries[i - 1].key, c.entries[i].key) << "at index " << i;
        }
    }
}

// Releases what the cache holds and leaves it empty.
void release_cache() {
    for (int i = 0; i < g_cache.count; ++i) {
        Py_DECREF(g_cache.entries[i].code);
    }
    PyMem_Free(g_cache.entries);
    g_cache = {};
}

class CodeObjectCacheTest : public velmo_test::PythonTest {
  protected:
    void TearDown() override {
        release_cache();
        PythonTest::TearDown();
    }
};

TEST_F(CodeObjectCacheTest, BisectFindsKeysAndInsertionPoints) {
    const CodeCacheEntry entries[] = {{nullptr, -1330}, {nullptr, -1298}, {nullptr, 2}, {nullptr, 4}};
    struct Case {
        int key;
        int index;
    };
    const Case cases[] = {
        {3, 3},         {-1298, 1},     {5, 4}, {-2000, 0},  // between, hit, past the end, before the start
        {-1330, 0},     {2, 2},         {4, 3},              // every other exact hit
        {-1310, 1},     {0, 2},         {1, 2}, {-1, 2},     // between entries
        {INT32_MIN, 0}, {INT32_MAX, 4},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(bisect_code_objects(entries, 4, c.key), c.index) << "key " << c.key;
    }
    // Every prefix of the array answers like a linear search for its size.
    for (int count = 1; count <= 4; ++count) {
        for (int key = -1400; key <= 10; ++key) {
            auto first_not_less = std::find_if(entries, entries + count,
                                               [key](const CodeCacheEntry &e) { return e.key >= key; });
            ASSERT_EQ(bisect_code_objects(entries, count, key), first_not_less - entries)
                << "count " << count << " key " << key;
        }
    }
}

TEST_F(CodeObjectCacheTest, BisectOnASingleEntry) {
    const CodeCacheEntry one[] = {{nullptr, 7}};
    EXPECT_EQ(bisect_code_objects(one, 1, 7), 0);
    EXPECT_EQ(bisect_code_objects(one, 1, 6), 0);
    EXPECT_EQ(bisect_code_objects(one, 1, 8), 1);
    EXPECT_EQ(bisect_code_objects(one, 1, -7), 0);
}

// The orders in which sites may first fail: each must leave every site
// findable, with its own code object, however often the array grows.
std::vector<std::vector<int>> insertion_orders() {
    // 300 distinct non-zero keys: implementation lines (negative) and Python
    // lines (positive), with both ends of the key range.
    std::vector<int> keys(298);
    std::iota(keys.begin(), keys.end(), -149);
    std::replace(keys.begin(), keys.end(), 0, 149);
    keys.push_back(INT32_MAX);
    keys.push_back(-INT32_MAX);
    std::sort(keys.begin(), keys.end());

    std::vector<int> descending(keys.rbegin(), keys.rend());
    std::vector<int> shuffled = keys;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(12345));
    // From both ends towards the middle: every insertion lands inside the array.
    std::vector<int> inward;
    for (std::size_t low = 0, high = keys.size() - 1; low <= high; ++low, --high) {
        inward.push_back(keys[low]);
        if (low != high) {
            inward.push_back(keys[high]);
        }
    }
    return {keys, descending, shuffled, inward};
}

TEST_F(CodeObjectCacheTest, EverySiteStaysFindableWithItsOwnCodeObjectAsTheCacheGrows) {
    std::size_t order_number = 0;
    for (const std::vector<int> &keys : insertion_orders()) {
        SCOPED_TRACE("insertion order " + std::to_string(order_number++));
        release_cache();
        std::vector<Ref> codes;
        for (std::size_t n = 0; n < keys.size(); ++n) {
            codes.push_back(Ref::steal(reinterpret_cast<PyObject *>(new_code(1))));
            ASSERT_TRUE(codes.back());
            Py_ssize_t before = refcount(codes.back().get());
            insert_code_object(cache(), keys[n], reinterpret_cast<PyCodeObject *>(codes.back().get()));
            EXPECT_EQ(refcount(codes.back().get()), before + 1) << "the cache takes one reference";
            ASSERT_EQ(cache().count, static_cast<int>(n + 1));
            // Every site inserted so far, not only the last: a growth or a
            // move that lost or mixed up entries shows at once.
            for (std::size_t m = 0; m <= n; ++m) {
                PyCodeObject *found = find_code_object(cache(), keys[m]);
                ASSERT_EQ(reinterpret_cast<PyObject *>(found), codes[m].get())
                    << "key " << keys[m] << " after " << n + 1 << " insertions";
                Py_DECREF(found);
            }
        }
        expect_well_formed();
        EXPECT_EQ(find_code_object(cache(), 1000), nullptr);
        EXPECT_EQ(find_code_object(cache(), -1000), nullptr);
    }
}

TEST_F(CodeObjectCacheTest, FindOnAnEmptyCacheAndKeyZeroAreMisses) {
    EXPECT_EQ(find_code_object(cache(), 2), nullptr);
    Ref code = Ref::steal(reinterpret_cast<PyObject *>(new_code(0)));
    Py_ssize_t before = refcount(code.get());
    insert_code_object(cache(), 0, reinterpret_cast<PyCodeObject *>(code.get()));
    EXPECT_EQ(cache().entries, nullptr) << "key 0 must not create the array";
    EXPECT_EQ(refcount(code.get()), before);

    insert_code_object(cache(), 5, reinterpret_cast<PyCodeObject *>(code.get()));
    insert_code_object(cache(), 0, reinterpret_cast<PyCodeObject *>(code.get()));
    EXPECT_EQ(cache().count, 1);
    EXPECT_EQ(find_code_object(cache(), 0), nullptr);
    EXPECT_FALSE(PyErr_Occurred());
}

TEST_F(CodeObjectCacheTest, InsertingAnExistingKeySwapsTheCodeObject) {
    Ref first = Ref::steal(reinterpret_cast<PyObject *>(new_code(2)));
    Ref second = Ref::steal(reinterpret_cast<PyObject *>(new_code(2)));
    Ref other = Ref::steal(reinterpret_cast<PyObject *>(new_code(4)));
    insert_code_object(cache(), -1298, reinterpret_cast<PyCodeObject *>(other.get()));
    insert_code_object(cache(), 2, reinterpret_cast<PyCodeObject *>(first.get()));
    insert_code_object(cache(), 4, reinterpret_cast<PyCodeObject *>(other.get()));
    Py_ssize_t first_before = refcount(first.get());
    Py_ssize_t second_before = refcount(second.get());

    insert_code_object(cache(), 2, reinterpret_cast<PyCodeObject *>(second.get()));
    EXPECT_EQ(cache().count, 3);
    EXPECT_EQ(refcount(first.get()), first_before - 1) << "the replaced code object is released";
    EXPECT_EQ(refcount(second.get()), second_before + 1);
    PyCodeObject *found = find_code_object(cache(), 2);
    EXPECT_EQ(reinterpret_cast<PyObject *>(found), second.get());
    EXPECT_EQ(refcount(second.get()), second_before + 2) << "a find hands out a new reference";
    Py_XDECREF(found);

    // Replacing an entry by the code object it already holds keeps it alive.
    Py_ssize_t held = refcount(second.get());
    insert_code_object(cache(), 2, reinterpret_cast<PyCodeObject *>(second.get()));
    EXPECT_EQ(refcount(second.get()), held);
    expect_well_formed();
}

// Inserts while the interpreter's memory allocator refuses every request.
void insert_without_memory(int key, const Ref &code) {
    AllocatorFailure failure({PYMEM_DOMAIN_MEM});
    failure.set_failing(true);
    insert_code_object(cache(), key, reinterpret_cast<PyCodeObject *>(code.get()));
    failure.set_failing(false);
    EXPECT_GT(failure.refused(), 0) << "the insertion asked for memory";
}

TEST_F(CodeObjectCacheTest, NoMemoryForTheFirstArrayCachesNothing) {
    Ref code = Ref::steal(reinterpret_cast<PyObject *>(new_code(2)));
    Py_ssize_t before = refcount(code.get());
    insert_without_memory(2, code);
    EXPECT_EQ(PyErr_Occurred(), nullptr) << "the failure is not reported";
    EXPECT_EQ(cache().entries, nullptr);
    EXPECT_EQ(cache().count, 0);
    EXPECT_EQ(cache().capacity, 0);
    EXPECT_EQ(refcount(code.get()), before);

    // With memory back, the next insertion makes the array as usual.
    insert_code_object(cache(), 2, reinterpret_cast<PyCodeObject *>(code.get()));
    EXPECT_EQ(cache().count, 1);
    PyCodeObject *found = find_code_object(cache(), 2);
    EXPECT_EQ(reinterpret_cast<PyObject *>(found), code.get());
    Py_XDECREF(found);
    expect_well_formed();
}

TEST_F(CodeObjectCacheTest, NoMemoryToGrowLeavesTheFullArrayIntact) {
    // Even keys until the first array is full, whatever its size, so that the
    // next insertion must grow it.
    std::vector<Ref> codes;
    do {
        int key = 2 * static_cast<int>(codes.size() + 1);
        codes.push_back(Ref::steal(reinterpret_cast<PyObject *>(new_code(key))));
        insert_code_object(cache(), key, reinterpret_cast<PyCodeObject *>(codes.back().get()));
    } while (cache().count < cache().capacity);
    const velmo::CodeObjectCache full = cache();

    // An odd key, which goes in the middle, so a botched move would show too.
    int extra_key = 2 * (full.count / 2) + 1;
    Ref extra = Ref::steal(reinterpret_cast<PyObject *>(new_code(99)));
    Py_ssize_t before = refcount(extra.get());
    insert_without_memory(extra_key, extra);
    EXPECT_EQ(PyErr_Occurred(), nullptr);
    EXPECT_EQ(cache().entries, full.entries);
    EXPECT_EQ(cache().count, full.count);
    EXPECT_EQ(cache().capacity, full.capacity);
    EXPECT_EQ(refcount(extra.get()), before);
    EXPECT_EQ(find_code_object(cache(), extra_key), nullptr);
    for (std::size_t n = 0; n < codes.size(); ++n) {
        int key = 2 * static_cast<int>(n + 1);
        PyCodeObject *found = find_code_object(cache(), key);
        EXPECT_EQ(reinterpret_cast<PyObject *>(found), codes[n].get()) << "key " << key;
        Py_XDECREF(found);
    }
    expect_well_formed();
}

}  // namespace

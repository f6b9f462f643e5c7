// Cost of a call to velmo.fun_hello through the normal call protocol
// (PyObject_CallOneArg -> tp_call), per kind of argument, plus the number of
// interpreter allocations each call makes.
//
// The function type has no vectorcall slot, so PyObject_CallOneArg packs the
// argument into a 1-tuple before it enters tp_call. That tuple is part of
// every call and is counted here like any other allocation; CPython
// serves small tuples from a free list, so once warm it normally costs no
// allocator call at all. The "allocs/call" counter therefore shows what the
// whole call path asks of the allocator, not only the function body.
#include "common/python_compat.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/embedded_python.h"

namespace {

// Counting wrappers around the allocators of the "mem" and "object" domains
// (PyMem_Malloc and PyObject_Malloc families). They forward to the allocator
// that was installed before them, so the interpreter behaves as usual.
struct CountingAllocator {
    PyMemAllocatorEx original;
};
CountingAllocator mem_domain;
CountingAllocator obj_domain;
unsigned long long allocation_count = 0;

void *count_malloc(void *ctx, size_t size) {
    ++allocation_count;
    auto *self = static_cast<CountingAllocator *>(ctx);
    return self->original.malloc(self->original.ctx, size);
}
void *count_calloc(void *ctx, size_t nelem, size_t elsize) {
    ++allocation_count;
    auto *self = static_cast<CountingAllocator *>(ctx);
    return self->original.calloc(self->original.ctx, nelem, elsize);
}
void *count_realloc(void *ctx, void *ptr, size_t new_size) {
    ++allocation_count;
    auto *self = static_cast<CountingAllocator *>(ctx);
    return self->original.realloc(self->original.ctx, ptr, new_size);
}
void count_free(void *ctx, void *ptr) {
    auto *self = static_cast<CountingAllocator *>(ctx);
    self->original.free(self->original.ctx, ptr);
}

// Installed after initialisation, which the interpreter allows for hooks
// that wrap the allocator already in place.
void install_counting_allocator(PyMemAllocatorDomain domain, CountingAllocator *state) {
    PyMem_GetAllocator(domain, &state->original);
    PyMemAllocatorEx hook = {state, count_malloc, count_calloc, count_realloc, count_free};
    PyMem_SetAllocator(domain, &hook);
}

[[noreturn]] void die(const char *what) {
    PyErr_Print();
    std::fprintf(stderr, "velmo_bench: %s\n", what);
    std::exit(1);
}

PyObject *fun_hello = nullptr;
PyObject *namespace_dict = nullptr;

// Setup code for the arguments; each benchmark names its argument by an
// expression evaluated in this namespace.
constexpr const char kSetup[] = R"(
import velmo
fun_hello = velmo.fun_hello
class Equal:
    def __eq__(self, other):
        return False
class Raising:
    def __eq__(self, other):
        raise ValueError("cannot compare")
)";

void report_allocations(benchmark::State &state, unsigned long long before) {
    state.counters["allocs/call"] = benchmark::Counter(static_cast<double>(allocation_count - before),
                                                       benchmark::Counter::kAvgIterations);
}

void BM_call(benchmark::State &state, PyObject *callable, PyObject *arg, bool fails) {
    unsigned long long before = allocation_count;
    for (auto _ : state) {
        PyObject *result = PyObject_CallOneArg(callable, arg);
        if (result == nullptr) {
            if (!fails) {
                die("call failed");
            }
            PyErr_Clear();
        } else {
            if (fails) {
                die("call was expected to fail");
            }
            Py_DECREF(result);
        }
        benchmark::DoNotOptimize(result);
    }
    report_allocations(state, before);
}

void BM_getattr(benchmark::State &state, PyObject *name) {
    unsigned long long before = allocation_count;
    for (auto _ : state) {
        PyObject *value = PyObject_GetAttr(fun_hello, name);
        if (value == nullptr) {
            die("attribute read failed");
        }
        Py_DECREF(value);
        benchmark::DoNotOptimize(value);
    }
    report_allocations(state, before);
}

PyObject *evaluate(const char *expression) {
    PyObject *value = PyRun_String(expression, Py_eval_input, namespace_dict, namespace_dict);
    if (value == nullptr) {
        die(expression);
    }
    return value;  // kept for the whole run
}

}  // namespace

int main(int argc, char **argv) {
    velmo_test::start_embedded_python(VELMO_PYTHON_HOME);

    namespace_dict = PyDict_New();
    if (namespace_dict == nullptr ||
        PyDict_SetItemString(namespace_dict, "__builtins__", PyEval_GetBuiltins()) < 0) {
        die("cannot make the namespace");
    }
    PyObject *ran = PyRun_String(kSetup, Py_file_input, namespace_dict, namespace_dict);
    if (ran == nullptr) {
        die("setup failed");
    }
    Py_DECREF(ran);
    fun_hello = evaluate("fun_hello");

    struct Case {
        const char *name;
        const char *expression;
        bool fails;
    };
    static const Case kCases[] = {
        {"int_1_identity", "1", false},
        {"int_2", "2", false},
        {"int_3", "3", false},
        {"int_2pow40", "2**40", false},
        {"float_1.0", "1.0", false},
        {"float_2.5", "2.5", false},
        {"None", "None", false},
        {"True", "True", false},
        {"str", "'1'", false},
        {"py_eq", "Equal()", false},
        {"py_eq_raises", "Raising()", true},
    };
    for (const Case &c : kCases) {
        benchmark::RegisterBenchmark((std::string("fun_hello/") + c.name).c_str(), BM_call, fun_hello,
                                     evaluate(c.expression), c.fails);
    }
    // Contrast: a METH_O built-in that has vectorcall (no argument tuple), and
    // the raising __eq__ called directly, which is the part of the failing
    // call's cost that is not velmo's.
    benchmark::RegisterBenchmark("builtin_callable/int_3", BM_call, evaluate("callable"), evaluate("3"),
                                 false);
    benchmark::RegisterBenchmark("Raising().__eq__/int_1", BM_call, evaluate("Raising().__eq__"),
                                 evaluate("1"), true);
    PyObject *name_attr = PyUnicode_InternFromString("__name__");
    if (name_attr == nullptr) {
        die("cannot make '__name__'");
    }
    benchmark::RegisterBenchmark("fun_hello.__name__", BM_getattr, name_attr);

    install_counting_allocator(PYMEM_DOMAIN_MEM, &mem_domain);
    install_counting_allocator(PYMEM_DOMAIN_OBJ, &obj_domain);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

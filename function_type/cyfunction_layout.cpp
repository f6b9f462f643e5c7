// Frozen binary layout of CyFunction: separately built modules share these
// records through the registry, so no offset may move.
#include <cstddef>
#include <type_traits>

#include "function_type/cyfunction.h"

// The records start with the standard build's object header, and they, the
// registry and the caches behind them are guarded by the GIL alone; the
// free-threaded header is larger, so every offset below would move.
#ifdef Py_GIL_DISABLED
#error "velmo needs the standard build of CPython, with the GIL; this one is free-threaded"
#endif

namespace velmo {

static_assert(std::is_standard_layout_v<CyFunction>, "CyFunction must stay standard-layout");

#define FROZEN_OFFSET(F, V)                                              \
    static_assert(sizeof(void *) != 8 || offsetof(CyFunction, F) == (V), \
                  "frozen layout of CyFunction::" #F " changed")

FROZEN_OFFSET(ob_base, 0);
FROZEN_OFFSET(method, 16);
FROZEN_OFFSET(self, 24);
FROZEN_OFFSET(module, 32);
FROZEN_OFFSET(weakreflist, 40);
FROZEN_OFFSET(vectorcall, 48);
FROZEN_OFFSET(dict, 56);
FROZEN_OFFSET(name, 64);
FROZEN_OFFSET(qualname, 72);
FROZEN_OFFSET(doc, 80);
FROZEN_OFFSET(globals, 88);
FROZEN_OFFSET(code, 96);
FROZEN_OFFSET(closure, 104);
FROZEN_OFFSET(class_object, 112);
FROZEN_OFFSET(defaults_block, 120);
FROZEN_OFFSET(defaults_count, 128);
FROZEN_OFFSET(defaults_size, 136);
FROZEN_OFFSET(flags, 144);
FROZEN_OFFSET(defaults_tuple, 152);
FROZEN_OFFSET(kwdefaults, 160);
FROZEN_OFFSET(defaults_getter, 168);
FROZEN_OFFSET(annotations, 176);

#undef FROZEN_OFFSET

static_assert(sizeof(void *) != 8 || sizeof(CyFunction) == kCyFunctionBasicSize,
              "CyFunction must be 184 bytes long");

// The leading fields read as a PyCFunctionObject.
static_assert(offsetof(CyFunction, method) == offsetof(PyCFunctionObject, m_ml));
static_assert(offsetof(CyFunction, self) == offsetof(PyCFunctionObject, m_self));
static_assert(offsetof(CyFunction, module) == offsetof(PyCFunctionObject, m_module));
static_assert(offsetof(CyFunction, weakreflist) == offsetof(PyCFunctionObject, m_weakreflist));
static_assert(offsetof(CyFunction, vectorcall) == offsetof(PyCFunctionObject, vectorcall));

}  // namespace velmo

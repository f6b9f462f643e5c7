// Test-only peer extension (placeholder until its functions land).
#include "function_type/cyfunction.h"
#include "module/module_state.h"

namespace {
PyModuleDef peer_def = {PyModuleDef_HEAD_INIT, "velmo_peer", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};
}

PyMODINIT_FUNC PyInit_velmo_peer(void) {
    return PyModule_Create(&peer_def);
}

// Test builds of the tessarin module only (TESSARIN_TEST_HOOKS): lets tests
// read records' dicts through PyDict_Next as well as directly. Reached
// through ctypes; the module gains no attribute.
#include "python/dict_items.hpp"

extern "C" {

// 0 reads records' dicts through PyDict_Next, 1 directly where the layout
// was found; returns whether they are read directly now.
__attribute__((visibility("default"))) int tessarin_test_read_dicts_directly(int wanted) {
    return tessarin::py::read_dicts_directly(wanted != 0) ? 1 : 0;
}

}  // extern "C"

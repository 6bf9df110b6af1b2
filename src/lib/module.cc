// The entry point of tessaloom._tessaloom. The module, its type and their
// methods live in the package's shared library (prefix_search.cc), which
// tessaloom._native links too.
#include "lib/binding.h"

PyMODINIT_FUNC PyInit__tessaloom(void) { return tessaloom::lib::create_tessaloom_module(); }

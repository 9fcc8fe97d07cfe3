// Storage and creation of the interned names listed in names.h.
#include "names.h"

namespace tolvek::names {

#define TOLVEK_DEFINE_NAME(ident, text) PyObject* ident = nullptr;
TOLVEK_NAMES(TOLVEK_DEFINE_NAME)
#undef TOLVEK_DEFINE_NAME

int init() noexcept {
#define TOLVEK_MAKE_NAME(ident, text)               \
    if ((ident) == nullptr) {                       \
        (ident) = PyUnicode_InternFromString(text); \
        if ((ident) == nullptr) {                   \
            return -1;                              \
        }                                           \
    }
    TOLVEK_NAMES(TOLVEK_MAKE_NAME)
#undef TOLVEK_MAKE_NAME
    return 0;
}

}  // namespace tolvek::names

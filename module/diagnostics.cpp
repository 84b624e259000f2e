// KXdv17_0 functions of the diagnostics area.
#include "kxpy.h"

PyMethodDef kx_methods_diagnostics[] = {
    KX_METHODS_END,
};

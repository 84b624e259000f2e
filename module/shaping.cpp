// KXdv17_0 functions of the shaping area.
#include "kxpy.h"

PyMethodDef kx_methods_shaping[] = {
    KX_METHODS_END,
};

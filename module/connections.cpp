// KXdv17_0 functions of the connections area.
#include "kxpy.h"

PyMethodDef kx_methods_connections[] = {
    KX_METHODS_END,
};

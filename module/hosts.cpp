// KXdv17_0 functions of the hosts area.
#include "kxpy.h"

PyMethodDef kx_methods_hosts[] = {
    KX_METHODS_END,
};

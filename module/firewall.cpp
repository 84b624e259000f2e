// KXdv17_0 functions of the firewall area.
#include "kxpy.h"

PyMethodDef kx_methods_firewall[] = {
    KX_METHODS_END,
};

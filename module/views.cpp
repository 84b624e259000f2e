// KXdv17_0 functions of the views area.
#include "kxpy.h"

PyMethodDef kx_methods_views[] = {
    KX_METHODS_END,
};

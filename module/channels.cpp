// KXdv17_0 functions of the channels area.
#include "kxpy.h"

PyMethodDef kx_methods_channels[] = {
    KX_METHODS_END,
};

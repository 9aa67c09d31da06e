// The exported handle of request attributes: the radius/ list itself, owned by the library.
#pragma once

#include "radius/request_attributes.h"

struct qvrad_attrs {
    RequestAttributes list;
};

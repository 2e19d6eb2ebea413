// zelmsg's C API (zelmsg/capi.h), for native modules that send and receive its messages.
#pragma once

#include "pyzelmsg.hpp"

namespace zelmsg {

// The capsule zelmsg._C_API. Its functions work on the calling interpreter's ZelMsg.
py::capsule c_api_capsule();

}  // namespace zelmsg

/* Forwarding header: the containers live in tvm/runtime/container.h. */
#include <tvm/runtime/container.h>

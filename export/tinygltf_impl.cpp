// tinygltf's implementation, compiled once for the module (header-only
// library; its options are the module's compile definitions).
#define TINYGLTF_IMPLEMENTATION
#include <tiny_gltf.h>

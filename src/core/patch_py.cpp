#include "bindings.hpp"
#include "py.hpp"

namespace tarnwistle::py {
namespace {

PyMethodDef FUNCTIONS[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* patch_functions() { return FUNCTIONS; }

}  // namespace tarnwistle::py

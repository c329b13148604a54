// Helpers shared by the solver entry points.
#pragma once

#include <string>

#include "bmf_core/method.hpp"

namespace bmf_py {

// Parses a method name; an unknown name raises ValueError with the message
// "methode inconnue : '{}'. Valeurs acceptees : naive, zeta, greedy, greedy-ls".
bmf::Method parse_method(const std::string& name);

}  // namespace bmf_py

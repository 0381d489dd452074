#include "compare/traces.hpp"

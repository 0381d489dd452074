#include "compare/diff.hpp"

#include "compare/filters.hpp"

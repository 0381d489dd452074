#include "compare/records.hpp"

#include "support/trace_builder.hpp"

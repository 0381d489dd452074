#include "support/process.hpp"

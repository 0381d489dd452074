#include "export.hpp"
